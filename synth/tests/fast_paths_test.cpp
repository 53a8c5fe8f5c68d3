// Checks that the fast forms of the smoothers, the source filter and the noise give exactly the
// plain forms' values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "control.h"
#include "excitation.h"
#include "params.h"

namespace {

synth_params default_params() {
    synth_params p;
    read_parameters_from(&p, nullptr, nullptr);
    build_tables_for(&p);
    return p;
}

struct random_source {
    uint32_t seed;
    int below(int n) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>((seed >> 8) % static_cast<uint32_t>(n));
    }
    float uniform(float range) {
        seed = seed * 1664525u + 1013904223u;
        return range * static_cast<float>(seed >> 8) / 16777216.0f;
    }
};

// The smoothed controls of convert_controls_with, over frames that glide and
// jump (so the catch-up runs after a jump take every path, the shortcut over
// settled cycles included), against the plain smoother run one array at a time.
TEST(parvox_fast_paths, SideBySideSmoothersGiveThePlainValues) {
    const synth_params p = default_params();
    const int n = p.formant_controls;
    const int m = p.excitation_controls;
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    smoother_state amp[NUM_BRANCHES] = {}, freq[3] = {}, period = {}, length = {};
    control_frame previous{}, current{};
    random_source r{3};
    int clamped = 0;
    for (int frame = 0; frame < 600; ++frame) {
        previous = current;
        for (int i = 0; i < CONTROL_FIELDS; ++i) {
            int16_t &field = control_field(current, i);
            const bool jump = r.below(6) == 0;
            const int limit = i == 11 ? 64 : (i <= 3 ? 120 : 64);
            field = static_cast<int16_t>(
                jump ? r.below(limit) : std::max(0, std::min(limit - 1, field + r.below(5) - 2)));
        }
        current.pulse_shift = static_cast<int16_t>(28 + r.below(9));
        convert_controls_with(&c, &p, &current, &previous);

        // The plain way: each array from its unsmoothed values, one smoother at a time.
        float amps[NUM_BRANCHES][MAX_CONTROLS], freqs[3][MAX_CONTROLS];
        const int freq_fields[3] = {1, 2, 3}, amp_fields[NUM_BRANCHES] = {5, 6, 7, 8, 8, 4};
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            float value = p.amp_table[control_field(current, amp_fields[b])];
            if (b == 4 && current.voicing > 32) value = 0.0f;
            for (int j = 0; j < n; ++j) amps[b][j] = value;
        }
        for (int b = 0; b < 3; ++b) {
            const float value =
                static_cast<float>(control_field(current, freq_fields[b]) - 1) * p.freq_step[b] +
                p.freq_base[b];
            for (int j = 0; j < n; ++j) freqs[b][j] = value;
        }
        float periods[MAX_CONTROLS], lengths[MAX_CONTROLS];
        const int shifted = std::clamp(current.f0_index + (current.pulse_shift - 32) / 2, 0, 63);
        for (int j = 0; j < m; ++j) {
            periods[j] = 1.0f / p.f0_table[current.f0_index];
            lengths[j] = p.grpl / p.f0_table[shifted] + p.conts;
        }
        if (c.formant_clamp) {
            ++clamped;
            for (int run = 0; run < 20; ++run) {
                for (int b = 0; b < NUM_BRANCHES; ++b) {
                    float scratch[MAX_CONTROLS];
                    std::memcpy(scratch, amps[b], sizeof scratch);
                    smooth_formant_controls(&amp[b], scratch, n);
                    if (b < 3) {
                        std::memcpy(scratch, freqs[b], sizeof scratch);
                        smooth_formant_controls(&freq[b], scratch, n);
                    }
                }
            }
        }
        for (int b = 0; b < NUM_BRANCHES; ++b) smooth_formant_controls(&amp[b], amps[b], n);
        for (int b = 0; b < 3; ++b) smooth_formant_controls(&freq[b], freqs[b], n);
        if (c.pitch_clamp) {
            for (int run = 0; run < 20; ++run) {
                float scratch[MAX_CONTROLS];
                std::memcpy(scratch, periods, sizeof scratch);
                smooth_excitation_controls(&period, scratch, m);
                std::memcpy(scratch, lengths, sizeof scratch);
                smooth_excitation_controls(&length, scratch, m);
            }
        }
        smooth_excitation_controls(&period, periods, m);
        smooth_excitation_controls(&length, lengths, m);

        for (int b = 0; b < NUM_BRANCHES; ++b) {
            for (int j = 0; j < n; ++j)
                ASSERT_EQ(c.branch_amp[b][j], amps[b][j]) << frame << " " << b;
            ASSERT_EQ(c.amp_smoother[b].y1, amp[b].y1);
            ASSERT_EQ(c.amp_smoother[b].y2, amp[b].y2);
        }
        for (int b = 0; b < 3; ++b) {
            for (int j = 0; j < n; ++j)
                ASSERT_EQ(c.branch_freq[b][j], freqs[b][j]) << frame << " " << b;
            ASSERT_EQ(c.freq_smoother[b].y1, freq[b].y1);
        }
        for (int j = 0; j < m; ++j) {
            ASSERT_EQ(c.pitch_period[j], periods[j]) << frame;
            ASSERT_EQ(c.pulse_length[j], lengths[j]) << frame;
        }
    }
    EXPECT_GT(clamped, 100);
}

