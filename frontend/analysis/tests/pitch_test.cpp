// Pitch tracks of signals made here: pulse trains, sines, silence and a
// voiced stretch between silences.
#include <gtest/gtest.h>

#include "signal_test_signals.h"
#include "signal_view.h"

using analysis::ComputeSignalView;
using analysis::MemorySource;
using analysis::SignalView;
using analysis_test::PulseTrain;
using analysis_test::Sine;

namespace {

// Pitch frames at 10 ms (the view is zoomed in far enough for that).
std::vector<float> Track(std::vector<float> samples, int rate_hz) {
    const double seconds = static_cast<double>(samples.size()) / rate_hz;
    MemorySource source(std::move(samples), rate_hz);
    SignalView view;
    std::string error;
    EXPECT_TRUE(
        ComputeSignalView(source, {0.0, -1.0, static_cast<int>(seconds * 200), 32}, view, error));
    EXPECT_DOUBLE_EQ(view.pitch_step_s, 0.01);
    return view.pitch_hz;
}

}  // namespace

TEST(analysis_pitch, PulseTrainOf120HzGives120Hz) {
    for (int rate : {11000, 16000, 44100}) {
        const std::vector<float> track = Track(PulseTrain(120.0, 1.0, rate), rate);
        ASSERT_EQ(track.size(), 100u);
        // The first and last frames see the signal's edges in half their window.
        for (std::size_t f = 3; f + 3 < track.size(); ++f) {
            EXPECT_NEAR(track[f], 120.0, 1.2) << "rate " << rate << " frame " << f;
        }
    }
}

TEST(analysis_pitch, SineGivesItsFrequency) {
    const std::vector<float> track = Track(Sine(210.0, 0.3, 0.5, 16000), 16000);
    for (std::size_t f = 3; f + 3 < track.size(); ++f) EXPECT_NEAR(track[f], 210.0, 2.1) << f;
}

TEST(analysis_pitch, SilenceHasNoTrack) {
    for (float value : Track(std::vector<float>(16000, 0.0f), 16000)) EXPECT_EQ(value, 0.0f);
}

TEST(analysis_pitch, OnlyTheVoicedStretchHasATrack) {
    std::vector<float> samples(3 * 16000, 0.0f);
    const std::vector<float> voiced = PulseTrain(180.0, 1.0, 16000);
    std::copy(voiced.begin(), voiced.end(), samples.begin() + 16000);
    const std::vector<float> track = Track(samples, 16000);
    for (std::size_t f = 0; f < 90; ++f) EXPECT_EQ(track[f], 0.0f) << f;
    for (std::size_t f = 105; f < 195; ++f) EXPECT_NEAR(track[f], 180.0, 1.8) << f;
    for (std::size_t f = 210; f < track.size(); ++f) EXPECT_EQ(track[f], 0.0f) << f;
}

TEST(analysis_pitch, NoiseIsUnvoiced) {
    std::vector<float> samples(16000);
    unsigned state = 12345;
    for (float& s : samples) {
        state = state * 1103515245u + 12345u;
        s = static_cast<float>((state >> 16) & 0x7FFF) / 32768.0f - 0.5f;
    }
    int voiced = 0;
    for (float value : Track(samples, 16000)) voiced += value > 0.0f;
    EXPECT_LE(voiced, 5);
}
