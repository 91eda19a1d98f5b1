// vorden-decode as scripts use it: run as a subprocess on image files that
// each test writes, judged by exit status, standard output and standard
// error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "decoder.h"
#include "json_text.h"
#include "renderer.h"
#include "stages.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

using namespace vorden::test;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DecodeTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorden-decode-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs the tool with standard input from `input`, standard output to
    // `output` or captured, its address space held to 1 GiB (not under the
    // sanitizers' shadow memory) so that an unbounded allocation fails. Unless
    // the log was asked for, every line on standard error is the tool's own.
    Outcome run(const std::vector<std::string>& args, const std::string& input = "/dev/null",
                const std::string& output = "") const {
        std::string command = *VORDEN_DECODE_SANITIZERS != '\0' ? "'" : "ulimit -v 1048576; '";
        command += std::string(VORDEN_DECODE_TOOL) + "'";
        for (const std::string& arg : args) command += " '" + arg + "'";
        const std::string out = output.empty() ? path("stdout") : output;
        command += " <'" + input + "' >'" + out + "' 2>'" + path("stderr") + "'";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
        Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, output.empty() ? slurp(out) : "",
                  slurp(path("stderr"))};
        if (std::find(args.begin(), args.end(), "--log") == args.end()) {
            std::istringstream lines(r.err);
            for (std::string line; std::getline(lines, line);) {
                EXPECT_TRUE(line.rfind("vorden-decode: ", 0) == 0 || line.rfind("Try '", 0) == 0) << r.err;
            }
        }
        return r;
    }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }
    std::string pgm(const std::string& name, const Image& image) const {
        write_pgm(image, path(name));
        return path(name);
    }
    // Grey PNG, or colour with each grey level g drawn as dark + g / 255 *
    // (light - dark), channel by channel.
    std::string png(const std::string& name, const Image& image, std::vector<int> dark = {0},
                    std::vector<int> light = {255}) const {
        const int channels = static_cast<int>(dark.size());
        std::vector<uint8_t> data;
        for (uint8_t g : image.pixels)
            for (int c = 0; c < channels; ++c)
                data.push_back(static_cast<uint8_t>(dark[c] + g * (light[c] - dark[c]) / 255));
        EXPECT_TRUE(stbi_write_png(path(name).c_str(), image.width, image.height, channels, data.data(),
                                   image.width * channels));
        return path(name);
    }

    fs::path dir_;
};

Image symbol_image(const std::string& bytes, const RenderOptions& options = {}) {
    return render(encode(Mode::Byte, bytes), options);
}

Image blank_image() {
    return Image{160, 120, std::vector<uint8_t>(160 * 120, 230)};
}

// JSON lines with each "milliseconds" value (with three decimals) replaced by T.
std::string without_timing(const std::string& json) {
    return std::regex_replace(json, std::regex("\"milliseconds\":[0-9]+\\.[0-9]{3}([,}])"),
                              "\"milliseconds\":T$1");
}

TEST_F(DecodeTool, ExitStatusIsTheWorstOfTheFilesAndRawWritesOnlyTheBytes) {
    const std::string one = png("one.png", symbol_image("first")),
                      two = pgm("two.pgm", symbol_image("A\xff\r\n"));
    const std::string blank = pgm("blank.pgm", blank_image()), missing = path("missing.png");
    Outcome r = run({one, blank});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "first\n");
    EXPECT_EQ(r.err, "vorden-decode: " + blank + ": no QR Code symbol found\n");
    // A failed file does not stop the run, and 2 outranks 1 in either order.
    r = run({missing, blank, one});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "first\n");
    EXPECT_EQ(r.err, "vorden-decode: " + missing + ": cannot read: file not found\nvorden-decode: " + blank +
                         ": no QR Code symbol found\n");
    EXPECT_EQ(run({blank, missing}).code, 2);

    r = run({"--raw", two, one});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "A\xff\r\nfirst");
    EXPECT_EQ(r.err, "");
    // The library's text ends at its first zero byte.
    EXPECT_EQ(run({"--raw", pgm("nul.pgm", symbol_image(std::string("ab\0cd", 5)))}).out, "ab");
}

