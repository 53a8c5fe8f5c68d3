// Replay in real time through the capture device: pause holds replay without
// losing buffers, resume continues it, and the file plays to its end.
#include <gtest/gtest.h>

#include "replay_fixture.h"

using namespace player_test;

namespace {
// The same fixture, named apart from the fast replay checks.
class player_replay_realtime : public player_replay {};
}  // namespace

namespace {

constexpr std::size_t kBlock = CAudioPlayer::REPLAY_BLOCK_BYTES;

TEST_F(player_replay_realtime, PauseHoldsReplayAndResumeFinishesIt) {
    // 48000 Hz stereo: one block plays for about 0.34 s; at twice real time
    // the four blocks take about 0.7 s.
    UseCapture(2);
    const std::string samples = Pattern(4 * kBlock - 400);
    OpenWave(samples, 2, 48000);
    ASSERT_TRUE(player_.Play(&window_, 0));
    PumpFor(250);
    const int before_pause = window_.notices;
    EXPECT_LE(before_pause, 2);
    ASSERT_TRUE(player_.Pause());
    PumpFor(600);
    // At most a notice already on its way when the pause came.
    EXPECT_LE(window_.notices, before_pause + 1);
    EXPECT_TRUE(player_.IsPaused());
    ASSERT_TRUE(player_.Restart());
    ASSERT_TRUE(WaitUntilIdle(5000));
    Drain();
    EXPECT_EQ(window_.notices, 4);
    EXPECT_EQ(Captured(), samples);
}

TEST_F(player_replay_realtime, StopInRealTimeDrainsEveryNotice) {
    UseCapture(1);
    OpenWave(Pattern(10 * kBlock), 2, 48000);
    ASSERT_TRUE(player_.Play(&window_, 0));
    PumpFor(100);
    ASSERT_TRUE(player_.Stop());
    EXPECT_EQ(window_.notices, 7);
    // A new replay can start at once.
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(player_.Stop());
    EXPECT_EQ(window_.notices, 14);
}

TEST_F(player_replay_realtime, StopGivesUpAfterFiftyRoundsAndPlayWaitsForTheNotices) {
    // A window that takes the notices but never hands them to the player: the
    // queued count cannot fall, so Stop must end its wait on its own.
    struct SwallowingWindow : framework::CWnd {
        long WindowProc(unsigned) override { return ++notices; }
        int notices = 0;
    } swallow;
    OpenWave(Pattern(12 * kBlock));
    ASSERT_TRUE(player_.Play(&swallow, 0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(player_.Stop());
    const double waited_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited_s, 0.9);  // 50 rounds of 20 ms
    EXPECT_LT(waited_s, 3.0);
    EXPECT_FALSE(player_.IsPlaying());

    // Until the seven outstanding notices arrive, a new replay is refused,
    // silently.
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(player_.Play(&window_, 0)) << i;
        EXPECT_FALSE(player_.OnBufferDone());
    }
    ASSERT_TRUE(player_.Play(&window_, 0));
    EXPECT_TRUE(host_.messages.empty());
}

}  // namespace
