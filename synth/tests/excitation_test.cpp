// Tests of the excitation source: noise, pulse train timing, source filter and branch mixing.
#include "excitation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

synth_params default_params() {
    synth_params p;
    set_default_parameters(&p);
    read_parameters_from(&p, nullptr, nullptr);
    build_tables_for(&p);
    return p;
}

// Controls of one steady frame: every excitation control has the same period
// and pulse length, every branch the same voicing factor and gain.
smoothed_controls steady_controls(const synth_params &p, float period_s, float length_s,
                                  float voicing) {
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    for (int j = 0; j < p.excitation_controls; ++j) {
        c.pitch_period[j] = period_s;
        c.pulse_length[j] = length_s;
    }
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        c.voicing_factor[b] = voicing;
        for (int j = 0; j < p.formant_controls; ++j) c.branch_amp[b][j] = 1.0f;
    }
    c.all_voiced = voicing == 1.0f;
    c.all_unvoiced = voicing == 0.0f;
    return c;
}

// Runs the pulse generator over `frames` frames and returns the pulse trains
// of all of them one after the other (sample 1 of the first frame at index 0).
std::vector<float> pulse_train(excitation_state *e, const synth_params &p,
                               const smoothed_controls &c, int frames) {
    std::vector<float> train;
    for (int f = 0; f < frames; ++f) {
        std::memset(e->source_buffer, 0, sizeof e->source_buffer);
        excite_with(e, &p, &c);
        train.insert(train.end(), e->source_buffer + 1,
                     e->source_buffer + 1 + p.excitation_frame_length);
    }
    return train;
}

// Positions of the glottal closures: the last pulse point (127) makes the
// largest sample of each pulse, split between two neighbouring samples; its
// position is the centre of gravity of the positive samples around the peak.
std::vector<double> closure_positions(const std::vector<float> &train, float peak) {
    std::vector<double> positions;
    for (size_t m = 1; m + 1 < train.size(); ++m) {
        if (train[m] < 0.5f * peak || train[m] < train[m - 1] || train[m] < train[m + 1]) continue;
        if (!positions.empty() && m < positions.back() + 10) continue;
        double weight = 0, moment = 0;
        for (size_t k = m - 1; k <= m + 1; ++k) {
            if (train[k] <= 0) continue;
            weight += train[k];
            moment += train[k] * static_cast<double>(k);
        }
        positions.push_back(moment / weight);
    }
    return positions;
}

TEST(parvox_excitation, NoiseGeneratorGivesReproducible15BitValues) {
    noise_generator a{NOISE_SEED}, b{NOISE_SEED};
    int low = 1 << 20, high = -1;
    double sum = 0;
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        const int v = noise_next(&a);
        ASSERT_EQ(v, noise_next(&b));
        low = std::min(low, v);
        high = std::max(high, v);
        sum += v;
    }
    EXPECT_GE(low, 0);
    EXPECT_LE(high, 32767);
    EXPECT_LT(low, 50);
    EXPECT_GT(high, 32700);
    EXPECT_NEAR(sum / count, 16383.5, 100.0);
}

TEST(parvox_excitation, NoiseIsNearGaussianWithTheNoiseAmplitudeAsDeviation) {
    const synth_params p = default_params();
    excitation_state e;
    reset_excitation(&e);
    double sum = 0, squares = 0;
    int n = 0;
    for (int frame = 0; frame < 400; ++frame) {
        make_noise_with(&e, &p, false);
        for (int k = 0; k < p.frame_length; ++k) {
            const double v = e.noise_buffer[k];
            // Twelve values of at most 32767/32768 each bound the sum.
            ASSERT_LE(std::fabs(v), 6.0 * p.noise_amplitude);
            sum += v;
            squares += v * v;
            ++n;
        }
    }
    const double mean = sum / n;
    const double deviation = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.02 * p.noise_amplitude);
    EXPECT_NEAR(deviation, p.noise_amplitude, 0.02 * p.noise_amplitude);
}