TEST_F(DecodeTool, ReadsEveryFormatAndTurnsColourIntoTheMeanOfItsChannels) {
    const Image image = symbol_image("formats");
    const std::string bmp = path("s.bmp"), jpg = path("s.jpg");
    ASSERT_TRUE(stbi_write_bmp(bmp.c_str(), image.width, image.height, 1, image.pixels.data()));
    ASSERT_TRUE(stbi_write_jpg(jpg.c_str(), image.width, image.height, 1, image.pixels.data(), 95));
    // Light modules drawn as 1 with a maximum value of 1: read right only when scaled to 255.
    std::string netpbm =
        "P5\n# two levels\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n1\n";
    for (uint8_t p : image.pixels) netpbm += static_cast<char>(p >= 128);
    const std::vector<std::string> files = {
        png("s.png", image), bmp, jpg, write("max1.pgm", netpbm),
        // Green modules (mean 85) on magenta (mean 170): weighted luma (150
        // against 105) would turn the symbol negative.
        png("colour.png", image, {0, 255, 0}, {255, 0, 255}),
        // Fully transparent, so a reader that used alpha would see nothing.
        png("rgba.png", image, {0, 0, 0, 0}, {255, 255, 255, 0})};
    const Outcome r = run(files);
    EXPECT_EQ(r.code, 0) << r.err;
    std::string expected;
    for (size_t i = 0; i < files.size(); ++i) expected += "formats\n";
    EXPECT_EQ(r.out, expected);
}

TEST_F(DecodeTool, InputErrorsNameTheFileAndTheReason) {
    const Image image = symbol_image("cut short");
    const std::string png_bytes = slurp(png("whole.png", image));
    ASSERT_TRUE(
        stbi_write_jpg(path("whole.jpg").c_str(), image.width, image.height, 1, image.pixels.data(), 95));
    const std::string jpg_bytes = slurp(path("whole.jpg"));
    // 32767 x 32767 grey, in headers alone: a baseline JPEG with a one-code
    // table for DC and for AC and a scan of one byte, which stb_image would
    // fill out to a gigabyte; a PNG of only its IHDR.
    const std::string table = std::string("\x01", 1) + std::string(16, '\0');  // one code, for value 0
    const std::string jpeg_bomb =
        std::string("\xff\xd8\xff\xc0\x00\x0b\x08\x7f\xff\x7f\xff\x01\x01\x11\x00\xff\xc4\x00\x26\x00", 20) +
        table + "\x10" + table + std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x00\xff\xd9", 13);
    const std::string png_bomb = png_bytes.substr(0, 16) +
                                 std::string("\0\0\x7f\xff\0\0\x7f\xff\x08\0\0\0\0", 13) +
                                 std::string("\x6c\x99\x59\xe1", 4);  // its CRC
    const std::string bomb =
        "image too large: 32767 x 32767 pixels, more than the limit of 100000000 pixels (--max-pixels raises "
        "it)";
    const std::string too_long = "cannot read: more than 268435456 bytes (--max-bytes raises the limit)";
    struct Case {
        std::string file, reason, input = "/dev/null";
    };
    for (const Case& c : {
             Case{path("missing.png"), "cannot read: file not found"},
             Case{write("empty.png", ""), "cannot read: empty file"},
             Case{write("notes.png", "not an image at all\n"),
                  "cannot decode image: Image not of any known type, or corrupt"},
             Case{write("cut.png", png_bytes.substr(0, png_bytes.size() / 2)),
                  "cannot decode image: PNG file truncated"},
             // Only IEND's CRC missing, which stb_image would let pass.
             Case{write("crc.png", png_bytes.substr(0, png_bytes.size() - 4)),
                  "cannot decode image: PNG file truncated"},
             Case{write("cut.jpg", jpg_bytes.substr(0, jpg_bytes.size() / 2)),
                  "cannot decode image: JPEG file truncated"},
             Case{write("bomb.jpg", jpeg_bomb), bomb},
             Case{write("bomb.png", png_bomb), bomb},
             Case{"/dev/zero", too_long},
             Case{"-", too_long, "/dev/zero"},
             Case{write("huge.pgm", "P5 40000 2 255\n"),
                  "image too large: 40000 x 2 pixels; the decoder takes at most 32767 pixels on a side "
                  "(--reduce shrinks it)"},
         }) {
        const Outcome r = run({c.file}, c.input);
        EXPECT_EQ(r.code, 2) << c.file;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vorden-decode: " + c.file + ": " + c.reason + "\n");
    }
}

