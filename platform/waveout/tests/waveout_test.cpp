// Contract of the wave-output layer, checked through the capture backend:
// bytes in the file, one notice per buffer in queue order, timing, pause,
// resume, reset and close.
#include "waveout.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "notices.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old, had_ = true;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

class waveout_capture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/waveout_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        capture_path_ = dir_ + "/capture.pcm";
        selection_ = "capture:" + capture_path_;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Opens the capture device at the given clock speed (text as in the environment).
    std::unique_ptr<waveout::Device> open_capture(const char* speed, Notices& notices,
                                                  waveout::Format format = {}) {
        ScopedEnv backend("TALORIA_WAVEOUT", selection_.c_str());
        ScopedEnv clock("TALORIA_WAVEOUT_SPEED", speed);
        std::string error;
        auto device = waveout::open(format, notices.callback(), &error);
        EXPECT_TRUE(device) << error;
        return device;
    }

    std::vector<std::uint8_t> captured() {
        std::ifstream in(capture_path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string dir_, capture_path_, selection_;
};

// Buffers of distinct sizes and contents, so that a lost, repeated or
// reordered byte shows.
std::vector<std::vector<std::uint8_t>> make_payloads(int count) {
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint8_t> bytes(std::size_t(2 * (i * 37 % 113 + 1)));
        for (std::size_t j = 0; j < bytes.size(); ++j) bytes[j] = std::uint8_t(i * 31 + j * 7);
        payloads.push_back(std::move(bytes));
    }
    return payloads;
}

std::vector<waveout::Buffer> make_buffers(const std::vector<std::vector<std::uint8_t>>& payloads) {
    std::vector<waveout::Buffer> buffers(payloads.size());
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        buffers[i].data = payloads[i].data();
        buffers[i].size_bytes = payloads[i].size();
    }
    return buffers;
}

// A buffer that lasts `ms` milliseconds at real time for the default format.
std::vector<std::uint8_t> silence_ms(int ms) {
    return std::vector<std::uint8_t>(std::size_t(11000 * 2 * ms / 1000), 0);
}

