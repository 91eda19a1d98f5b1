// The corpus section: read rates and times per group of images, vorden's
// heap per call, and each decoder's slowest images.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "decoder.h"
#include "sections.h"

namespace vorden::bench {

namespace {

// ---- Rounds over the corpus ----

// One decoder on one image: its rounds and the first round's read.
struct Cell {
    std::vector<double> wall, cpu;
    bool read = false;
    std::string text;
    Round first;
};

using Cells = std::vector<std::vector<Cell>>;  // [image][decoder]

Cells run_rounds(const Options& o, const std::vector<Sample>& corpus) {
    const size_t n = o.decoders.size();
    Cells cells(corpus.size(), std::vector<Cell>(n));
    for (int round = 0; round < o.repeat; ++round) {
        for (size_t i = 0; i < corpus.size(); ++i) {
            for (size_t turn = 0; turn < n; ++turn) {
                const size_t k = (i + turn + static_cast<size_t>(round)) % n;
                Cell& c = cells[i][k];
                std::string text;
                const Round r = decode_round(*o.decoders[k], corpus[i].image, &text);
                c.wall.push_back(r.wall_ms);
                c.cpu.push_back(r.cpu_ms);
                if (round > 0) continue;
                c.first = r;
                c.read = r.read != 0;
                c.text = std::move(text);
            }
        }
    }
    return cells;
}

// ---- Tallies per group ----

struct Tally {
    int images = 0, read = 0, wrong = 0;
    std::vector<double> wall, cpu;  // per image: the median of its rounds
    std::vector<std::string> names;
};

// Groups in order of first appearance, then "all" when there are several.
std::vector<std::string> groups_of(const std::vector<Sample>& corpus) {
    std::vector<std::string> groups;
    for (const Sample& s : corpus) {
        if (std::find(groups.begin(), groups.end(), s.group) == groups.end()) groups.push_back(s.group);
    }
    if (groups.size() > 1) groups.push_back("all");
    return groups;
}

Tally tally(const std::string& group, size_t k, const std::vector<Sample>& corpus, const Cells& cells) {
    Tally t;
    for (size_t i = 0; i < corpus.size(); ++i) {
        const Sample& s = corpus[i];
        if (group != "all" && group != s.group) continue;
        const Cell& c = cells[i][k];
        const bool wrong = c.read && (!s.has_symbol || (s.known && c.text != s.expected));
        ++t.images;
        t.read += c.read && !wrong;
        t.wrong += wrong;
        t.wall.push_back(median(c.wall));
        t.cpu.push_back(median(c.cpu));
        t.names.push_back(s.name);
    }
    return t;
}

// ---- Tables ----

void print_heading(const Options& o, const char* corpus_name, const std::vector<Sample>& corpus) {
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    std::printf(
        "vorden-bench %s: %s corpus, %zu images, %d rounds, decoders interleaved per image.\n"
        "Per image the median of its rounds; per group the median, p95 and max of those over its "
        "images.\n",
        date, corpus_name, corpus.size(), o.repeat);
}

// One row per group, the decoders side by side: reads, wrong texts and the
// median wall time, so that the two vorden entries stand beside the peers.
void print_side_by_side(const Options& o, const std::vector<std::string>& groups,
                        const std::vector<std::vector<Tally>>& tallies) {
    const auto rule = [](size_t width) { return std::string(width + 1, '-') + ":|"; };
    std::string head = "\n| group            | frames |", line = "|------------------|-------:|";
    for (const Decoder* d : o.decoders) {
        head += " " + std::string(d->name) + " read | wrong |   ms wall |";
        line += rule(std::string(d->name).size() + 5) + rule(5) + rule(9);
    }
    std::printf("%s\n%s\n", head.c_str(), line.c_str());
    for (size_t g = 0; g < groups.size(); ++g) {
        std::printf("| %-16s | %6d |", groups[g].c_str(), tallies[g][0].images);
        for (size_t k = 0; k < o.decoders.size(); ++k) {
            const Tally& t = tallies[g][k];
            const int width = static_cast<int>(std::string(o.decoders[k]->name).size()) + 5;
            std::printf(" %*d | %5d | %9.3f |", width, t.read, t.wrong, median(t.wall));
        }
        std::printf("\n");
    }
}

void print_times(const Options& o, const std::vector<std::string>& groups,
                 const std::vector<std::vector<Tally>>& tallies) {
    std::printf(
        "\n| group            | decoder         | images | read | wrong | wall ms | CPU ms | p95 wall "
        "| max wall | wall / vorden |\n"
        "|------------------|-----------------|-------:|-----:|------:|--------:|-------:|---------:"
        "|---------:|--------------:|\n");
    for (size_t g = 0; g < groups.size(); ++g) {
        double base = 0;
        for (size_t k = 0; k < o.decoders.size(); ++k) {
            if (o.decoders[k]->is_designed()) base = median(tallies[g][k].wall);
        }
        for (size_t k = 0; k < o.decoders.size(); ++k) {
            const Tally& t = tallies[g][k];
            const double wall = median(t.wall);
            char ratio[16] = "-";
            if (base > 0) std::snprintf(ratio, sizeof ratio, "%.2f", wall / base);
            std::printf("| %-16s | %-15s | %6d | %4d | %5d | %7.3f | %6.3f | %8.3f | %8.2f | %13s |\n",
                        groups[g].c_str(), o.decoders[k]->name, t.images, t.read, t.wrong, wall,
                        median(t.cpu), quantile(t.wall, 0.95),
                        *std::max_element(t.wall.begin(), t.wall.end()), ratio);
        }
    }
}

// Bytes per pixel are given for images of 10,000 pixels or more: a 1x300
// image's few hundred bytes of tables say nothing per pixel.
void print_memory(const Options& o, size_t k, const std::vector<Sample>& corpus, const Cells& cells,
                  const std::vector<std::string>& groups) {
    std::printf(
        "\n%s's heap per call: the most it asked for at once (peak), and the freed blocks it keeps\n"
        "warm for the next call (kept, bounded by the largest peak of the process). Bytes per pixel\n"
        "over images of 10,000 pixels or more.\n\n"
        "| group            | images | peak B/px median | peak B/px max | peak KiB max | kept KiB max |\n"
        "|------------------|-------:|-----------------:|--------------:|-------------:|-------------:|\n",
        o.decoders[k]->name);
    for (const std::string& group : groups) {
        std::vector<double> per_pixel, peak, kept;
        for (size_t i = 0; i < corpus.size(); ++i) {
            if (group != "all" && group != corpus[i].group) continue;
            const Round& r = cells[i][k].first;
            const double pixels = static_cast<double>(corpus[i].image.pixels.size());
            if (pixels >= 10000) per_pixel.push_back(static_cast<double>(r.peak_bytes) / pixels);
            peak.push_back(static_cast<double>(r.peak_bytes) / 1024);
            kept.push_back(static_cast<double>(r.kept_bytes) / 1024);
        }
        std::printf("| %-16s | %6zu | %16.2f | %13.2f | %12.1f | %12.1f |\n", group.c_str(), peak.size(),
                    median(per_pixel), quantile(per_pixel, 1), quantile(peak, 1), quantile(kept, 1));
    }
}

// Both entries share one heap, so what it keeps after the run is said once.
void print_heap_after(const Options& o) {
    if (std::none_of(o.decoders.begin(), o.decoders.end(), [](const Decoder* d) { return d->is_vorden(); }))
        return;
    const HeapFigures heap = heap_figures();
    std::printf("\nAfter the run vorden keeps %.1f KiB; its largest call asked for %.1f KiB at once.\n",
                static_cast<double>(heap.kept) / 1024, static_cast<double>(heap.most) / 1024);
}

// The slowest images of each decoder against its own median.
void print_slowest(const Options& o, const std::vector<Tally>& all) {
    for (size_t k = 0; k < o.decoders.size() && o.slowest > 0; ++k) {
        const Tally& t = all[k];
        std::vector<size_t> order(t.wall.size());
        for (size_t j = 0; j < order.size(); ++j) order[j] = j;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return t.wall[a] > t.wall[b]; });
        const double m = median(t.wall);
        std::printf("\nslowest for %s (median %.3f ms wall):\n", o.decoders[k]->name, m);
        for (size_t j = 0; j < order.size() && j < static_cast<size_t>(o.slowest); ++j) {
            std::printf("  %8.3f ms  %6.1f x median  %s\n", t.wall[order[j]], t.wall[order[j]] / m,
                        t.names[order[j]].c_str());
        }
    }
}

}  // namespace

