// The signal view of signals made here: spectrogram rows, waveform columns,
// stretches of a file and reads in odd block sizes.
#include "signal_view.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "signal_test_signals.h"

using analysis::ComputeSignalView;
using analysis::MemorySource;
using analysis::SignalView;
using analysis::ViewRequest;
using analysis_test::PulseTrain;
using analysis_test::Sine;

namespace {

// Hands out samples a few at a time, as a codec does frame by frame.
class TrickleSource : public analysis::PcmSource {
public:
    TrickleSource(std::vector<float> samples, int rate_hz) : m_inner(std::move(samples), rate_hz) {}
    int rate_hz() const override { return m_inner.rate_hz(); }
    std::int64_t length_samples() const override { return m_inner.length_samples(); }
    bool seek(std::int64_t sample) override { return m_inner.seek(sample); }
    std::size_t read(float* out, std::size_t count) override {
        m_turn = m_turn % 7 + 1;
        return m_inner.read(out, std::min<std::size_t>(count, m_turn));
    }

private:
    MemorySource m_inner;
    std::size_t m_turn = 0;
};

SignalView View(analysis::PcmSource& source, ViewRequest request) {
    SignalView view;
    std::string error;
    EXPECT_TRUE(ComputeSignalView(source, request, view, error)) << error;
    return view;
}

int LoudestRow(const SignalView& view, int column) {
    const auto* rows = view.spectrogram.data() + static_cast<std::size_t>(column) * view.rows;
    return static_cast<int>(std::max_element(rows, rows + view.rows) - rows);
}

double LevelDb(std::uint8_t level) {
    return analysis::kFloorDb + level * -analysis::kFloorDb / 255.0;
}

}  // namespace

TEST(analysis_signal_view, SineLandsInItsRowAtItsLevel) {
    MemorySource source(Sine(1000.0, 0.5, 2.0, 16000), 16000);
    const SignalView view = View(source, {0.0, -1.0, 200, 128});
    ASSERT_EQ(view.columns, 200);
    ASSERT_EQ(view.rows, 128);
    EXPECT_DOUBLE_EQ(view.duration_s, 2.0);
    // 8000 Hz over 128 rows: 62.5 Hz a row, so 1 kHz is row 16.
    for (int c = 2; c < 198; ++c) {
        ASSERT_EQ(LoudestRow(view, c), 16) << "column " << c;
        const auto* rows = view.spectrogram.data() + static_cast<std::size_t>(c) * view.rows;
        // Half of full scale is -6 dB, spread over the rows of the window's main lobe.
        EXPECT_NEAR(LevelDb(rows[16]), -6.0, 4.0);
        EXPECT_LT(LevelDb(rows[100]), -60.0);
    }
}

TEST(analysis_signal_view, WaveformColumnsHoldMinimumAndMaximum) {
    std::vector<float> samples(16000, 0.0f);
    std::fill(samples.begin() + 8000, samples.end(), 0.25f);
    samples[4000] = -0.75f;
    MemorySource source(samples, 16000);
    const SignalView view = View(source, {0.0, -1.0, 100, 16});
    EXPECT_FLOAT_EQ(view.wave_min[25], -0.75f);
    EXPECT_FLOAT_EQ(view.wave_max[25], 0.0f);
    EXPECT_FLOAT_EQ(view.wave_min[10], 0.0f);
    EXPECT_FLOAT_EQ(view.wave_min[60], 0.25f);
    EXPECT_FLOAT_EQ(view.wave_max[99], 0.25f);
}

TEST(analysis_signal_view, StretchMatchesTheSameColumnsOfTheWholeView) {
    std::vector<float> samples = Sine(700.0, 0.3, 4.0, 16000);
    const std::vector<float> pulses = PulseTrain(150.0, 4.0, 16000);
    for (std::size_t i = 32000; i < 48000; ++i) samples[i] = pulses[i];
    MemorySource whole_source(samples, 16000);
    const SignalView whole = View(whole_source, {0.0, -1.0, 400, 64});
    MemorySource part_source(samples, 16000);
    const SignalView part = View(part_source, {1.5, 2.5, 100, 64});
    EXPECT_DOUBLE_EQ(part.from_s, 1.5);
    EXPECT_DOUBLE_EQ(part.to_s, 2.5);
    for (int c = 0; c < 100; ++c) {
        EXPECT_FLOAT_EQ(part.wave_min[c], whole.wave_min[c + 150]) << c;
        EXPECT_FLOAT_EQ(part.wave_max[c], whole.wave_max[c + 150]) << c;
        for (int r = 0; r < 64; ++r) {
            EXPECT_NEAR(part.spectrogram[c * 64 + r], whole.spectrogram[(c + 150) * 64 + r], 1)
                << c << "," << r;
        }
    }
}

TEST(analysis_signal_view, ReadsInOddBlocksGiveTheSamePicture) {
    const std::vector<float> samples = PulseTrain(133.0, 1.3, 11000);
    MemorySource plain(samples, 11000);
    TrickleSource trickle(samples, 11000);
    const SignalView a = View(plain, {0.2, 1.1, 300, 100});
    const SignalView b = View(trickle, {0.2, 1.1, 300, 100});
    EXPECT_EQ(a.wave_min, b.wave_min);
    EXPECT_EQ(a.wave_max, b.wave_max);
    EXPECT_EQ(a.spectrogram, b.spectrogram);
    EXPECT_EQ(a.pitch_hz, b.pitch_hz);
}

TEST(analysis_signal_view, RequestsAreClampedToTheFile) {
    MemorySource source(Sine(440.0, 0.5, 0.5, 8000), 8000);
    const SignalView view = View(source, {-3.0, 99.0, 50000, 5000});
    EXPECT_DOUBLE_EQ(view.from_s, 0.0);
    EXPECT_DOUBLE_EQ(view.to_s, 0.5);
    EXPECT_EQ(view.columns, analysis::kMaxColumns < 4000 ? analysis::kMaxColumns : 4000);
    EXPECT_EQ(view.rows, analysis::kMaxRows);
    EXPECT_EQ(view.spectrogram.size(), static_cast<std::size_t>(view.columns) * view.rows);

    MemorySource empty(std::vector<float>{}, 8000);
    SignalView none;
    std::string error;
    EXPECT_FALSE(ComputeSignalView(empty, {}, none, error));
    EXPECT_EQ(error, "it holds no samples");
}

TEST(analysis_signal_view, CancelAbandonsThePass) {
    MemorySource source(Sine(440.0, 0.5, 30.0, 16000), 16000);
    SignalView view;
    std::string error;
    int asked = 0;
    EXPECT_FALSE(ComputeSignalView(source, {0.0, -1.0, 2000, 128}, view, error,
                                   [&] { return ++asked > 2; }));
    EXPECT_EQ(asked, 3);
}
