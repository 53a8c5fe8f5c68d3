// The replay tests' fixture: a capture device in a temporary folder, a
// recording user-interface host, and the test thread acting as the UI loop.
#pragma once

#include <chrono>
#include <cstdlib>

#include "message_loop.h"
#include "player_fixtures.h"
#include "ui_host_recording.h"

namespace player_test {

class player_replay : public ::testing::Test {
protected:
    void SetUp() override {
        framework::set_ui_host(&host_);
        capture_ = dir_ / "capture.pcm";
        UseCapture(0);
    }

    void TearDown() override {
        player_.Stop();
        Drain();
        framework::set_ui_host(nullptr);
    }

    // Plays into the capture file at `speed` times real time (0: at once).
    void UseCapture(double speed) {
        ::setenv("TALORIA_WAVEOUT", ("capture:" + capture_.string()).c_str(), 1);
        ::setenv("TALORIA_WAVEOUT_SPEED", std::to_string(speed).c_str(), 1);
    }

    // Runs the loop's device notifications for `ms` milliseconds.
    void PumpFor(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            framework::ui_loop().pump_device_notifications(5);
    }

    // Runs the loop until replay has ended; false after `timeout_ms`.
    bool WaitUntilIdle(int timeout_ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (player_.IsPlaying() && std::chrono::steady_clock::now() < end)
            framework::ui_loop().pump_device_notifications(20);
        return !player_.IsPlaying();
    }

    // Dispatches whatever notices are still on their way.
    void Drain() {
        while (framework::ui_loop().pump_device_notifications(50) > 0) {
        }
    }

    std::string Captured() const { return ReadFile(capture_); }

    // Writes a 16-bit WAVE file of the given samples and opens it.
    void OpenWave(const std::string& samples, int channels = 1, std::uint32_t rate_hz = 22050,
                  unsigned bits = 16) {
        const fs::path path = dir_ / "play.wav";
        WriteFile(path, Riff(Chunk("fmt ",
                                   FormatBody(1, static_cast<unsigned>(channels), rate_hz, bits)) +
                             Chunk("data", samples)));
        ASSERT_TRUE(player_.Open(path.string()));
    }

    framework::RecordingUiHost host_;
    TempDir dir_;
    fs::path capture_;
    CAudioPlayer player_;
    NoticeWindow window_{player_};
};

}  // namespace player_test