// The decimating source filter and the flush over silence against the plain
// filter over the whole block, across many blocks of pulses and silence.
TEST(parvox_fast_paths, DecimatingSourceFilterAndFlushKeepThePlainValues) {
    source_filter plain{}, fast{};
    random_source r{9};
    float block[MAX_EXCITATION_FRAME_LENGTH];
    for (int round = 0; round < 200; ++round) {
        const int n = round % 5 == 4 ? 437 : 440;  // a length that is not a multiple of 4 too
        if (round % 7 == 6) {
            std::memset(block, 0, sizeof block);
            source_filter_process(&plain, block, n);
            source_filter_flush(&fast, n);
        } else {
            for (int k = 0; k < n; ++k)
                block[k] = r.below(3) == 0 ? r.uniform(2000.0f) - 1000.0f : 0.0f;
            float kept[MAX_FRAME_LENGTH];
            source_filter_decimate(&fast, block, n, kept);
            source_filter_process(&plain, block, n);
            for (int k = 0; k < n / 4; ++k)
                ASSERT_EQ(kept[k], block[4 * k + 3]) << round << " " << k;
        }
        ASSERT_EQ(fast.g1, plain.g1) << round;
        ASSERT_EQ(fast.g2, plain.g2);
        ASSERT_EQ(fast.h1, plain.h1);
        ASSERT_EQ(fast.h2, plain.h2);
        ASSERT_EQ(fast.p1, plain.p1);
        ASSERT_EQ(fast.p2, plain.p2);
        ASSERT_EQ(fast.q1, plain.q1);
    }
}

// Eight noise samples at once against twelve draws per sample, from every
// start a burst can give, and the generator left in the same state.
TEST(parvox_fast_paths, NoiseBlocksGiveTheSequentialDraws) {
    synth_params p = default_params();
    excitation_state e;
    reset_excitation(&e);
    noise_generator plain{NOISE_SEED};
    for (int frame = 0; frame < 60; ++frame) {
        const bool burst = frame % 3 == 1;
        p.silence_samples = frame % p.frame_length;
        make_noise_with(&e, &p, burst);
        const int start = burst ? p.silence_samples : 0;
        for (int k = start; k < p.frame_length; ++k) {
            int sum = 0;
            for (int i = 0; i < 12; ++i) sum += noise_next(&plain);
            float expected = (static_cast<float>(sum) / 32768.0f - 6.0f) * p.noise_amplitude;
            if (burst && k == p.silence_samples * 9 / 10) continue;  // the impulse
            ASSERT_EQ(e.noise_buffer[k], expected) << frame << " " << k;
        }
        ASSERT_EQ(e.noise.state, plain.state) << frame;
    }
}

}  // namespace