// Each object's text keeps UTF-8 and escapes other bytes (the escaping
// itself is checked below), with their hexadecimal beside it.
TEST_F(DecodeTool, JsonGivesOneObjectPerFileWithProvisionalReads) {
    // Every block of a 1-M symbol damaged to its full capacity: read, but provisionally.
    Symbol damaged = encode(Mode::Byte, "caf\xc3\xa9 \"42\"\\", {.version = 1, .level = Level::M});
    const auto codewords = codeword_modules(damaged);
    for (int k = 0; k < vorden::ec_block_table[1][static_cast<int>(Level::M)][0][3]; ++k)
        for (int m : codewords[k]) damaged.dark[m] ^= 1;
    const std::string provisional = pgm("damaged.pgm", render(damaged));
    const std::string odd = pgm("odd.pgm", symbol_image("A\xff\x93\x5f\n"));
    const std::string blank = pgm("blank.pgm", blank_image()), empty = write("empty.pgm", "");
    Outcome r = run({"--json", provisional, odd, blank, empty});
    EXPECT_EQ(r.code, 2);
    // Both drawn with a quiet zone of 4 modules of 4 pixels: 21 modules from 16.
    const std::string corners = "\"corners\":[[16.0,16.0],[100.0,16.0],[100.0,100.0],[16.0,100.0]]";
    EXPECT_EQ(without_timing(r.out),
              "{\"file\":\"" + provisional +
                  "\",\"text\":\"caf\xc3\xa9 \\\"42\\\"\\\\\",\"provisional\":true," +
                  "\"strategy\":\"designed\"," + corners + ",\"milliseconds\":T}\n" + "{\"file\":\"" + odd +
                  "\",\"text\":\"A\\u00ff\\u0093_\\n\",\"hex\":\"41ff935f0a\",\"provisional\":false," +
                  "\"strategy\":\"designed\"," + corners + ",\"milliseconds\":T}\n" + "{\"file\":\"" + blank +
                  "\",\"text\":null,\"milliseconds\":T}\n" + "{\"file\":\"" + empty +
                  "\",\"error\":\"cannot read: empty file\"}\n");
    r = run({provisional});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "caf\xc3\xa9 \"42\"\\\n");
    EXPECT_EQ(r.err, "vorden-decode: " + provisional +
                         ": provisional text: read only through a correction that used a block's full "
                         "capacity\n");
}

