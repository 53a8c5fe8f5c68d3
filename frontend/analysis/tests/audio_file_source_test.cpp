// Audio files through the player's reader: a WAVE file gives the picture of
// its samples, the same audio as MPEG gives the same picture within the
// codec's error, and files the player cannot read give a reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "audio_files.h"
#include "signal_test_signals.h"
#include "signal_view.h"

namespace fs = std::filesystem;
using analysis::ComputeSignalView;
using analysis::SignalView;
using analysis::ViewRequest;

namespace {

class analysis_file_source : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("taloria-analysis-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    SignalView ViewOfFile(const fs::path& path, const ViewRequest& request) {
        std::string error;
        auto source = analysis::OpenAudioFile(path.string(), error);
        EXPECT_TRUE(source) << error;
        SignalView view;
        if (source) {
            EXPECT_TRUE(ComputeSignalView(*source, request, view, error)) << error;
        }
        return view;
    }

    fs::path dir_;
};

// A 1 kHz sine for a second, then a 120 Hz pulse train for a second.
std::vector<float> ToneThenPulses(int rate_hz) {
    std::vector<float> samples = analysis_test::Sine(1000.0, 0.5, 1.0, rate_hz);
    const std::vector<float> pulses = analysis_test::PulseTrain(120.0, 1.0, rate_hz);
    samples.insert(samples.end(), pulses.begin(), pulses.end());
    return samples;
}

int LoudestRow(const SignalView& view, int column) {
    const auto* rows = view.spectrogram.data() + static_cast<std::size_t>(column) * view.rows;
    return static_cast<int>(std::max_element(rows, rows + view.rows) - rows);
}

}  // namespace

TEST_F(analysis_file_source, WaveGivesThePictureOfItsSamples) {
    const std::vector<float> samples = ToneThenPulses(16000);
    analysis_test::WriteWave(dir_ / "a.wav", samples, 16000, 2);
    std::vector<float> stored;
    for (float s : samples) stored.push_back(analysis_test::ToPcm(s) / 32768.0f);
    analysis::MemorySource memory(stored, 16000);
    for (const ViewRequest request :
         {ViewRequest{0.0, -1.0, 400, 64}, ViewRequest{0.73, 1.41, 250, 64}}) {
        const SignalView from_file = ViewOfFile(dir_ / "a.wav", request);
        SignalView from_memory;
        std::string error;
        ASSERT_TRUE(ComputeSignalView(memory, request, from_memory, error));
        EXPECT_EQ(from_file.rate_hz, 16000);
        EXPECT_DOUBLE_EQ(from_file.duration_s, 2.0);
        EXPECT_EQ(from_file.wave_min, from_memory.wave_min);
        EXPECT_EQ(from_file.wave_max, from_memory.wave_max);
        EXPECT_EQ(from_file.spectrogram, from_memory.spectrogram);
        EXPECT_EQ(from_file.pitch_hz, from_memory.pitch_hz);
    }
}

TEST_F(analysis_file_source, MpegGivesTheSamePictureAsWave) {
    if (!analysis_test::HaveLame()) GTEST_SKIP() << "the lame encoder is not installed";
    const std::vector<float> samples = ToneThenPulses(16000);
    analysis_test::WriteWave(dir_ / "a.wav", samples, 16000);
    ASSERT_TRUE(analysis_test::WriteMpeg(dir_ / "a.mp3", samples, 16000));
    const ViewRequest request{0.0, 2.0, 200, 64};
    const SignalView wave = ViewOfFile(dir_ / "a.wav", request);
    const SignalView mpeg = ViewOfFile(dir_ / "a.mp3", request);
    ASSERT_EQ(mpeg.rate_hz, 16000);
    // The encoder adds some silence at both ends; the body lines up within it.
    EXPECT_NEAR(mpeg.duration_s, 2.0, 0.15);
    for (int c = 20; c < 80; ++c) {
        EXPECT_EQ(LoudestRow(mpeg, c), LoudestRow(wave, c)) << c;
        EXPECT_NEAR(mpeg.spectrogram[c * 64 + 16], wave.spectrogram[c * 64 + 16], 8) << c;
        EXPECT_NEAR(mpeg.wave_max[c], wave.wave_max[c], 0.05) << c;
    }
    // Pitch frames are one per column here (10 ms each).
    for (std::size_t f = 120; f < 180; ++f) EXPECT_NEAR(mpeg.pitch_hz[f], 120.0, 1.2) << f;
    for (std::size_t f = 20; f < 80; ++f)
        EXPECT_NEAR(mpeg.pitch_hz[f], wave.pitch_hz[f], 10.0) << f;
}

TEST_F(analysis_file_source, UnreadableFilesGiveAReason) {
    std::string error;
    EXPECT_FALSE(analysis::OpenAudioFile((dir_ / "missing.wav").string(), error));
    EXPECT_NE(error, "");
    std::ofstream(dir_ / "text.wav") << "not audio at all";
    EXPECT_FALSE(analysis::OpenAudioFile((dir_ / "text.wav").string(), error));
    EXPECT_EQ(error, "it is not a PCM WAVE or MPEG audio file");
    analysis_test::WriteWave(dir_ / "empty.wav", {}, 16000);
    auto source = analysis::OpenAudioFile((dir_ / "empty.wav").string(), error);
    if (source) {
        SignalView view;
        EXPECT_FALSE(ComputeSignalView(*source, {}, view, error));
        EXPECT_EQ(error, "it holds no samples");
    }
}
