// Replay device layer: device table lookup with DAC, and synchronous replay
// through the wave-output layer's capture backend.
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "test_support.h"
#include "zir.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(speechlib_dac, TableHoldsEveryKnownDeviceInSearchOrder) {
    // Names that DAC settings and scripts use: one row out of place or one
    // class wrong would make a setting select another device or none.
    const zir_dac_entry expected[] = {
        {"sun", 0, 0},        {"sparc2", 0, 0},     {"sun8", 0, 1},        {"sun8-spkr", 0, 0},
        {"sun8-phone", 0, 1}, {"sun8-line", 0, 2},  {"sparc10", 1, 0},     {"sun16", 1, 0},
        {"dbri", 1, 0},       {"sun16-spkr", 1, 0}, {"sun16-phone", 1, 1}, {"sun16-line", 1, 2},
        {"0", 2, 0},          {"1", 2, 1},          {"2", 2, 2},           {"3", 2, 3},
        {"4", 2, 4},          {"5", 2, 5},          {"6", 2, 6},           {"7", 2, 7},
        {"ansi", 3, 0},       {"ansi16", 3, 0},     {"ansi12", 3, 1},      {"pp", 4, 1},
        {"dt2811", 4, 2},     {"pclx", 4, 3},       {"eb12", 4, 4},        {"sb8", 4, 5},
        {"sb16", 4, 6},       {"extend", 5, 0},     {"pipe", 6, 0},        {"linux", 7, 0},
        {"windows", 8, 0},    {"win32", 8, 0},
    };
    static_assert(std::size(expected) == zir_dac_table_size);
    std::set<std::string> names;
    for (int i = 0; i < zir_dac_table_size; ++i) {
        EXPECT_STREQ(zir_dac_table[i].name, expected[i].name) << "row " << i;
        EXPECT_EQ(zir_dac_table[i].dac_class, expected[i].dac_class) << expected[i].name;
        EXPECT_EQ(zir_dac_table[i].sub_device, expected[i].sub_device) << expected[i].name;
        EXPECT_TRUE(names.insert(zir_dac_table[i].name).second) << "duplicate row " << i;
    }
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
        scoped_env quiet("TALORIA_WAVEOUT_DEBUG", nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(zir_waveout_play(samples_.data(), 2000, 11000, 2, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Unable to open waveform output device\n");
        {
            // Asked for, the sound layer's reason follows on a line of its own.
            scoped_env debug("TALORIA_WAVEOUT_DEBUG", "1");
            testing::internal::CaptureStderr();
            EXPECT_EQ(zir_waveout_play(samples_.data(), 2000, 11000, 2, 1), -1);
            const std::string text = testing::internal::GetCapturedStderr();
            EXPECT_EQ(text.rfind("Unable to open waveform output device\nparvox: ", 0), 0u) << text;
            EXPECT_NE(text.find("TALORIA_WAVEOUT=none"), std::string::npos) << text;
            EXPECT_EQ(text.back(), '\n');
        }

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
        scoped_env quiet("TALORIA_WAVEOUT_DEBUG", nullptr);
        struct bad_format {
            int rate, bytes_per_sample, channels;
        };
        for (const bad_format f :
             {bad_format{0, 2, 1}, bad_format{11000, 3, 1}, bad_format{11000, 2, 0}}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(
                zir_waveout_play(samples_.data(), 2000, f.rate, f.bytes_per_sample, f.channels),
                -1);
            // The message has no line end of its own.
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported waveform format/rate");
        }
        EXPECT_EQ(zir_waveout_play(samples_.data(), -2, 11000, 2, 1), -1);
        // Rates that no whole number of samples per second can hold.
        ASSERT_EQ(zir_dac_open("win32"), 8);
        for (double rate : {std::nan(""), 1e12, -11000.0}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(zir_dac_play(samples_.data(), 10, rate, 16, 1, 1), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported waveform format/rate")
                << rate;
        }
        EXPECT_FALSE(std::filesystem::exists(capture_)) << "a refused format reached the device";

        scoped_env debug("TALORIA_WAVEOUT_DEBUG", "1");
        testing::internal::CaptureStderr();
        EXPECT_EQ(zir_waveout_play(samples_.data(), 2000, 11000, 3, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Unsupported waveform format/rate\nparvox: unsupported sample size of 24 bits\n");
    }
}

}  // namespace
