// Frames no camera should send: headers whose lengths lie, nonsense formats
// and a capture window whose format answers disagree. Each frame is either
// decoded from bytes inside its data or given up, and the slot is free
// afterwards. Run under AddressSanitizer, a read past a frame's end fails.
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

}  // namespace
}  // namespace ostrel::test
