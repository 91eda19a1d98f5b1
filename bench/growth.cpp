// The growth check: hostile patterns at four sizes, each decoder in a child
// process with a time limit, against an ordinary frame's cost per pixel.
#include <cmath>
#include <cstdio>

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
    std::printf("| %-9s | %-15s | %9s | %9s | %10s | %6s | %9s |\n", size, d.name,
                limited_ms_text(cell.result, o.limit_ms).c_str(),
                cell.result.crashed ? "-" : figure(per_mp, bound, "%.2f").c_str(), ratio.c_str(),
                before ? growth_text(*before, cell, o.limit_ms).c_str() : "-", peak.c_str());
}

void check_pattern(const Options& o, const Pattern& pattern, const std::vector<double>& ordinary) {
    const size_t n = o.decoders.size();
    std::printf(
        "\n%s\n\n"
        "| size      | decoder         |        ms |     ms/MP | x ordinary | 4x px  | peak B/px |\n"
        "|-----------|-----------------|----------:|----------:|-----------:|-------:|----------:|\n",
        pattern.name);
    std::vector<std::vector<Cell>> sizes;
    for (int s = 0; s < kSizeCount; ++s) {
        const GreyImage image = pattern.draw(kSizes[s][0], kSizes[s][1]);
        std::vector<Cell> cells(n);
        for (size_t turn = 0; turn < n; ++turn) {  // the order rotates from size to size
            const size_t k = (turn + static_cast<size_t>(s)) % n;
            cells[k] = {limited_decode(o, *o.decoders[k], image, kRounds), megapixels(image)};
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
        "vorden's heap at its peak per pixel.\n");
}

}  // namespace vorden::bench