TEST(parvox_excitation, BurstFrameHasSilenceThenImpulseThenNoise) {
    const synth_params p = default_params();
    ASSERT_EQ(p.silence_samples, 55);
    excitation_state e;
    reset_excitation(&e);
    std::memset(e.noise_buffer, 0, sizeof e.noise_buffer);
    make_noise_with(&e, &p, true);
    const float impulse = std::sqrt(55.0f) * p.noise_amplitude;
    EXPECT_NEAR(impulse, 3605.0f, 1.0f);
    for (int k = 0; k < 55; ++k) {
        if (k == 49) {
            EXPECT_FLOAT_EQ(e.noise_buffer[k], impulse);
        } else {
            EXPECT_EQ(e.noise_buffer[k], 0.0f) << "sample " << k;
        }
    }
    int nonzero = 0;
    for (int k = 55; k < p.frame_length; ++k) nonzero += e.noise_buffer[k] != 0.0f;
    EXPECT_EQ(nonzero, p.frame_length - 55);
}

// The source filter's impulse response against the product of its four
// sections' transfer functions, evaluated independently in double precision.
TEST(parvox_excitation, SourceFilterMatchesItsTransferFunction) {
    const int n = 600;
    // Numerator and denominator polynomials in z^-1 of each section.
    const std::vector<std::vector<double>> numerators = {
        {0.0109455}, {1, -1.280451, 1}, {1, -0.9188553, 1}, {1, 1.4773386, 1}, {1, -0.9126601}};
    const std::vector<std::vector<double>> denominators = {{1, -1.5453652, 0.9386455},
                                                           {1, -1.5368902, 0.7920242},
                                                           {1, -1.5652816, 0.643415},
                                                           {1, -0.9988583},
                                                           {1}};
    std::vector<double> expected(n, 0.0);
    expected[0] = 1.0;
    for (size_t s = 0; s < numerators.size(); ++s) {
        std::vector<double> out(n, 0.0);
        for (int k = 0; k < n; ++k) {
            double acc = 0;
            for (size_t i = 0; i < numerators[s].size() && i <= size_t(k); ++i)
                acc += numerators[s][i] * expected[k - i];
            for (size_t i = 1; i < denominators[s].size() && i <= size_t(k); ++i)
                acc -= denominators[s][i] * out[k - i];
            out[k] = acc;
        }
        expected = out;
    }
    source_filter f{};
    std::vector<float> x(n, 0.0f);
    x[0] = 1.0f;
    source_filter_process(&f, x.data(), n);
    double peak = 0;
    for (double v : expected) peak = std::max(peak, std::fabs(v));
    for (int k = 0; k < n; ++k) EXPECT_NEAR(x[k], expected[k], 1e-4 * peak) << "sample " << k;
}

TEST(parvox_excitation, SourceFilterGivesTheSameSignalInBlocks) {
    std::vector<float> whole(1000), parts;
    noise_generator g{7};
    for (float &v : whole) v = static_cast<float>(noise_next(&g) - 16384);
    parts = whole;
    source_filter a{}, b{};
    source_filter_process(&a, whole.data(), 1000);
    int done = 0;
    for (int block : {1, 2, 3, 97, 440, 457}) {
        source_filter_process(&b, parts.data() + done, block);
        done += block;
    }
    ASSERT_EQ(done, 1000);
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(whole[k], parts[k]) << "sample " << k;
}