// A folder is read, with -r, in the order of its names; worker processes
// change nothing of what the run writes, in what order or with what status.
TEST_F(DecodeTool, FoldersAndWorkersKeepTheInputOrder) {
    fs::create_directories(dir_ / "in" / "sub");
    const std::string b = png("in/b.png", symbol_image("bee")), a = pgm("in/a.pgm", symbol_image("ay"));
    const std::string c = png("in/sub/c.PNG", symbol_image("sea")),
                      blank = pgm("in/sub/blank.pgm", blank_image());
    const std::string bad = write("in/bad.jpg", "not a jpeg");
    write("in/notes.txt", "not an image by name");
    fs::create_directory_symlink("..", dir_ / "in" / "sub" / "up");
    const std::string expected_err = "vorden-decode: " + bad +
                                     ": cannot decode image: Image not of any known type, or corrupt\n"
                                     "vorden-decode: " +
                                     blank + ": no QR Code symbol found\n";
    for (const char* jobs : {"1", "2", "5"}) {
        const Outcome r = run({"-r", path("in"), "--jobs", jobs, "--stats"});
        EXPECT_EQ(r.code, 2) << jobs;
        EXPECT_EQ(r.out, "ay\nbee\nsea\n") << jobs;
        EXPECT_EQ(r.err.substr(0, expected_err.size()), expected_err) << jobs;
        EXPECT_EQ(r.err.find("vorden-decode: 5 files: 3 read, 1 not found, 1 failed, "), expected_err.size())
            << r.err;
    }
    Outcome r = run({path("in")});
    EXPECT_EQ(r.err, "vorden-decode: " + path("in") + ": cannot read: is a directory\n");
    fs::create_directory(dir_ / "none");
    r = run({"-r", path("none"), a});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "ay\n");
    EXPECT_EQ(r.err, "vorden-decode: " + path("none") + ": no image files in the folder\n");
    // Standard input read by a worker, in its place among the files.
    EXPECT_EQ(run({"--jobs", "2", a, "-", b}, c).out, "ay\nsea\nbee\n");

    // Many files named one by one, texts alternating, in JSON and raw.
    std::vector<std::string> files;
    for (int i = 0; i < 24; ++i) files.push_back(i % 3 == 2 ? blank : i % 3 == 1 ? b : a);
    for (const char* format : {"--json", "--raw"}) {
        std::vector<std::string> args = files;
        args.insert(args.begin(), {format, "--jobs=1"});
        const Outcome one = run(args);
        args[1] = "--jobs=3";
        const Outcome three = run(args);
        EXPECT_EQ(without_timing(three.out), without_timing(one.out)) << format;
        EXPECT_EQ(three.err, one.err);
        EXPECT_EQ(three.code, 1);
    }
    EXPECT_EQ(run({"--jobs", "0", a}).code, 2);

    // Standard error on a terminal (script's): with many files, a progress
    // line, cleared before the summary.
    std::string command = "script -qec \"'" + std::string(VORDEN_DECODE_TOOL) + "' --stats";
    for (int i = 0; i < 120; ++i) command += " '" + a + "'";
    command += " 2>&1 >/dev/null\" /dev/null >'" + path("terminal") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string terminal = slurp(path("terminal"));
    EXPECT_NE(terminal.find("\rvorden-decode: 120 of 120 files\r\033[Kvorden-decode: 120 files: 120 read, "),
              std::string::npos)
        << terminal;
}

TEST_F(DecodeTool, OptionsUsageLimitsAndPixelDepth) {
    const Image symbol = symbol_image("options");
    const std::string good = pgm("good.pgm", symbol);
    Outcome r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("Usage: vorden-decode [OPTION]... FILE...\n", 0), 0u);
    EXPECT_EQ(r.err, "");

    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"--bogus", good},
                                                 {"--json", "--raw", good},
                                                 {"--pixel-depth", "8x", good},
                                                 {"--max-bytes=", good},
                                                 {good, "--pixel-depth"}}) {
        r = run(args);
        EXPECT_EQ(r.code, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Try 'vorden-decode --help'."), std::string::npos) << r.err;
    }

    // Each limit lets through a file at it, or raised past the default, and
    // refuses one past it.
    const size_t pixels = symbol.pixels.size(), bytes = slurp(good).size();
    for (const auto& [option, limit, code] :
         std::vector<std::tuple<std::string, size_t, int>>{{"--max-pixels=", pixels, 0},
                                                           {"--max-pixels=", pixels - 1, 2},
                                                           {"--max-bytes=", bytes, 0},
                                                           {"--max-bytes=", bytes - 1, 2}}) {
        EXPECT_EQ(run({option + std::to_string(limit), good}).code, code) << option << limit;
        EXPECT_EQ(run({option + std::to_string(limit), "-"}, good).code, code) << option << limit;
    }
    // Output that cannot be written fails the run, even when all else went well.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {good}}) {
        r = run(args, "/dev/null", "/dev/full");
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_EQ(r.err, "vorden-decode: cannot write to standard output: No space left on device\n");
    }

    // "-" is standard input; "--" ends the options.
    EXPECT_EQ(run({"--", "-"}, good).out, "options\n");

    // --log passes the decoder's diagnostic lines through to standard error.
    r = run({good, "--log"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err.rfind("mode 0\n", 0), 0u) << r.err;

    // Thorough unless --plain: a turned symbol the designed pass misses, with
    // the strategy that read it after the decoder's own lines.
    const std::string turned = pgm("turned.pgm", symbol_image("turned", {.module_px = 4, .angle_deg = 18}));
    EXPECT_EQ(run({turned}).out, "turned\n");
    EXPECT_EQ(run({"--plain", turned}).code, 1);
    EXPECT_NE(run({"--log", turned}).err.find("\nthorough: geometry read\n"), std::string::npos);

    // --pixel-depth 1 reads a two-level image (dark 0, light 1), which as
    // grey has its mean round down to 0 with nothing darker.
    Image image = symbol_image("two levels");
    for (uint8_t& p : image.pixels) p = p >= 128;
    const std::string levels = pgm("levels.pgm", image);
    EXPECT_EQ(run({levels}).code, 1);
    r = run({"--pixel-depth", "1", levels});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "two levels\n");
}