TEST(waveout_open, RefusesWithAClearReason) {
    struct Case {
        const char* selection;
        const char* speed;
        const char* expected_text;
    };
    const Case cases[] = {
        {"none", nullptr, "TALORIA_WAVEOUT=none"},
        {"speakers", nullptr, "unknown TALORIA_WAVEOUT value 'speakers'"},
        {"capture:", nullptr, "needs a file name"},
        {"capture:/nonexistent-dir/x.pcm", nullptr,
         "cannot open capture file '/nonexistent-dir/x.pcm'"},
        {"capture:/tmp/waveout_never.pcm", "fast", "TALORIA_WAVEOUT_SPEED"},
        {"capture:/tmp/waveout_never.pcm", "-1", "TALORIA_WAVEOUT_SPEED"},
    };
    for (const Case& c : cases) {
        ScopedEnv backend("TALORIA_WAVEOUT", c.selection);
        ScopedEnv speed("TALORIA_WAVEOUT_SPEED", c.speed);
        std::string error;
        auto device = waveout::open(
            {}, [](waveout::Buffer*) {}, &error);
        EXPECT_FALSE(device) << c.selection;
        EXPECT_NE(error.find(c.expected_text), std::string::npos) << c.selection << ": " << error;
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/waveout_never.pcm"));
}

TEST(waveout_open, ChecksTheFormat) {
    struct Case {
        int channels, rate_hz, bits;
        bool ok;
    };
    const Case cases[] = {
        {1, 11000, 16, true},  {2, 44100, 16, true},   {1, 8000, 8, true},  {8, 384000, 16, true},
        {0, 11000, 16, false}, {9, 11000, 16, false},  {1, 999, 16, false}, {1, 11000, 24, false},
        {1, 0, 16, false},     {-1, 11000, 16, false},
    };
    for (const Case& c : cases) {
        waveout::Format format;
        format.channels = c.channels;
        format.rate_hz = c.rate_hz;
        format.bits_per_sample = c.bits;
        std::string error;
        EXPECT_EQ(waveout::supported(format, &error), c.ok)
            << c.channels << "/" << c.rate_hz << "/" << c.bits;
        EXPECT_EQ(error.empty(), c.ok);
        // open() refuses the same formats before it touches any backend.
        if (!c.ok) {
            ScopedEnv backend("TALORIA_WAVEOUT", "capture:/tmp/waveout_never.pcm");
            EXPECT_FALSE(waveout::open(
                format, [](waveout::Buffer*) {}, &error));
        }
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/waveout_never.pcm"));
}

TEST(waveout_open, WithoutSoundCardPortAudioFailsWithItsOwnText) {
    // On a machine with a sound card the open succeeds; either way it must
    // not hang and must say why when it fails.
    ScopedEnv backend("TALORIA_WAVEOUT", "portaudio");
    std::string error;
    auto device = waveout::open(
        {}, [](waveout::Buffer*) {}, &error);
    if (!device) {
        EXPECT_EQ(error.rfind("PortAudio: ", 0), 0u) << error;
    }
}

TEST_F(waveout_capture, CapturesEveryByteAndNoticesEachBufferOnceInOrder) {
    const auto payloads = make_payloads(40);
    auto buffers = make_buffers(payloads);
    Notices notices;
    auto device = open_capture("0", notices);
    ASSERT_TRUE(device);
    for (auto& buffer : buffers) ASSERT_TRUE(device->write(&buffer));
    ASSERT_TRUE(notices.wait_for_count(buffers.size()));
    device->close();

    std::vector<std::uint8_t> expected;
    for (const auto& payload : payloads)
        expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(captured(), expected);
    ASSERT_EQ(notices.buffers.size(), buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(notices.buffers[i], &buffers[i]) << "notice " << i;
        // Ordinary completions come from the backend, never the owner.
        EXPECT_NE(notices.threads[i], std::this_thread::get_id());
    }
}

TEST_F(waveout_capture, AppendsAcrossOpensAndKeepsUserData) {
    std::vector<std::uint8_t> first = {1, 2, 3, 4}, second = {5, 6};
    int tag = 7;
    for (auto* bytes : {&first, &second}) {
        Notices notices;
        auto device = open_capture("0", notices);
        ASSERT_TRUE(device);
        waveout::Buffer buffer{bytes->data(), bytes->size(), &tag};
        ASSERT_TRUE(device->write(&buffer));
        ASSERT_TRUE(notices.wait_for_count(1));
        EXPECT_EQ(notices.buffers[0]->user, &tag);
    }
    EXPECT_EQ(captured(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(waveout_capture, EmptyBufferGetsItsNoticeAndBadBuffersAreRefused) {
    Notices notices;
    auto device = open_capture("0", notices);
    ASSERT_TRUE(device);
    waveout::Buffer empty{};
    waveout::Buffer no_data{nullptr, 10, nullptr};
    EXPECT_FALSE(device->write(nullptr));
    EXPECT_FALSE(device->write(&no_data));
    EXPECT_TRUE(device->write(&empty));
    ASSERT_TRUE(notices.wait_for_count(1));
    device->close();
    // Refused buffers get no notice.
    EXPECT_EQ(notices.buffers, std::vector<waveout::Buffer*>{&empty});
    EXPECT_TRUE(captured().empty());
}

TEST_F(waveout_capture, CompletesOnTheClockScaledBySpeed) {
    auto bytes = silence_ms(200);
    for (const char* speed : {"1", "4"}) {
        const double factor = std::stod(speed);
        Notices notices;
        auto device = open_capture(speed, notices);
        ASSERT_TRUE(device);
        waveout::Buffer buffer{bytes.data(), bytes.size(), nullptr};
        const auto start = Clock::now();
        ASSERT_TRUE(device->write(&buffer));
        ASSERT_TRUE(notices.wait_for_count(1));
        const auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::duration<double>(0.2 / factor) - 5ms) << speed;
        EXPECT_LT(elapsed, std::chrono::duration<double>(0.2 / factor) + 1500ms) << speed;
    }
}

TEST_F(waveout_capture, PauseHoldsTheClockAndResumeContinues) {
    auto bytes = silence_ms(150);
    Notices notices;
    auto device = open_capture("1", notices);
    ASSERT_TRUE(device);
    waveout::Buffer buffer{bytes.data(), bytes.size(), nullptr};
    const auto start = Clock::now();
    ASSERT_TRUE(device->write(&buffer));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(device->pause());
    EXPECT_TRUE(device->pause());  // a second pause changes nothing
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(notices.count(), 0u) << "completed while paused";
    ASSERT_TRUE(device->resume());
    ASSERT_TRUE(notices.wait_for_count(1));
    // 150 ms of sound plus the 300 ms pause: the paused time is not counted.
    EXPECT_GE(Clock::now() - start, 440ms);
}

TEST_F(waveout_capture, PausedBeforeWritingCompletesNothingEvenAtSpeedZero) {
    std::vector<std::uint8_t> bytes(64, 1);
    Notices notices;
    auto device = open_capture("0", notices);
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->pause());
    waveout::Buffer buffer{bytes.data(), bytes.size(), nullptr};
    ASSERT_TRUE(device->write(&buffer));
    EXPECT_FALSE(notices.wait_for_count(1, 100ms));
    ASSERT_TRUE(device->resume());
    EXPECT_TRUE(notices.wait_for_count(1));
}

TEST_F(waveout_capture, ResetHandsBackEveryQueuedBufferBeforeReturning) {
    auto long_bytes = silence_ms(1000);
    std::vector<waveout::Buffer> buffers(
        5, waveout::Buffer{long_bytes.data(), long_bytes.size(), nullptr});
    Notices notices;
    auto device = open_capture("1", notices);
    ASSERT_TRUE(device);
    for (auto& buffer : buffers) ASSERT_TRUE(device->write(&buffer));
    ASSERT_TRUE(device->pause());
    const auto start = Clock::now();
    ASSERT_TRUE(device->reset());
    EXPECT_LT(Clock::now() - start, 500ms);
    ASSERT_EQ(notices.count(), buffers.size()) << "reset returned before every notice";
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(notices.buffers[i], &buffers[i]);
        EXPECT_EQ(notices.threads[i], std::this_thread::get_id());
    }

    // The device stays open and is no longer paused.
    std::vector<std::uint8_t> short_bytes(22, 3);
    waveout::Buffer after{short_bytes.data(), short_bytes.size(), nullptr};
    ASSERT_TRUE(device->write(&after));
    ASSERT_TRUE(notices.wait_for_count(buffers.size() + 1));
    EXPECT_EQ(notices.buffers.back(), &after);
    EXPECT_TRUE(device->reset());  // nothing queued: nothing more delivered
    EXPECT_EQ(notices.count(), buffers.size() + 1);
}

TEST_F(waveout_capture, CloseDeliversQueuedNoticesAndEndsTheDevice) {
    auto bytes = silence_ms(1000);
    waveout::Buffer first{bytes.data(), bytes.size(), nullptr};
    waveout::Buffer second{bytes.data(), bytes.size(), nullptr};
    Notices notices;
    auto device = open_capture("1", notices);
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->write(&first));
    ASSERT_TRUE(device->write(&second));
    device->close();
    EXPECT_EQ(notices.buffers, (std::vector<waveout::Buffer*>{&first, &second}));
    device->close();  // a second close is harmless
    EXPECT_FALSE(device->write(&first));
    EXPECT_FALSE(device->pause());
    EXPECT_FALSE(device->resume());
    EXPECT_FALSE(device->reset());
    EXPECT_EQ(notices.count(), 2u);
}

TEST_F(waveout_capture, DestructorDeliversQueuedNotices) {
    auto bytes = silence_ms(1000);
    waveout::Buffer buffer{bytes.data(), bytes.size(), nullptr};
    Notices notices;
    {
        auto device = open_capture("1", notices);
        ASSERT_TRUE(device);
        ASSERT_TRUE(device->write(&buffer));
    }
    EXPECT_EQ(notices.buffers, std::vector<waveout::Buffer*>{&buffer});
}

TEST_F(waveout_capture, ResetsRacingWithCompletionsNeverLoseOrRepeatANotice) {
    // Many tiny buffers at speed 0 complete while the owner keeps resetting:
    // whichever side hands a buffer back, each gets exactly one notice, and
    // notices stay in queue order.
    const auto payloads = make_payloads(600);
    auto buffers = make_buffers(payloads);
    Notices notices;
    auto device = open_capture("0", notices);
    ASSERT_TRUE(device);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        ASSERT_TRUE(device->write(&buffers[i]));
        if (i % 7 == 3) {
            ASSERT_TRUE(device->reset());
        }
        if (i % 50 == 10) {
            ASSERT_TRUE(device->pause());
        }
        if (i % 50 == 30) {
            ASSERT_TRUE(device->resume());
        }
    }
    ASSERT_TRUE(device->resume());
    ASSERT_TRUE(notices.wait_for_count(buffers.size()));
    device->close();
    ASSERT_EQ(notices.buffers.size(), buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i)
        ASSERT_EQ(notices.buffers[i], &buffers[i]) << "notice " << i;
}

TEST_F(waveout_capture, EightBitStereoTimingUsesTheBlockSize) {
    // 8-bit stereo at 8000 Hz: 16000 bytes per second, so 3200 bytes last 200 ms.
    waveout::Format format;
    format.channels = 2;
    format.rate_hz = 8000;
    format.bits_per_sample = 8;
    std::vector<std::uint8_t> bytes(3200, 0x80);
    Notices notices;
    auto device = open_capture("1", notices, format);
    ASSERT_TRUE(device);
    waveout::Buffer buffer{bytes.data(), bytes.size(), nullptr};
    const auto start = Clock::now();
    ASSERT_TRUE(device->write(&buffer));
    ASSERT_TRUE(notices.wait_for_count(1));
    EXPECT_GE(Clock::now() - start, 195ms);
    EXPECT_EQ(captured(), bytes);
}

}  // namespace
