// Replay device layer: device table lookup with DAC, and synchronous replay
// through the wave-output layer's capture backend.
#include <chrono>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "test_support.h"
#include "zir.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(speechlib_dac, TableHoldsUniqueNamesAndOnlyKnownClasses) {
    std::set<std::string> names;
    for (const zir_dac_entry& entry : zir_dac_table) {
        EXPECT_TRUE(names.insert(entry.name).second) << "duplicate " << entry.name;
        EXPECT_GE(entry.dac_class, 0);
        EXPECT_LE(entry.dac_class, 8);
    }
    EXPECT_EQ(names.size(), 34u);
    EXPECT_STREQ(zir_dac_table[0].name, "sun");
    EXPECT_STREQ(zir_dac_table[33].name, "win32");
}

TEST(speechlib_dac, OpensOnlySilentAndWaveOutputClasses) {
    struct lookup {
        const char* dac;   // value of DAC, null for unset
        const char* name;  // argument of zir_dac_open
        int result;
        int sub_device;
    };
    const lookup cases[] = {
        {nullptr, nullptr, 8, 0},
        {"windows", nullptr, 8, 0},
        {"win32", nullptr, 8, 0},
        {"sb16", nullptr, 4, 6},
        {"pp", nullptr, 4, 1},
        {"eb12", nullptr, 4, 4},
        {"sun", nullptr, -1, 0},
        {"sun16-line", nullptr, -1, 0},
        {"3", nullptr, -1, 0},
        {"linux", nullptr, -1, 0},
        {"pipe", nullptr, -1, 0},
        {"WIN32", nullptr, -1, 0},
        {"Windows", nullptr, -1, 0},
        {"speaker", nullptr, -1, 0},
        {"", nullptr, -1, 0},
        {"win32 ", nullptr, -1, 0},
        // A name given by the caller wins over DAC.
        {"sun", "sb8", 4, 5},
        {"sb8", "win32", 8, 0},
        {nullptr, "sun8", -1, 0},
    };
    for (const lookup& c : cases) {
        scoped_env dac("DAC", c.dac);
        const std::string title =
            std::string(c.dac ? c.dac : "(unset)") + " / " + (c.name ? c.name : "(null)");
        EXPECT_EQ(zir_dac_open(c.name), c.result) << title;
        EXPECT_EQ(zir_dac_class, c.result) << title;
        EXPECT_EQ(zir_dac_subdevice, c.sub_device) << title;
        zir_dac_close(0);
        EXPECT_EQ(zir_dac_class, -1);
        EXPECT_EQ(zir_dac_subdevice, 0);
    }

    // Opening again forgets the previous choice, even when the new name fails.
    ASSERT_EQ(zir_dac_open("sb16"), 4);
    EXPECT_EQ(zir_dac_open("sun"), -1);
    EXPECT_EQ(zir_dac_class, -1);
    EXPECT_EQ(zir_dac_play(nullptr, 0, 11000.0, 16, 1, 1), -1) << "played with no device selected";
}

class speechlib_replay_device : public ::testing::Test {
protected:
    void SetUp() override {
        capture_ = dir_.file("capture.pcm");
        selection_ = "capture:" + capture_;
        samples_.resize(1000);
        for (std::size_t i = 0; i < samples_.size(); ++i)
            samples_[i] = std::int16_t(i * 97 - 30000);
    }
    void TearDown() override { zir_dac_close(0); }

    std::vector<std::int16_t> captured_samples() {
        const auto bytes = read_bytes(capture_);
        std::vector<std::int16_t> samples;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            samples.push_back(std::int16_t(bytes[i] | bytes[i + 1] << 8));
        return samples;
    }

    temp_dir dir_;
    std::string capture_, selection_;
    std::vector<std::int16_t> samples_;
};

