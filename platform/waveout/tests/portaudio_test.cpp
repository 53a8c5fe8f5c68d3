// The PortAudio backend on ALSA's null device (no sound card needed): one
// notice per buffer in queue order, pause, reset and close.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "notices.h"
#include "waveout.h"

namespace {

using namespace std::chrono_literals;

class waveout_portaudio : public ::testing::Test {
protected:
    void SetUp() override {
        // An ALSA configuration whose default device is the null device.
        char pattern[] = "/tmp/waveout_alsa_XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ::close(fd);
        config_ = pattern;
        std::ofstream(config_) << "pcm.!default { type null }\n";
        setenv("ALSA_CONFIG_PATH", config_.c_str(), 1);
        setenv("TALORIA_WAVEOUT", "portaudio", 1);
    }
    void TearDown() override {
        unsetenv("ALSA_CONFIG_PATH");
        unsetenv("TALORIA_WAVEOUT");
        ::unlink(config_.c_str());
    }

    std::unique_ptr<waveout::Device> open(Notices& notices) {
        std::string error;
        auto device = waveout::open({}, notices.callback(), &error);
        if (!device) ADD_FAILURE() << "the null device did not open: " << error;
        return device;
    }

    std::string config_;
};

TEST_F(waveout_portaudio, NoticesEveryBufferOnceInQueueOrder) {
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < 20; ++i)
        payloads.emplace_back(std::size_t(2 * (i * 53 % 700 + 1)), std::uint8_t(i));
    std::vector<waveout::Buffer> buffers(payloads.size());
    Notices notices;
    auto device = open(notices);
    ASSERT_TRUE(device);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        buffers[i] = {payloads[i].data(), payloads[i].size(), nullptr};
        ASSERT_TRUE(device->write(&buffers[i]));
    }
    waveout::Buffer empty{};
    ASSERT_TRUE(device->write(&empty));
    ASSERT_TRUE(notices.wait_for_count(buffers.size() + 1));
    device->close();
    ASSERT_EQ(notices.buffers.size(), buffers.size() + 1);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(notices.buffers[i], &buffers[i]);
        EXPECT_NE(notices.threads[i], std::this_thread::get_id());
    }
    EXPECT_EQ(notices.buffers.back(), &empty);
}

TEST_F(waveout_portaudio, PauseHoldsBuffersUntilResumeOrReset) {
    std::vector<std::uint8_t> bytes(2200, 0);
    waveout::Buffer first{bytes.data(), bytes.size(), nullptr};
    waveout::Buffer second{bytes.data(), bytes.size(), nullptr};
    waveout::Buffer third{bytes.data(), bytes.size(), nullptr};
    Notices notices;
    auto device = open(notices);
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->pause());
    ASSERT_TRUE(device->write(&first));
    EXPECT_FALSE(notices.wait_for_count(1, 200ms)) << "played while paused";
    ASSERT_TRUE(device->resume());
    ASSERT_TRUE(notices.wait_for_count(1));

    ASSERT_TRUE(device->pause());
    ASSERT_TRUE(device->write(&second));
    ASSERT_TRUE(device->write(&third));
    ASSERT_TRUE(device->reset());
    ASSERT_EQ(notices.buffers, (std::vector<waveout::Buffer*>{&first, &second, &third}));
    EXPECT_EQ(notices.threads[1], std::this_thread::get_id());

    // Unpaused after the reset, and closing with a paused queue hands it back.
    ASSERT_TRUE(device->write(&first));
    ASSERT_TRUE(notices.wait_for_count(4));
    ASSERT_TRUE(device->pause());
    ASSERT_TRUE(device->write(&second));
    device->close();
    EXPECT_EQ(notices.buffers.size(), 5u);
    EXPECT_EQ(notices.buffers.back(), &second);
    EXPECT_FALSE(device->write(&third));
}

}  // namespace
