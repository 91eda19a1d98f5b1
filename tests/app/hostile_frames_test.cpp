// Frames no camera should send: headers whose lengths lie, nonsense formats
// and a capture window whose format answers disagree. Each frame is either
// decoded from bytes inside its data or given up, and the slot is free
// afterwards. Run under AddressSanitizer, a read past a frame's end fails.
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

class HostileFrameTest : public CoreTest {
  protected:
    // Delivers one header; true when a decode ran. A frame given up leaves
    // the recorded buffer sizes at 0 and the dialog untouched.
    bool deliver(VIDEOHDR* header) {
        const size_t before = decoded_images.size();
        EXPECT_NE(on_video_frame(capture_window, header), 0);
        EXPECT_TRUE(slot_is_free());
        const bool decoded = decoded_images.size() > before;
        if (!decoded) {
            EXPECT_EQ(frame_copy_size, 0);
            EXPECT_EQ(luma_frame_size, 0);
            EXPECT_TRUE(texts_.take().empty());
        }
        return decoded;
    }
};

TEST_F(HostileFrameTest, HeaderLengthsThatLieAreNotTrusted) {
    // The format is 16 x 4 YUY2: 128 bytes a frame.
    EXPECT_FALSE(deliver(nullptr));

    std::vector<uint8_t> whole(128, 60);
    VIDEOHDR header = {};
    header.dwBufferLength = 128;
    EXPECT_FALSE(deliver(&header)) << "no data pointer";

    // Bytes used past the end of the buffer: only the buffer is there.
    std::vector<uint8_t> short_buffer(100, 60);
    for (DWORD used : {DWORD{128}, DWORD{0xFFFFFFFF}}) {
        SCOPED_TRACE(used);
        header.lpData = short_buffer.data();
        header.dwBufferLength = static_cast<DWORD>(short_buffer.size());
        header.dwBytesUsed = used;
        EXPECT_FALSE(deliver(&header));
    }

    // No bytes used counted means a full buffer.
    header.lpData = whole.data();
    header.dwBufferLength = 128;
    header.dwBytesUsed = 0;
    ASSERT_TRUE(deliver(&header));
    EXPECT_EQ(decoded_images.back().pixels, std::vector<uint8_t>(64, 60));
}

TEST_F(HostileFrameTest, FormatAnswersThatDisagreeAreReadOnlyAsFarAsTheHeader) {
    const std::vector<uint8_t> frame(128, 70);
    VIDEOHDR header = {};
    header.lpData = const_cast<BYTE*>(frame.data());
    header.dwBufferLength = static_cast<DWORD>(frame.size());

    // The size asked for holds a header, but the fetch fills only part of it.
    camera_->fetch_writes = 20;
    EXPECT_FALSE(deliver(&header));

    // A fetch that claims more than the block it was given.
    camera_->fetch_writes = std::nullopt;
    camera_->fetch_claims = 4096;
    EXPECT_TRUE(deliver(&header));

    // A format block with a palette after the header.
    camera_->fetch_claims = std::nullopt;
    camera_->block_size = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD);
    ASSERT_TRUE(deliver(&header));
    EXPECT_EQ(decoded_images.back().width, 16);
    EXPECT_EQ(decoded_images.back().height, 4);
}

// Every combination of the values below, the other header fields random:
// whatever the decoder is handed was copied from inside the frame's data,
// in the layout the format names, and every other frame is given up.
TEST_F(HostileFrameTest, NonsenseFormatsAreDecodedWithinTheirDataOrGivenUp) {
    constexpr LONG kMin = std::numeric_limits<LONG>::min();
    constexpr LONG kMax = std::numeric_limits<LONG>::max();
    const LONG widths[] = {kMin, -17, -1, 0, 1, 2, 15, 16, 17, 33, 1280, 65520, 65521, 65535, 65536, kMax};
    const LONG heights[] = {kMin, -4, -1, 0, 1, 2, 3, 33, 1281, 65536, kMax};
    struct Layout {
        DWORD compression;
        WORD bits;
    };
    const Layout layouts[] = {{BI_RGB, 0},       {BI_RGB, 1},       {BI_RGB, 8},
                              {BI_RGB, 16},      {BI_RGB, 24},      {BI_RGB, 32},
                              {BI_RGB, 0xFFFF},  {FOURCC_YUY2, 8},  {FOURCC_YUY2, 12},
                              {FOURCC_YUY2, 16}, {FOURCC_YUY2, 24}, {0x47504A4D, 16},
                              {0x47504A4D, 24},  {3, 16},           {0x59565955 /* UYVY */, 16}};
    // Exactly as long as they say, so that a read past one ends the test.
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t length : {0, 63, 4096, 65536}) buffers.emplace_back(length, 90);

    std::mt19937 random(18004);
    int decoded = 0;
    int reduced = 0;
    for (const Layout& layout : layouts) {
        for (LONG width : widths) {
            for (LONG height : heights) {
                for (std::vector<uint8_t>& data : buffers) {
                    auto* bytes = reinterpret_cast<uint8_t*>(&camera_->format);
                    for (size_t k = 0; k < sizeof camera_->format; ++k)
                        bytes[k] = static_cast<uint8_t>(random());
                    camera_->format.biWidth = width;
                    camera_->format.biHeight = height;
                    camera_->format.biBitCount = layout.bits;
                    camera_->format.biCompression = layout.compression;
                    VIDEOHDR header = {};
                    header.lpData = data.empty() ? nullptr : data.data();
                    header.dwBufferLength = static_cast<DWORD>(data.size());

                    SCOPED_TRACE(std::to_string(layout.compression) + " " + std::to_string(layout.bits) +
                                 " " + std::to_string(width) + "x" + std::to_string(height) + " in " +
                                 std::to_string(data.size()));
                    if (!deliver(&header)) continue;
                    ++decoded;
                    const bool yuy2 = layout.compression == FOURCC_YUY2 && layout.bits == 16;
                    const bool rgb24 = layout.compression == BI_RGB && layout.bits == 24;
                    ASSERT_TRUE(yuy2 || rgb24);
                    // frame_job: the row length and rows the worker was given.
                    EXPECT_EQ(frame_job.height, height);
                    EXPECT_GE(frame_job.width, width);
                    EXPECT_LT(frame_job.width, static_cast<int64_t>(width) + (rgb24 ? 16 : 2));
                    EXPECT_LE(static_cast<int64_t>(frame_job.width) * frame_job.height * layout.bits / 8,
                              static_cast<int64_t>(data.size()));
                    if (decoded_images.back().width != frame_job.width) ++reduced;
                    decoded_images.clear();
                    texts_.take();
                }
            }
        }
    }
    // Both layouts were read, and large frames went through the reduction.
    EXPECT_GT(decoded, 10);
    EXPECT_GT(reduced, 0);
    EXPECT_LE(kernel_.live_blocks(), 2u);
}

}  // namespace
}  // namespace ostrel::test
