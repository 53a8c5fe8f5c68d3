// Checks of the replay engine through the capture device: what reaches the
// device, one notice per buffer, and the play, pause, resume and stop rules.
#include <gtest/gtest.h>

#include "replay_fixture.h"

using namespace player_test;

namespace {

constexpr std::size_t kBlock = CAudioPlayer::REPLAY_BLOCK_BYTES;

TEST_F(player_replay, PlaysTheWholeFileWithOneNoticePerBuffer) {
    const std::string samples = Pattern(10 * kBlock + 1000);
    OpenWave(samples);
    ASSERT_TRUE(player_.Play(&window_, 0));
    EXPECT_TRUE(player_.IsPlaying());
    EXPECT_FALSE(player_.IsPaused());
    // Seven buffers are handed to the device at once; one stays out.
    EXPECT_EQ(Captured().size(), 7 * kBlock);
    ASSERT_TRUE(WaitUntilIdle());
    Drain();
    EXPECT_EQ(Captured(), samples);
    EXPECT_EQ(window_.notices, 11);
    EXPECT_FALSE(player_.Stop());  // the last notice closed the device
    EXPECT_TRUE(host_.messages.empty());
    // The command states followed the start and the end of replay.
    EXPECT_GE(host_.command_state_changes, 2);

    // The file stays open: it can be played again.
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_EQ(Captured(), samples + samples);
}

TEST_F(player_replay, ShortFileQueuesOnlyWhatItFills) {
    const std::string samples = Pattern(2 * kBlock + 10);
    OpenWave(samples);
    ASSERT_TRUE(player_.Play(&window_, 0));
    EXPECT_EQ(Captured(), samples);
    ASSERT_TRUE(WaitUntilIdle());
    Drain();
    EXPECT_EQ(window_.notices, 3);
    EXPECT_EQ(Captured(), samples);
}

TEST_F(player_replay, StartsAtTheGivenTime) {
    const std::string samples = Pattern(3 * 22050 * 2);
    OpenWave(samples);
    ASSERT_TRUE(player_.Play(&window_, 1.5));
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_EQ(Captured(), samples.substr(66150));
}

TEST_F(player_replay, NothingToPlayLeavesTheEngineIdle) {
    // No file.
    EXPECT_FALSE(player_.Play(&window_, 0));
    // A file without samples, and a start at or past the end of one.
    for (double start : {0.0, 0.0, 1.0, 5.0}) {
        OpenWave(start == 0.0 ? "" : Pattern(22050 * 2));
        EXPECT_FALSE(player_.Play(&window_, start)) << start;
        EXPECT_FALSE(player_.IsPlaying()) << start;
        EXPECT_FALSE(player_.Stop()) << start;
    }
    PumpFor(50);
    EXPECT_EQ(window_.notices, 0);
    EXPECT_EQ(Captured(), "");
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(player_replay, FormatsTheDeviceRefusesAreReported) {
    // Samples of 24 bits, and an alignment that disagrees with the format.
    const fs::path wide = dir_ / "wide.wav";
    WriteFile(wide, Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 24)) + Chunk("data", Pattern(300))));
    ASSERT_TRUE(player_.Open(wide.string()));
    EXPECT_FALSE(player_.Play(&window_, 0));

    std::string odd_format = FormatBody(1, 2, 22050, 16);
    odd_format[12] = 3;  // block alignment 3 for two 16-bit channels
    const fs::path odd = dir_ / "odd.wav";
    WriteFile(odd, Riff(Chunk("fmt ", odd_format) + Chunk("data", Pattern(300))));
    ASSERT_TRUE(player_.Open(odd.string()));
    EXPECT_FALSE(player_.Play(&window_, 0));

    // No device at all.
    OpenWave(Pattern(1000));
    ::setenv("TALORIA_WAVEOUT", "none", 1);
    EXPECT_FALSE(player_.Play(&window_, 0));
    EXPECT_FALSE(player_.IsPlaying());
    EXPECT_EQ(host_.messages, std::vector<std::string>(3, "Failed to open replay device"));
}

TEST_F(player_replay, PauseRestartAndStopFollowTheStateRules) {
    const std::string samples = Pattern(12 * kBlock);
    OpenWave(samples);
    // Idle: nothing to pause, resume or stop.
    EXPECT_FALSE(player_.Pause());
    EXPECT_FALSE(player_.Restart());
    EXPECT_FALSE(player_.Stop());

    ASSERT_TRUE(player_.Play(&window_, 0));
    EXPECT_FALSE(player_.Restart());  // not paused
    EXPECT_TRUE(player_.Pause());
    EXPECT_TRUE(player_.IsPaused());
    EXPECT_TRUE(player_.IsPlaying());
    EXPECT_TRUE(player_.Pause());  // twice: still paused
    EXPECT_TRUE(player_.IsPaused());
    EXPECT_TRUE(player_.Restart());
    EXPECT_FALSE(player_.IsPaused());
    EXPECT_FALSE(player_.Restart());
    EXPECT_TRUE(player_.Pause());

    // Stop while paused: reset, drain every notice, close.
    EXPECT_TRUE(player_.Stop());
    EXPECT_FALSE(player_.IsPlaying());
    EXPECT_FALSE(player_.IsPaused());
    EXPECT_EQ(window_.notices, 7);  // every queued buffer came back
    EXPECT_FALSE(player_.Stop());
    EXPECT_FALSE(player_.Pause());
    EXPECT_EQ(Captured(), samples.substr(0, 7 * kBlock));
}

