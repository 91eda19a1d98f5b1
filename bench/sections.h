// The parts of a vorden-bench run: the corpus tables, the fresh-process
// figure, the camera worker's cost per frame and the growth check.
#ifndef VORDEN_BENCH_SECTIONS_H
#define VORDEN_BENCH_SECTIONS_H

#include <string>
#include <vector>

#include "corpus.h"
#include "measure.h"

namespace vorden::bench {

struct Decoder {
    const char* name;
    bool (*read)(const GreyImage&, std::string*);
    // Either entry of vorden: its heap figures can be taken.
    bool is_vorden() const { return read == vorden_read || read == vorden_thorough_read; }
    // The designed entry, against which the other decoders' times are put.
    bool is_designed() const { return read == vorden_read; }
};

// The designed entry first: the camera section times kDecoders[0].
inline constexpr Decoder kDecoders[] = {{"vorden", vorden_read},
                                        {"vorden-thorough", vorden_thorough_read},
                                        {"zxing-cpp", zxing_read},
                                        {"zbar", zbar_read}};

struct Options {
    std::string folder;  // empty: the generated corpus
    std::string match;   // keep the images whose name holds this
    int repeat = 3;
    int slowest = 5;
    bool unread = false;  // list the images some decoder missed and another read
    double limit_ms = 5000;
    std::vector<const Decoder*> decoders;
    std::vector<std::string> sections;
    bool wants(const std::string& section) const;
};

// One decode timed, with vorden's heap figures for the call when the decoder
// is vorden; the text read goes to `text` when given.
Round decode_round(const Decoder& decoder, const GreyImage& image, std::string* text = nullptr);

// "640x480"
std::string size_text(int width, int height);

// `corpus_name` heads the tables: "generated", "folder", "thorough".
void corpus_section(const Options& options, const char* corpus_name, const std::vector<Sample>& corpus);
void fresh_process_section(const Options& options, const std::vector<Sample>& corpus);
void batch_section(const Options& options);
void camera_section(const Options& options);
void growth_section(const Options& options);

}  // namespace vorden::bench

#endif
