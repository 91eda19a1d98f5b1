// Confirmation over the ring of the last ten reads, and what the dialog sees.
#include <string>
#include <vector>

#include "fakes.h"

namespace ostrel::test {
namespace {

using Events = std::vector<std::string>;

const std::string kStatus = "1003 ";
const std::string kBeep = "beep 16";

using RingTest = CoreTest;

TEST_F(RingTest, TwoAgreeingReadsConfirmATextWhichIsShownAndBeepedOnlyWhenNew) {
    EXPECT_EQ(read("A"), Events{kStatus + kTriangle});
    EXPECT_STREQ(shown_text, "");
    EXPECT_EQ(read_state, READ_ONCE);
    EXPECT_EQ(read("B"), Events{kStatus + kTriangle});
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));
    EXPECT_STREQ(shown_text, "A");
    EXPECT_EQ(read_state, READ_CONFIRMED);
    EXPECT_EQ(read("A"), Events{kStatus + kCircle});
    EXPECT_EQ(read("B"), (Events{kBeep, "1000 B", kStatus + kCircle}));
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));
}

TEST_F(RingTest, FailedReadsTooLongTextsAndEmptyTextsAreNeverConfirmed) {
    read("A");
    // Failed reads do not enter the ring, so they push nothing out.
    for (int i = 0; i < 25; ++i) EXPECT_EQ(read(std::nullopt), Events{kStatus + kCross});
    EXPECT_EQ(read_state, READ_NOTHING);
    EXPECT_EQ(read("A"), (Events{kBeep, "1000 A", kStatus + kCircle}));

    const std::string longest(7090, 'x');
    const std::string too_long(7091, 'y');
    EXPECT_EQ(read(too_long), Events{kStatus + kCross});
    EXPECT_EQ(read(too_long), Events{kStatus + kCross});
    EXPECT_EQ(read(longest), Events{kStatus + kTriangle});
    EXPECT_EQ(read(longest), (Events{kBeep, "1000 " + longest, kStatus + kCircle}));

    EXPECT_EQ(read(""), Events{kStatus + kTriangle});
    EXPECT_EQ(read(""), Events{kStatus + kTriangle});
}

TEST_F(RingTest, ConfirmedAcrossEightInterveningReadsButNotNine) {
    for (int between : {8, 9}) {
        SCOPED_TRACE(between);
        const std::string text = "T" + std::to_string(between);
        read(text);
        for (int i = 0; i < between; ++i) read(text + "-other" + std::to_string(i));
        EXPECT_EQ(read(text).back(), kStatus + (between == 8 ? kCircle : kTriangle));
    }
}

// A worker run without the slot cannot give it back: the count is at its
// maximum already.
TEST_F(RingTest, ReleaseFailureIsReportedOnStandardOutput) {
    uint8_t pixel = 0;
    FrameJob job = {&pixel, 1, 1};
    testing::internal::CaptureStdout();
    decode_worker(&job);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ReleaseSemaphore error: 298\n");
}

}  // namespace
}  // namespace ostrel::test