// The options --help lists are the ones the manual page describes.
TEST_F(DecodeTool, HelpAndManualPageNameTheSameOptions) {
    const auto options_in = [](const std::string& text, const std::regex& line) {
        std::set<std::string> names;
        std::istringstream lines(text);
        const std::regex option("(^|[ ,])(--?[a-z][a-z-]*)");
        for (std::string l; std::getline(lines, l);) {
            if (!std::regex_search(l, line)) continue;
            for (std::sregex_iterator it(l.begin(), l.end(), option), end; it != end; ++it)
                names.insert((*it)[2]);
        }
        return names;
    };
    const std::set<std::string> help = options_in(run({"--help"}).out, std::regex("^  -"));
    // The manual's option entries: the line after each .TP, with "\-" as "-".
    std::string manual = std::regex_replace(slurp(VORDEN_DECODE_MANUAL), std::regex(R"(\\-)"), "-");
    manual = std::regex_replace(manual, std::regex("\\.TP\n\\.B[IR]? "), ".TP ");
    const std::set<std::string> page = options_in(manual, std::regex("^\\.TP -"));
    EXPECT_EQ(help, page);
    EXPECT_GE(help.size(), 14u);
}

// The JSON escaping, on hand-made inputs.
TEST(JsonText, EscapesWhatJsonNeedsKeepsUtf8AndTurnsOtherBytesIntoLatin1Escapes) {
    struct Case {
        std::string bytes, json;
        bool utf8;
    };
    for (const Case& c : {
             Case{"", "", true}, Case{"a\"b\\c/", "a\\\"b\\\\c/", true},
             Case{"\b\f\n\r\t\x01\x1f\x7f", "\\b\\f\\n\\r\\t\\u0001\\u001f\x7f", true},
             Case{std::string("a\0b", 3), "a\\u0000b", true},
             Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                  true},
             Case{"\xff", "\\u00ff", false}, Case{"\x80x", "\\u0080x", false},  // a lone continuation byte
             Case{"\xc0\x80", "\\u00c0\\u0080", false},                         // overlong NUL
             Case{"\xe0\x80\xaf", "\\u00e0\\u0080\\u00af", false},              // overlong '/'
             Case{"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080", false},              // a surrogate
             Case{"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080", false},   // above U+10FFFF
             Case{"\xe2\x82", "\\u00e2\\u0082", false},                         // cut short at the end
             Case{"\x93\x5f", "\\u0093_", false},             // Shift JIS, as Kanji mode gives it
             Case{"\xc3\xa9\xa9", "\xc3\xa9\\u00a9", false},  // a good sequence, then a stray byte
         }) {
        EXPECT_EQ(vorden::tools::json_string(c.bytes), "\"" + c.json + "\"")
            << vorden::tools::hex_bytes(c.bytes);
        EXPECT_EQ(vorden::tools::is_utf8(c.bytes), c.utf8) << vorden::tools::hex_bytes(c.bytes);
    }
    EXPECT_EQ(vorden::tools::hex_bytes(std::string("\x00\x9a\xff", 3)), "009aff");
}

}  // namespace
