// vorden-stage-bench: each stage of the decoder on a 640x480 frame with one
// symbol (the argument is its version; two wrong codewords a block), run
// through Google Benchmark. The stages before the one measured run once in
// the set-up, as decode_symbol's pass 0 and attempt 0 would run them.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "corpus.h"
#include "decoder.h"
#include "vorden.h"

using namespace vorden;
using namespace vorden::bench;

namespace {

enum class Upto { Installed, Binarized, RunTables, Scanned, Finders, Sampled, Unmasked, Codewords };

// The decoder state for one frame, brought up to a stage and torn down again.
class Prepared {
  public:
    Prepared(int version, Upto upto) : image_(stage_frame(version)), binary_(image_.pixels.size()) {
        DecoderState& s = decoder_state;
        s.image_width = image_.width;
        s.image_height = image_.height;
        s.log_stream = nullptr;
        s.binary_image = binary_.data();
        if (upto >= Upto::Binarized) binarize(0, pixels(), 8);
        if (upto >= Upto::RunTables) {
            memchunk_init(&s.row_hits, sizeof(ScanHit));
            memchunk_init(&s.column_hits, sizeof(ScanHit));
            memchunk_init(&s.finder_patterns, sizeof(FinderPattern));
            build_row_runs();
            build_column_runs();
        }
        if (upto >= Upto::Scanned) scan_both();
        if (upto >= Upto::Finders) {
            release_finder_patterns();
            ok_ = find_finder_patterns() != 0;
        }
        if (upto >= Upto::Sampled && ok_) {
            s.symbol_version = estimate_version(0, s.image_width, s.image_height);
            ok_ = s.symbol_version >= 1 && build_sampling_grid() && sample_modules() &&
                  read_format_information();
        }
        if (upto >= Upto::Unmasked && ok_) remove_data_mask();
        if (upto >= Upto::Codewords && ok_) ok_ = read_codewords() != 0;
    }
    ~Prepared() {
        release_sampling_grid();
        release_finder_patterns();
        decoder_state.binary_image = nullptr;
    }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;

    bool ok() const { return ok_; }
    const uint8_t* pixels() const { return image_.pixels.data(); }
    const GreyImage& image() const { return image_; }

    static void scan_both() {
        DecoderState& s = decoder_state;
        memchunk_clear(&s.row_hits);
        memchunk_clear(&s.column_hits);
        scan_finder_runs(s.row_runs, s.image_width, s.image_height, &s.row_hits);
        scan_finder_runs(s.column_runs, s.image_height, s.image_width, &s.column_hits);
    }

  private:
    GreyImage image_;
    std::vector<uint8_t> binary_;
    bool ok_ = true;
};

void require(benchmark::State& state, const Prepared& p) {
    if (!p.ok()) state.SkipWithError("the stages before this one failed on the frame");
}

void per_pixel(benchmark::State& state, const Prepared& p) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.image().pixels.size()));
}

void BM_Binarize(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Installed);
    for (auto _ : state) binarize(0, p.pixels(), 8);
    per_pixel(state, p);
}

void BM_RunTables(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::RunTables);
    for (auto _ : state) {
        build_row_runs();
        build_column_runs();
    }
    per_pixel(state, p);
}

void BM_FinderScan(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::RunTables);
    for (auto _ : state) Prepared::scan_both();
    state.counters["row hits"] = decoder_state.row_hits.count;
    state.counters["column hits"] = decoder_state.column_hits.count;
}

// Grouping and centre refinement start from ungrouped hits and no candidates.
void BM_FinderGrouping(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Scanned);
    DecoderState& s = decoder_state;
    for (auto _ : state) {
        for (MemChunk* pool : {&s.row_hits, &s.column_hits}) {
            ScanHit* hits = reinterpret_cast<ScanHit*>(pool->data);
            for (int32_t i = 0; i < pool->count; ++i) hits[i].group = -1;
        }
        memchunk_clear(&s.finder_patterns);
        group_crossing_hits();
        refine_finder_centers();
    }
    state.counters["candidates"] = s.finder_count;
}

// The whole finder stage: run tables, scan, grouping, refinement, choice.
void BM_FindFinderPatterns(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Binarized);
    for (auto _ : state) {
        benchmark::DoNotOptimize(find_finder_patterns());
        release_finder_patterns();
    }
    per_pixel(state, p);
}

void BM_VersionGridSampling(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Finders);
    require(state, p);
    DecoderState& s = decoder_state;
    for (auto _ : state) {
        s.symbol_version = estimate_version(0, s.image_width, s.image_height);
        benchmark::DoNotOptimize(build_sampling_grid() && sample_modules());
        release_sampling_grid();
    }
    state.counters["modules"] = s.symbol_size * s.symbol_size;
}

void BM_Format(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Sampled);
    require(state, p);
    for (auto _ : state) benchmark::DoNotOptimize(read_format_information());
}

// Unmasking twice restores the matrix; each run costs the same either way.
void BM_Unmask(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Sampled);
    require(state, p);
    for (auto _ : state) remove_data_mask();
}

void BM_CodewordsAndCorrection(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Unmasked);
    require(state, p);
    for (auto _ : state) benchmark::DoNotOptimize(read_codewords());
    state.counters["codewords"] = decoder_state.total_codewords;
}

void BM_Segments(benchmark::State& state) {
    Prepared p(static_cast<int>(state.range(0)), Upto::Codewords);
    require(state, p);
    for (auto _ : state) benchmark::DoNotOptimize(decode_data_segments());
}

void BM_WholeDecode(benchmark::State& state) {
    const GreyImage image = stage_frame(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_symbol(image.pixels.data(), image.width, image.height, 8, nullptr));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(image.pixels.size()));
}

// Versions 4, 10 and 25: one, four and sixteen-plus alignment patterns.
#define STAGE(bm) BENCHMARK(bm)->Arg(4)->Arg(10)->Arg(25)->Unit(benchmark::kMicrosecond)
STAGE(BM_Binarize);
STAGE(BM_RunTables);
STAGE(BM_FinderScan);
STAGE(BM_FinderGrouping);
STAGE(BM_FindFinderPatterns);
STAGE(BM_VersionGridSampling);
STAGE(BM_Format);
STAGE(BM_Unmask);
STAGE(BM_CodewordsAndCorrection);
STAGE(BM_Segments);
STAGE(BM_WholeDecode);

}  // namespace

BENCHMARK_MAIN();