TEST_F(speechlib_replay_device, PlaysTheWholeBufferByteForByteAsOftenAsAsked) {
    scoped_env backend("TALORIA_WAVEOUT", selection_.c_str());
    scoped_env speed("TALORIA_WAVEOUT_SPEED", "0");
    ASSERT_EQ(zir_dac_open("win32"), 8);
    EXPECT_EQ(zir_dac_play(samples_.data(), int(samples_.size()), 11000.0, 16, 1, 1), 0);
    EXPECT_EQ(captured_samples(), samples_);

    std::filesystem::remove(capture_);
    EXPECT_EQ(zir_dac_play(samples_.data(), int(samples_.size()), 11000.0, 16, 1, 2), 0);
    auto twice = samples_;
    twice.insert(twice.end(), samples_.begin(), samples_.end());
    EXPECT_EQ(captured_samples(), twice);

    // An empty buffer plays nothing and does not hang.
    std::filesystem::remove(capture_);
    EXPECT_EQ(zir_dac_play(samples_.data(), 0, 11000.0, 16, 1, 1), 0);
    EXPECT_TRUE(captured_samples().empty());
}

TEST_F(speechlib_replay_device, ReturnsOnlyAfterTheSoundHasFinished) {
    // 2200 samples last 200 ms at 11000 samples per second; doubled speed 100 ms.
    scoped_env backend("TALORIA_WAVEOUT", selection_.c_str());
    scoped_env speed("TALORIA_WAVEOUT_SPEED", "2");
    std::vector<std::int16_t> sound(2200, 5);
    ASSERT_EQ(zir_dac_open(nullptr), 8);
    const auto start = Clock::now();
    EXPECT_EQ(zir_dac_play(sound.data(), int(sound.size()), 11000.0, 16, 1, 1), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
    EXPECT_EQ(captured_samples(), sound);
}

TEST_F(speechlib_replay_device, SilentClassPlaysNothing) {
    scoped_env backend("TALORIA_WAVEOUT", selection_.c_str());
    ASSERT_EQ(zir_dac_open("sb16"), 4);
    EXPECT_EQ(zir_dac_play(samples_.data(), int(samples_.size()), 11000.0, 16, 1, 1), 0);
    EXPECT_FALSE(std::filesystem::exists(capture_));
}

TEST_F(speechlib_replay_device, DeviceFailuresAreReportedAndReturnMinusOne) {
    {
        scoped_env backend("TALORIA_WAVEOUT", "none");
        testing::internal::CaptureStderr();
        EXPECT_EQ(zir_waveout_play(samples_.data(), 2000, 11000, 2, 1), -1);
        const std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(text.rfind("Unable to open waveform output device\n", 0), 0u) << text;
        EXPECT_NE(text.find("parvox: "), std::string::npos) << "reason missing: " << text;

        // zir_dac_play does not pass the failure on: the run still ends normally.
        ASSERT_EQ(zir_dac_open(nullptr), 8);
        testing::internal::CaptureStderr();
        EXPECT_EQ(zir_dac_play(samples_.data(), int(samples_.size()), 11000.0, 16, 1, 1), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Unable to open"), std::string::npos);
    }
    {
        // The device opens but refuses the buffer (its capture file is full).
        scoped_env backend("TALORIA_WAVEOUT", "capture:/dev/full");
        testing::internal::CaptureStderr();
        EXPECT_EQ(zir_waveout_play(samples_.data(), 2000, 11000, 2, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error on write to wave out device\n");
    }
    {
        scoped_env backend("TALORIA_WAVEOUT", selection_.c_str());
        struct bad_format {
            int rate, bytes_per_sample, channels;
        };
        for (const bad_format f :
             {bad_format{0, 2, 1}, bad_format{11000, 3, 1}, bad_format{11000, 2, 0}}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(
                zir_waveout_play(samples_.data(), 2000, f.rate, f.bytes_per_sample, f.channels),
                -1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported waveform format/rate\n");
        }
        EXPECT_EQ(zir_waveout_play(samples_.data(), -2, 11000, 2, 1), -1);
        // Rates that no whole number of samples per second can hold.
        ASSERT_EQ(zir_dac_open("win32"), 8);
        for (double rate : {std::nan(""), 1e12, -11000.0}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(zir_dac_play(samples_.data(), 10, rate, 16, 1, 1), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported waveform format/rate\n")
                << rate;
        }
        EXPECT_FALSE(std::filesystem::exists(capture_)) << "a refused format reached the device";
    }
}

}  // namespace