// The images a decoder missed that another one read, for finding what to
// look at next.
void print_unread(const Options& o, const std::vector<Sample>& corpus, const Cells& cells) {
    const auto right = [&](size_t i, size_t k) {
        const Cell& c = cells[i][k];
        return c.read && corpus[i].has_symbol && (!corpus[i].known || c.text == corpus[i].expected);
    };
    for (size_t k = 0; k < o.decoders.size(); ++k) {
        std::printf("\nunread by %s, read by another:\n", o.decoders[k]->name);
        for (size_t i = 0; i < corpus.size(); ++i) {
            if (right(i, k)) continue;
            std::string readers;
            for (size_t j = 0; j < o.decoders.size(); ++j)
                if (right(i, j)) readers += std::string(" ") + o.decoders[j]->name;
            if (!readers.empty()) std::printf("  %s (%s)\n", corpus[i].name.c_str(), readers.c_str() + 1);
        }
    }
}

void corpus_section(const Options& o, const char* corpus_name, const std::vector<Sample>& corpus) {
    if (corpus.empty()) {
        std::printf("%s corpus: no images\n", corpus_name);
        return;
    }
    const Cells cells = run_rounds(o, corpus);
    const std::vector<std::string> groups = groups_of(corpus);
    std::vector<std::vector<Tally>> tallies;
    for (const std::string& g : groups) {
        tallies.emplace_back();
        for (size_t k = 0; k < o.decoders.size(); ++k) tallies.back().push_back(tally(g, k, corpus, cells));
    }
    print_heading(o, corpus_name, corpus);
    print_side_by_side(o, groups, tallies);
    print_times(o, groups, tallies);
    for (size_t k = 0; k < o.decoders.size(); ++k) {
        if (o.decoders[k]->is_vorden()) print_memory(o, k, corpus, cells, groups);
    }
    print_heap_after(o);
    print_slowest(o, tallies.back());
    if (o.unread) print_unread(o, corpus, cells);
}

}  // namespace vorden::bench