TEST_F(player_replay, StopMidwayKeepsBuffersAndNoticesInStep) {
    const std::string samples = Pattern(40 * kBlock);
    OpenWave(samples);
    ASSERT_TRUE(player_.Play(&window_, 0));
    // Let a few notices refill buffers, then stop.
    for (int i = 0; i < 3; ++i) framework::ui_loop().pump_device_notifications(20);
    ASSERT_TRUE(player_.IsPlaying());
    ASSERT_TRUE(player_.Stop());
    const std::string captured = Captured();
    ASSERT_EQ(captured.size() % kBlock, 0u);
    // What reached the device is the start of the file, in order, and each
    // buffer it was handed came back with exactly one notice.
    EXPECT_EQ(captured, samples.substr(0, captured.size()));
    EXPECT_EQ(static_cast<std::size_t>(window_.notices), captured.size() / kBlock);
    Drain();
    EXPECT_EQ(static_cast<std::size_t>(window_.notices), captured.size() / kBlock);
}

TEST_F(player_replay, PlayWhilePlayingOrPausedStartsAgain) {
    const std::string samples = Pattern(9 * kBlock);
    OpenWave(samples);
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(player_.Pause());
    // The paused replay is stopped; the new one starts at the new time.
    ASSERT_TRUE(player_.Play(&window_, 4.0 * kBlock / (22050 * 2)));
    EXPECT_FALSE(player_.IsPaused());
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(WaitUntilIdle());
    Drain();
    EXPECT_EQ(Captured(),
              samples.substr(0, 7 * kBlock) + samples.substr(4 * kBlock, 5 * kBlock) + samples);
    EXPECT_EQ(window_.notices, 7 + 5 + 9);
}

TEST_F(player_replay, OpeningAnotherFileStopsReplay) {
    OpenWave(Pattern(9 * kBlock));
    ASSERT_TRUE(player_.Play(&window_, 0));
    const fs::path other = dir_ / "other.wav";
    WriteFile(other, Riff(Chunk("fmt ", FormatBody(1, 1, 8000, 8)) + Chunk("data", "abc")));
    ASSERT_TRUE(player_.Open(other.string()));
    EXPECT_FALSE(player_.IsPlaying());
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_EQ(Captured().substr(7 * kBlock), "abc");
}

TEST_F(player_replay, PlaysMpegOneFramePerBuffer) {
    if (!HaveLame()) GTEST_SKIP() << "the lame encoder is not installed";
    const fs::path mp3 = dir_ / "sine.mp3";
    ASSERT_TRUE(EncodeSine(mp3, 22050, 2, 64, 1.0));
    // What the reader makes of the file, read apart from replay.
    std::string expected;
    int frames = 0;
    {
        CAudioReader reader;
        std::string message;
        ASSERT_TRUE(reader.Open(mp3.string(), message));
        std::vector<std::uint8_t> block(CAudioReader::BLOCK_BYTES);
        for (std::size_t got; (got = reader.ReadBlock(block.data(), block.size())) > 0; ++frames) {
            ASSERT_EQ(got, 576u * 4);
            expected.append(reinterpret_cast<const char*>(block.data()), got);
        }
    }
    ASSERT_GT(frames, 30);
    ASSERT_TRUE(player_.Open(mp3.string()));
    ASSERT_TRUE(player_.Play(&window_, 0));
    ASSERT_TRUE(WaitUntilIdle());
    Drain();
    EXPECT_EQ(Captured(), expected);
    EXPECT_EQ(window_.notices, frames);
}

TEST_F(player_replay, OpenShowsTheReadersMessages) {
    // A file that cannot be opened is reported; one of no playable kind is not.
    const std::string missing = (dir_ / "missing.wav").string();
    EXPECT_FALSE(player_.Open(missing));
    EXPECT_EQ(player_.GetFileName(), missing);
    const fs::path text = dir_ / "text.wav";
    WriteFile(text, "hello, world\n");
    EXPECT_FALSE(player_.Open(text.string()));
    EXPECT_EQ(player_.GetFileName(), text.string());
    const fs::path bad_mpeg = dir_ / "bad.mp3";
    WriteFile(bad_mpeg, std::string(600, '\xFF'));
    EXPECT_FALSE(player_.Open(bad_mpeg.string()));
    EXPECT_EQ(host_.messages,
              (std::vector<std::string>{"Could not open '" + missing + "'",
                                        "Format error on file '" + bad_mpeg.string() + "'\n"}));
    EXPECT_FALSE(player_.Close());
    EXPECT_FALSE(player_.Play(&window_, 0));
}

TEST_F(player_replay, DestroyingAPlayingPlayerNeedsNoLoop) {
    // At exit the loop no longer runs: the player ends replay without waiting
    // for notices and sends none after it is gone.
    struct CountingWindow : framework::CWnd {
        long WindowProc(unsigned) override { return ++notices; }
        int notices = 0;
    } window;
    const fs::path path = dir_ / "long.wav";
    WriteFile(path, Riff(Chunk("fmt ", FormatBody(1, 1, 22050, 16)) +
                         Chunk("data", Pattern(20 * kBlock))));
    UseCapture(1);
    {
        CAudioPlayer player;
        ASSERT_TRUE(player.Open(path.string()));
        ASSERT_TRUE(player.Play(&window, 0));
    }
    Drain();
    EXPECT_EQ(window.notices, 0);
}

}  // namespace