// 100 Hz with a pulse of 0.6 periods: 72 points 3.67 samples apart, then a
// gap of 176 samples, so closures come every 440 samples across frames.
TEST(parvox_excitation, PulseTrainFollowsThePeriodAcrossFrames) {
    const synth_params p = default_params();
    const smoothed_controls c = steady_controls(p, 0.01f, 0.006f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    const std::vector<float> train = pulse_train(&e, p, c, 12);
    const std::vector<double> closures = closure_positions(train, p.pulse_shape[71]);
    ASSERT_GE(closures.size(), 10u);
    // The first pulse is stretched once as the generator takes over its first
    // control; from then on closures come every 440 samples.
    for (size_t i = 2; i < closures.size(); ++i) {
        EXPECT_NEAR(closures[i] - closures[i - 1], 440.0, 0.01) << "pulse " << i;
    }
}

TEST(parvox_excitation, PulsesAcrossFrameEndsLoseNothing) {
    // Ten whole pulses of a period that drifts against the frame weigh ten
    // times the pulse shape: interpolation loses nothing between samples,
    // also where a point falls between a frame's last sample and the next
    // frame's first.
    const synth_params p = default_params();
    const smoothed_controls c = steady_controls(p, 0.0093f, 0.0056f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    const std::vector<float> train = pulse_train(&e, p, c, 14);
    const std::vector<double> closures = closure_positions(train, p.pulse_shape[71]);
    ASSERT_GE(closures.size(), 13u);
    double shape = 0;
    for (float a : p.pulse_shape) shape += a;
    double total = 0;
    for (size_t i = size_t(closures[2]) + 2; i < size_t(closures[12]) + 2; ++i) total += train[i];
    EXPECT_NEAR(total, 10 * shape, 1.0);
}

TEST(parvox_excitation, PulseTimingFollowsTheFundamentalFrequency) {
    const synth_params p = default_params();
    for (double f0 : {80.0, 118.9, 200.0, 400.0}) {
        const float period = static_cast<float>(1.0 / f0);
        const smoothed_controls c = steady_controls(p, period, 0.6f * period, 1.0f);
        excitation_state e;
        reset_excitation(&e);
        const std::vector<float> train = pulse_train(&e, p, c, 20);
        const std::vector<double> closures = closure_positions(train, p.pulse_shape[71]);
        ASSERT_GE(closures.size(), 5u) << f0;
        const double spacing =
            (closures.back() - closures[1]) / static_cast<double>(closures.size() - 2);
        EXPECT_NEAR(spacing, 44000.0 / f0, 0.02) << f0;
    }
}

TEST(parvox_excitation, PulseRunningPastTheFrameContinuesInTheNext) {
    const synth_params p = default_params();
    const smoothed_controls c = steady_controls(p, 0.0093f, 0.0056f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    bool seen_continuation = false;
    for (int f = 0; f < 20; ++f) {
        std::memset(e.source_buffer, 0, sizeof e.source_buffer);
        excite_with(&e, &p, &c);
        ASSERT_GE(e.pulse.pulse_position, 1.0f);
        ASSERT_LT(e.pulse.pulse_position, 1.0f + 440.0f);
        if (e.pulse.pulse_point != 0) {
            seen_continuation = true;
            // The stored point is the first one not laid down: its position,
            // back in this frame's count, lies past the frame's last sample.
            EXPECT_GE(e.pulse.pulse_position + p.excitation_frame_length,
                      p.excitation_frame_length + 1.0f);
        }
    }
    EXPECT_TRUE(seen_continuation);
}

TEST(parvox_excitation, VoicingOnsetStartsThePulseAQuarterFrameIn) {
    const synth_params p = default_params();
    smoothed_controls c = steady_controls(p, 0.01f, 0.006f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    pulse_train(&e, p, c, 3);
    c.voicing_onset = true;
    std::memset(e.source_buffer, 0, sizeof e.source_buffer);
    excite_with(&e, &p, &c);
    // Nothing before the quarter frame (sample 110 counted from 1) and the
    // first point right there.
    for (int k = 1; k < 110; ++k) EXPECT_EQ(e.source_buffer[k], 0.0f) << "sample " << k;
    EXPECT_NE(e.source_buffer[110] + e.source_buffer[111], 0.0f);
}

TEST(parvox_excitation, PulseLongerThanThePeriodKeepsRunning) {
    // A pulse one and a half periods long (a pulse shift of an octave down)
    // must neither stop the run nor lay points outside the frame.
    const synth_params p = default_params();
    excitation_state e;
    reset_excitation(&e);
    for (float ratio : {0.99f, 1.0f, 1.5f, 3.0f}) {
        const smoothed_controls c = steady_controls(p, 0.005f, ratio * 0.005f, 1.0f);
        for (int f = 0; f < 30; ++f) {
            std::memset(e.source_buffer, 0, sizeof e.source_buffer);
            excite_with(&e, &p, &c);
            ASSERT_TRUE(std::isfinite(e.pulse.pulse_position));
            ASSERT_GE(e.pulse.pulse_position, 0.0f) << ratio;
            EXPECT_EQ(e.source_buffer[0], 0.0f);
        }
    }
}

TEST(parvox_excitation, NonsensicalPeriodsNeitherHangNorLeaveTheFrame) {
    // Periods and pulse lengths that no table gives (zero, infinite, not a
    // number, huge) must end every frame with a finite position.
    const synth_params p = default_params();
    const float odd[] = {0.0f, 1e-30f, INFINITY, NAN, 1e30f, -0.01f};
    excitation_state e;
    reset_excitation(&e);
    for (float period : odd) {
        for (float length : {0.0f, 0.006f, INFINITY, NAN}) {
            const smoothed_controls c = steady_controls(p, period, length, 1.0f);
            for (int f = 0; f < 3; ++f) {
                std::memset(e.source_buffer, 0, sizeof e.source_buffer);
                excite_with(&e, &p, &c);
                ASSERT_TRUE(std::isfinite(e.pulse.pulse_position)) << period << " " << length;
                ASSERT_GE(e.pulse.pulse_position, 0.0f) << period << " " << length;
                ASSERT_LE(e.pulse.pulse_position, 2e7f) << period << " " << length;
            }
            // Back to a sane voice: pulses come again.
            const smoothed_controls sane = steady_controls(p, 0.01f, 0.006f, 1.0f);
            smoothed_controls onset = sane;
            onset.voicing_onset = true;
            std::memset(e.source_buffer, 0, sizeof e.source_buffer);
            excite_with(&e, &p, &onset);
            ASSERT_TRUE(std::isfinite(e.pulse.pulse_position));
        }
    }
}

TEST(parvox_excitation, GlottalPhaseFollowsThePulsePoints) {
    const synth_params p = default_params();
    const smoothed_controls c = steady_controls(p, 0.01f, 0.006f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    std::memset(e.source_buffer, 0, sizeof e.source_buffer);
    excite_with(&e, &p, &c);
    // The first pulse starts at position 0 and runs over 264 samples, that is
    // formant controls 0 .. 16 (16 excitation samples each); the gap follows.
    bool nonzero = false;
    for (int j = 0; j < p.formant_controls; ++j) {
        bool in_pattern = e.glottal_phase[j] == 0.0f;
        for (float v : p.phase_pattern) in_pattern = in_pattern || v == e.glottal_phase[j];
        EXPECT_TRUE(in_pattern) << j;
        nonzero = nonzero || e.glottal_phase[j] != 0.0f;
    }
    EXPECT_TRUE(nonzero);
    // Points 0 to 4 fall in control 0 (16 samples); the last of them, point
    // 4, belongs to the second phase entry.
    EXPECT_EQ(e.glottal_phase[0], p.phase_pattern[1]);
    EXPECT_EQ(e.glottal_phase[20], 0.0f);
}

TEST(parvox_excitation, AllVoicedFrameDrawsNoNoise) {
    const synth_params p = default_params();
    const smoothed_controls c = steady_controls(p, 0.01f, 0.006f, 1.0f);
    excitation_state e;
    reset_excitation(&e);
    const uint32_t seed = e.noise.state;
    make_excitation_with(&e, &p, &c);
    EXPECT_EQ(e.noise.state, seed);
    float energy = 0;
    for (int k = 0; k < p.frame_length; ++k) energy += e.voiced_buffer[k] * e.voiced_buffer[k];
    EXPECT_GT(energy, 0.0f);
}

TEST(parvox_excitation, UnvoicedFramesSilenceTheVoiceAndKeepThePulseState) {
    const synth_params p = default_params();
    smoothed_controls voiced = steady_controls(p, 0.01f, 0.006f, 1.0f);
    smoothed_controls unvoiced = steady_controls(p, 0.01f, 0.006f, 0.0f);
    excitation_state e;
    reset_excitation(&e);
    for (int f = 0; f < 3; ++f) make_excitation_with(&e, &p, &voiced);
    const pulse_generator before = e.pulse;
    const source_filter ringing = e.filter;

    unvoiced.previous_all_unvoiced = false;
    make_excitation_with(&e, &p, &unvoiced);
    for (int k = 0; k < p.frame_length; ++k) ASSERT_EQ(e.voiced_buffer[k], 0.0f);
    // Six frames of silence leave the filter far quieter than it was.
    EXPECT_LT(std::fabs(e.filter.q1), std::fabs(ringing.q1) * 0.1f + 1e-3f);
    const source_filter flushed = e.filter;

    unvoiced.previous_all_unvoiced = true;
    make_excitation_with(&e, &p, &unvoiced);
    EXPECT_EQ(std::memcmp(&e.filter, &flushed, sizeof flushed), 0);
    EXPECT_EQ(e.pulse.pulse_position, before.pulse_position);
    EXPECT_EQ(e.pulse.pulse_point, before.pulse_point);
    for (int k = 0; k < p.frame_length; ++k) ASSERT_EQ(e.voiced_buffer[k], 0.0f);
}

struct mix_case {
    float voicing;
    float voiced_share;
    float noise_share;
};

TEST(parvox_excitation, MixingFollowsTheVoicingFactor) {
    synth_params p = default_params();
    p.alfcon = 0;
    const mix_case cases[] = {
        {1.0f, 1.0f, 0.0f},
        {0.0f, 0.0f, 1.0f},
        {0.5f, 0.5f, 0.5f * std::sqrt(3.0f)},
        {0.8f, 0.8f, 0.6f},
    };
    for (const mix_case &m : cases) {
        smoothed_controls c = steady_controls(p, 0.01f, 0.006f, m.voicing);
        excitation_state e;
        reset_excitation(&e);
        for (int k = 0; k < p.frame_length; ++k) {
            e.voiced_buffer[k] = static_cast<float>(k + 1);
            e.noise_buffer[k] = static_cast<float>(1000 - 3 * k);
        }
        for (int j = 0; j < p.formant_controls; ++j) {
            e.glottal_phase[j] = 0.25f;
            c.branch_amp[2][j] = 2.0f + j;
        }
        mix_excitation_with(&e, 2, &p, &c);
        for (int j = 0; j < p.formant_controls; ++j) {
            const float gain = 2.0f + j;
            for (int n = p.control_start[j]; n <= p.control_end[j]; ++n) {
                const float expected =
                    gain * (m.voiced_share * (n + 1) + m.noise_share * (1000 - 3 * n));
                EXPECT_NEAR(e.branch_buffer[n], expected, 1e-4f * std::fabs(expected) + 1e-3f)
                    << "voicing " << m.voicing << " sample " << n;
            }
            const float bw = m.voiced_share * 0.25f + m.noise_share * p.gouv;
            EXPECT_NEAR(e.bw_mod[j], bw, 1e-5f) << "voicing " << m.voicing;
        }
    }
}

TEST(parvox_excitation, NasalBranchLosesBranchZeroExcitationOnlyWithAlfcon) {
    synth_params p = default_params();
    for (int alfcon : {0, 255}) {
        p.alfcon = alfcon;
        smoothed_controls c = steady_controls(p, 0.01f, 0.006f, 1.0f);
        for (int j = 0; j < p.formant_controls; ++j) c.branch_amp[0][j] = 3.0f;
        excitation_state e;
        reset_excitation(&e);
        for (int k = 0; k < p.frame_length; ++k) e.voiced_buffer[k] = static_cast<float>(k);
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            mix_excitation_with(&e, b, &p, &c);
        }
        for (int k = 0; k < p.frame_length; ++k) {
            const float expected = alfcon ? k - 3.0f * k : static_cast<float>(k);
            ASSERT_FLOAT_EQ(e.branch_buffer[k], expected) << "alfcon " << alfcon;
        }
    }
}

}  // namespace
