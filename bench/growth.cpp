// The growth check: hostile patterns at four sizes, each decoder in a child
// process with a time limit, against an ordinary frame's cost per pixel.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "decoder.h"
#include "patterns.h"
#include "sections.h"

namespace vorden::bench {

namespace {

constexpr int kSizes[][2] = {{320, 240}, {640, 480}, {1280, 960}, {1920, 1080}};
constexpr int kSizeCount = 4;
constexpr int kRounds = 5;
// The ordinary frame takes a millisecond or less: more rounds, so that a
// burst of other work spoils only a few.
constexpr int kOrdinaryRounds = 15;

double megapixels(const GreyImage& image) {
    return static_cast<double>(image.pixels.size()) / 1e6;
}

Limited limited_decode(const Options& o, const Decoder& d, const GreyImage& image, int rounds) {
    return run_limited(rounds, o.limit_ms, [&] { return decode_round(d, image); });
}

// ---- vorden's floor ----

// The passes whose binary images differ: a pass that leaves an earlier
// pass's image is replayed by decode_symbol, not computed.
std::vector<int32_t> computed_passes(const GreyImage& image, std::vector<uint8_t>& binary) {
    std::vector<int32_t> passes;
    std::vector<std::vector<uint8_t>> seen;
    for (int32_t pass = 0; pass < 3; ++pass) {
        binarize(pass, image.pixels.data(), 8);
        if (std::find(seen.begin(), seen.end(), binary) != seen.end()) continue;
        seen.push_back(binary);
        passes.push_back(pass);
    }
    return passes;
}

// Binarization, run tables and five-run scans of each computed pass, and
// nothing after them: the least work that gives the hits whose groups the
// passes' "cross" lines count, so no decode that writes those lines can
// take less.
Limited limited_floor(const Options& o, const GreyImage& image) {
    return run_limited(kRounds, o.limit_ms, [&] {
        DecoderState& s = decoder_state;
        std::vector<uint8_t> binary(image.pixels.size());
        s.image_width = image.width;
        s.image_height = image.height;
        s.log_stream = nullptr;
        s.binary_image = binary.data();
        const std::vector<int32_t> passes = computed_passes(image, binary);
        const Timing t = timed([&] {
            for (int32_t pass : passes) {
                binarize(pass, image.pixels.data(), 8);
                memchunk_init(&s.row_hits, sizeof(ScanHit));
                memchunk_init(&s.column_hits, sizeof(ScanHit));
                find_finder_hits();
                release_finder_patterns();
            }
        });
        s.binary_image = nullptr;
        return Round{t.wall_ms, t.cpu_ms, 0, 0, 0};
    });
}

// ---- The ordinary frame ----

// Each decoder's ms per megapixel on a 640x480 frame with a symbol.
std::vector<double> ordinary_ms_per_mp(const Options& o) {
    const GreyImage frame = symbol_frame(640, 480, 4).image;
    std::printf(
        "\nGrowth check: hostile patterns per decoder, each decode in a child process killed after %g s;\n"
        "wall time, the median of up to %d rounds (fewer once they add up to the limit).\n\n"
        "Ordinary frame: 640x480, a version 6 symbol at 4 px a module; %d rounds.\n\n"
        "| decoder         |        ms |     ms/MP |\n"
        "|-----------------|----------:|----------:|\n",
        o.limit_ms / 1000, kRounds, kOrdinaryRounds);
    std::vector<double> per_mp;
    for (const Decoder* d : o.decoders) {
        const Limited r = limited_decode(o, *d, frame, kOrdinaryRounds);
        const double ms = r.median_wall();
        per_mp.push_back(r.rounds.empty() ? 0 : ms / megapixels(frame));
        std::printf("| %-15s | %9s | %9.2f |\n", d->name, limited_ms_text(r, o.limit_ms).c_str(),
                    per_mp.back());
    }
    return per_mp;
}

// ---- One pattern at every size ----

struct Cell {
    Limited result;
    double megapixels = 0;
    Limited floor;  // the designed entry's alone
    bool ok() const { return !result.timed_out && !result.crashed && !result.rounds.empty(); }
    // The time, or the limit when the decode was killed.
    double ms(double limit_ms) const { return ok() ? result.median_wall() : limit_ms; }
};

// ">" marks a lower bound, from a killed decode.
std::string figure(double value, bool lower_bound, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return (lower_bound ? ">" : "") + std::string(text);
}

// How much the time grows when the pixels grow fourfold (4: in step with
// the pixels, 16: with their square), from the step between two sizes at
// least four times apart: a step of less would magnify the noise.
std::string growth_text(const Cell& before, const Cell& now, double limit_ms) {
    if (!before.ok() || now.result.crashed) return "-";
    const double exponent = std::log(4.0) / std::log(now.megapixels / before.megapixels);
    return figure(std::pow(now.ms(limit_ms) / before.ms(limit_ms), exponent), !now.ok(), "%.1f");
}

void print_row(const Options& o, const char* size, const Decoder& d, const Cell& cell, const Cell* before,
               double ordinary_per_mp) {
    const bool bound = !cell.ok();
    const double per_mp = cell.ms(o.limit_ms) / cell.megapixels;
    std::string ratio = "-", peak = "-";
    if (ordinary_per_mp > 0 && !cell.result.crashed) ratio = figure(per_mp / ordinary_per_mp, bound, "%.1f");
    if (d.is_vorden() && cell.ok()) {
        peak = figure(static_cast<double>(cell.result.rounds[0].peak_bytes) / (cell.megapixels * 1e6), false,
                      "%.2f");
    }
    std::string floor = "-";
    if (!cell.floor.rounds.empty()) {
        const double ms = cell.floor.median_wall();
        floor = figure(ms, false, "%.3f") + " (" +
                figure(ms / cell.megapixels / ordinary_per_mp, false, "%.1f") + ")";
    }
    std::printf("| %-9s | %-15s | %9s | %9s | %10s | %6s | %9s | %15s |\n", size, d.name,
                limited_ms_text(cell.result, o.limit_ms).c_str(),
                cell.result.crashed ? "-" : figure(per_mp, bound, "%.2f").c_str(), ratio.c_str(),
                before ? growth_text(*before, cell, o.limit_ms).c_str() : "-", peak.c_str(), floor.c_str());
}

void check_pattern(const Options& o, const Pattern& pattern, const std::vector<double>& ordinary) {
    const size_t n = o.decoders.size();
    std::printf(
        "\n%s\n\n"
        "| size      | decoder         |        ms |     ms/MP | x ordinary | 4x px  | peak B/px "
        "| floor ms (x)    |\n"
        "|-----------|-----------------|----------:|----------:|-----------:|-------:|----------:"
        "|----------------:|\n",
        pattern.name);
    std::vector<std::vector<Cell>> sizes;
    for (int s = 0; s < kSizeCount; ++s) {
        const GreyImage image = pattern.draw(kSizes[s][0], kSizes[s][1]);
        std::vector<Cell> cells(n);
        for (size_t turn = 0; turn < n; ++turn) {  // the order rotates from size to size
            const size_t k = (turn + static_cast<size_t>(s)) % n;
            cells[k] = {limited_decode(o, *o.decoders[k], image, kRounds), megapixels(image), {}};
            if (o.decoders[k]->is_designed() && ordinary[k] > 0) cells[k].floor = limited_floor(o, image);
        }
        const std::vector<Cell>* before = nullptr;
        for (const std::vector<Cell>& smaller : sizes) {
            if (smaller[0].megapixels * 3.99 <= megapixels(image)) before = &smaller;
        }
        const std::string size = size_text(image.width, image.height);
        for (size_t k = 0; k < n; ++k) {
            print_row(o, size.c_str(), *o.decoders[k], cells[k], before ? &(*before)[k] : nullptr,
                      ordinary[k]);
        }
        sizes.push_back(std::move(cells));
        std::fflush(stdout);
    }
}

}  // namespace

void growth_section(const Options& o) {
    const std::vector<double> ordinary = ordinary_ms_per_mp(o);
    for (const Pattern& p : hostile_patterns()) check_pattern(o, p, ordinary);
    std::printf(
        "\nx ordinary: ms/MP against the decoder's own on the ordinary frame. 4x px: the growth of the\n"
        "time per fourfold pixels (4: linear; 16: quadratic), from the nearest size of at most a quarter\n"
        "of the pixels (1920x1080 from 640x480); '>' a lower bound from a killed decode. peak B/px:\n"
        "vorden's heap at its peak per pixel. floor: the binarization, run tables and five-run scans\n"
        "of the passes vorden computes, without grouping or anything after it (the least a decode\n"
        "needs to write its passes' \"cross\" lines), in ms and against the ordinary frame per MP.\n");
}

}  // namespace vorden::bench
