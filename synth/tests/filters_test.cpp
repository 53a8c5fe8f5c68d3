// Tests of the formant filter bank: resonators, fixed branch filters and the output filter.
#include "filters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const double PI = 3.14159265358979323846;

synth_params default_params() {
    synth_params p;
    set_default_parameters(&p);
    read_parameters_from(&p, nullptr, nullptr);
    build_tables_for(&p);
    return p;
}

// A rational section in z^-1: numerator and denominator coefficients, the
// denominator's first coefficient 1.
struct section {
    std::vector<double> num;
    std::vector<double> den;
};

// Impulse response of sections in cascade, computed in double precision
// straight from the transfer functions.
std::vector<double> cascade_impulse_response(const std::vector<section> &sections, int n) {
    std::vector<double> x(n, 0.0);
    x[0] = 1.0;
    for (const section &s : sections) {
        std::vector<double> y(n, 0.0);
        for (int k = 0; k < n; ++k) {
            double acc = 0;
            for (size_t i = 0; i < s.num.size() && int(i) <= k; ++i) acc += s.num[i] * x[k - i];
            for (size_t i = 1; i < s.den.size() && int(i) <= k; ++i) acc -= s.den[i] * y[k - i];
            y[k] = acc;
        }
        x = y;
    }
    return x;
}

// One fixed filter as the tests see it: filter `n` samples of x and add or
// write the result into out.
using block_filter = std::function<void(void *state, const float *x, float *out, int n)>;

struct fixed_filter_case {
    std::string name;
    std::vector<section> sections;
    block_filter run;
    size_t state_size;
};

std::vector<fixed_filter_case> fixed_filters() {
    return {
        {"branch 0",
         {{{0.3946751}, {1, -0.8570803}}, {{1, -1.8605548, 0.809496}, {1}}},
         [](void *s, const float *x, float *out, int n) {
             lowpass_zeros_add(static_cast<lowpass_zeros_filter *>(s), x, out, n);
         },
         sizeof(lowpass_zeros_filter)},
        {"branches 1 and 2",
         {{{0.5051416, -0.5051416}, {1}}},
         [](void *s, const float *x, float *out, int n) {
             difference_add(static_cast<difference_filter *>(s), x, out, n);
         },
         sizeof(difference_filter)},
        {"branch 3",
         {{{0.2084334}, {1, 1.3144111, 0.7957426}}, {{1, -1}, {1}}},
         [](void *s, const float *x, float *out, int n) {
             resonance_difference_add(static_cast<resonance_difference_filter *>(s), x, out, n);
         },
         sizeof(resonance_difference_filter)},
        {"branch 4",
         {{{0.1330524}, {1, 0.7021969, 0.6332063}},
          {{1, 0.7604341, 0.8377198}, {1, 0.5171979, 0.8425185}},
          {{1, -1}, {1, 1.0790422, 0.8425185}}},
         [](void *s, const float *x, float *out, int n) {
             high_band_add(static_cast<high_band_filter *>(s), x, out, n);
         },
         sizeof(high_band_filter)},
        {"branch 5",
         {{{0.141}, {1}}},
         [](void *, const float *x, float *out, int n) { nasal_gain_add(x, out, n); },
         1},
        {"output",
         {{{0.18}, {1, 1.628239, 0.9006455}},
          {{1, 1.9286317, 1}, {1, 1.2842269, 0.6567826}},
          {{1, 1.9901074, 1}, {1, -0.6938031}}},
         [](void *s, const float *x, float *out, int n) {
             // The output filter works in place; give it x and add to out.
             std::vector<float> copy(x, x + n);
             output_stage_process(static_cast<output_stage_filter *>(s), copy.data(), n);
             for (int k = 0; k < n; ++k) out[k] += copy[k];
         },
         sizeof(output_stage_filter)},
    };
}

TEST(parvox_filters, FixedFiltersMatchTheirTransferFunctions) {
    const int n = 400;
    for (const fixed_filter_case &f : fixed_filters()) {
        const std::vector<double> expected = cascade_impulse_response(f.sections, n);
        std::vector<unsigned char> state(f.state_size, 0);
        std::vector<float> x(n, 0.0f), out(n, 0.0f);
        x[0] = 1.0f;
        f.run(state.data(), x.data(), out.data(), n);
        double peak = 0;
        for (double v : expected) peak = std::max(peak, std::fabs(v));
        for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(out[k], expected[k], 2e-5 * peak) << f.name << " sample " << k;
        }
    }
}

TEST(parvox_filters, BranchFiltersAddToWhatIsThere) {
    const int n = 50;
    for (const fixed_filter_case &f : fixed_filters()) {
        std::vector<unsigned char> a(f.state_size, 0), b(f.state_size, 0);
        std::vector<float> x(n), zero(n, 0.0f), offset(n);
        for (int k = 0; k < n; ++k) {
            x[k] = std::sin(0.3f * k) * 100.0f;
            offset[k] = 7.0f * k - 11.0f;
        }
        f.run(a.data(), x.data(), zero.data(), n);
        f.run(b.data(), x.data(), offset.data(), n);
        for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(offset[k], zero[k] + 7.0f * k - 11.0f, 1e-3f) << f.name << " sample " << k;
        }
    }
}

TEST(parvox_filters, FiltersGiveTheSameSignalInBlocks) {
    const int n = 560;
    std::vector<float> x(n);
    uint32_t seed = 12345;
    for (float &v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int>(seed >> 16) - 32768) * 0.1f;
    }
    const int blocks[] = {1, 2, 3, 4, 110, 92, 112, 7, 229};
    for (const fixed_filter_case &f : fixed_filters()) {
        std::vector<unsigned char> a(f.state_size, 0), b(f.state_size, 0);
        std::vector<float> whole(n, 0.0f), parts(n, 0.0f);
        f.run(a.data(), x.data(), whole.data(), n);
        int done = 0;
        for (int block : blocks) {
            f.run(b.data(), x.data() + done, parts.data() + done, block);
            done += block;
        }
        ASSERT_EQ(done, n);
        for (int k = 0; k < n; ++k) ASSERT_EQ(whole[k], parts[k]) << f.name << " sample " << k;
    }

    resonator r1{}, r2{};
    std::vector<float> whole = x, parts = x;
    resonator_process(&r1, whole.data(), n, 2.0f, 1.6f, -0.81f);
    int done = 0;
    for (int block : blocks) {
        resonator_process(&r2, parts.data() + done, block, 2.0f, 1.6f, -0.81f);
        done += block;
    }
    for (int k = 0; k < n; ++k) ASSERT_EQ(whole[k], parts[k]) << "resonator sample " << k;
}

// Impulse response of a two-pole resonator with poles r e^(+-i theta):
// gain r^k sin((k + 1) theta) / sin(theta).
double resonator_response(double gain, double r, double theta, int k) {
    return gain * std::pow(r, k) * std::sin((k + 1) * theta) / std::sin(theta);
}

TEST(parvox_filters, ResonatorMatchesItsClosedForm) {
    struct {
        double frequency_hz, bandwidth_hz, gain;
    } cases[] = {{500, 60, 1}, {1500, 90, -1}, {2500, 200, 28.4}, {4000, 310, 1}};
    for (const auto &c : cases) {
        const double r = std::exp(-PI * c.bandwidth_hz / 11000);
        const double theta = 2 * PI * c.frequency_hz / 11000;
        std::vector<float> x(300, 0.0f);
        x[0] = 1.0f;
        resonator res{};
        resonator_process(&res, x.data(), 300, float(c.gain), float(2 * r * std::cos(theta)),
                          float(-r * r));
        for (int k = 0; k < 300; ++k) {
            ASSERT_NEAR(x[k], resonator_response(c.gain, r, theta, k),
                        1e-4 * std::fabs(c.gain) / std::sin(theta))
                << c.frequency_hz << " Hz sample " << k;
        }
    }
}

// A frame record with every formant control of branch b at the same
// frequency position and no modulation.
struct frame_setup {
    synth_params p = default_params();
    smoothed_controls c{};
    excitation_state e{};
    filter_bank bank{};

    frame_setup(int b, float freq_position) {
        std::memset(&c, 0, sizeof c);
        std::memset(&e, 0, sizeof e);
        reset_filter_bank(&bank);
        for (int j = 0; j < MAX_CONTROLS; ++j) c.branch_freq[b][j] = freq_position;
    }
};

TEST(parvox_filters, ResonatorPicksTheNearestGridEntries) {
    // f1_freq 16 is 500 Hz: position 23.72, entry 23 (496 Hz); bandwidth
    // position 7.5, entry 7 (60 Hz).
    frame_setup s(0, 15 * 25.0f / 18 + 25.0f / 18 + 1.5f);
    s.e.branch_buffer[0] = 1.0f;
    resonate_with(&s.bank, 0, &s.p, &s.c, &s.e);
    const double r = std::exp(-PI * 60 / 11000);
    const double theta = 2 * PI * 496 / 11000;
    const double a = 2 * r * std::cos(theta), b = -r * r;
    const double gain = (1 - a - b) * 28.4;
    for (int k = 0; k < s.p.frame_length; ++k) {
        ASSERT_NEAR(s.e.branch_buffer[k], resonator_response(gain, r, theta, k),
                    2e-4 * gain / std::sin(theta))
            << "sample " << k;
    }
}

TEST(parvox_filters, GridPositionsOutsideTheTablesUseTheirEnds) {
    struct {
        float freq_position;
        float bw_mod;
        int cos_entry;
        int radius_entry;
    } cases[] = {
        {1e9f, 1e9f, 255, 31},         {-1e9f, -1e9f, 0, 0},   {0.5f, 0.0f, 0, 7},
        {256.9f, 0.0f, 255, 7},        {257.0f, 0.0f, 255, 7}, {NAN, NAN, 0, 0},
        {INFINITY, -INFINITY, 255, 0},
    };
    for (const auto &t : cases) {
        frame_setup s(1, t.freq_position);
        for (int j = 0; j < s.p.formant_controls; ++j) s.e.bw_mod[j] = t.bw_mod;
        s.e.branch_buffer[0] = 1.0f;
        resonate_with(&s.bank, 1, &s.p, &s.c, &s.e);

        const float r = s.p.radius_table[t.radius_entry];
        const float c = s.p.cos_table[t.cos_entry];
        std::vector<float> expected(s.p.frame_length, 0.0f);
        expected[0] = 1.0f;
        resonator res{};
        resonator_process(&res, expected.data(), s.p.frame_length, s.p.branch_gain[1], 2.0f * r * c,
                          -r * r);
        for (int k = 0; k < s.p.frame_length; ++k) {
            ASSERT_EQ(s.e.branch_buffer[k], expected[k])
                << "position " << t.freq_position << " sample " << k;
        }
    }
}

TEST(parvox_filters, NormalisedBranchesHaveTheirGainAtZeroFrequency) {
    // Branches 0 and 5 pass a constant with the gain branch_gain whatever the
    // frequency and bandwidth; the others keep branch_gain as input gain.
    for (int b : {0, 5, 1, 2}) {
        for (float position : {1.0f, 30.0f, 120.0f, 256.0f}) {
            frame_setup s(b, position);
            for (int j = 0; j < s.p.formant_controls; ++j) s.e.bw_mod[j] = 0.7f;
            for (int frame = 0; frame < 60; ++frame) {
                for (int k = 0; k < s.p.frame_length; ++k) s.e.branch_buffer[k] = 1.0f;
                resonate_with(&s.bank, b, &s.p, &s.c, &s.e);
                if (frame == 0 && b != 0 && b != 5) {
                    EXPECT_EQ(s.e.branch_buffer[0], s.p.branch_gain[b]);
                }
            }
            if (b == 0 || b == 5) {
                EXPECT_NEAR(s.e.branch_buffer[s.p.frame_length - 1], s.p.branch_gain[b],
                            1e-3f * 28.4f)
                    << "branch " << b << " at " << position;
            }
        }
    }
    const synth_params p = default_params();
    EXPECT_FLOAT_EQ(p.branch_gain[0], 28.4f);
    EXPECT_FLOAT_EQ(p.branch_gain[5], -28.4f);
}

TEST(parvox_filters, ResonatorMemoryRunsOnAcrossFrames) {
    // One impulse, then silent frames: the ringing continues where it was.
    frame_setup s(2, 60.0f);
    std::vector<float> joined;
    for (int frame = 0; frame < 3; ++frame) {
        std::memset(s.e.branch_buffer, 0, sizeof s.e.branch_buffer);
        if (frame == 0) s.e.branch_buffer[0] = 1.0f;
        resonate_with(&s.bank, 2, &s.p, &s.c, &s.e);
        joined.insert(joined.end(), s.e.branch_buffer, s.e.branch_buffer + s.p.frame_length);
    }
    std::vector<float> expected(joined.size(), 0.0f);
    expected[0] = 1.0f;
    const int entry = 60;
    const float r = s.p.radius_table[static_cast<int>(s.p.bw_base[2]) - 1];
    const float c = s.p.cos_table[entry - 1];
    resonator res{};
    resonator_process(&res, expected.data(), int(expected.size()), s.p.branch_gain[2], 2.0f * r * c,
                      -r * r);
    for (size_t k = 0; k < joined.size(); ++k) ASSERT_EQ(joined[k], expected[k]) << k;
}

}  // namespace

namespace {

TEST(parvox_filters, SideBySideBranchesEqualTheBranchByBranchPath) {
    // Varied controls over several frames, with every kind of mixing, nasal
    // widening, glottal-phase modulation and positions off the grids: the
    // side-by-side path must give the very same bits as the reference calls.
    synth_params p = default_params();
    for (int b = 0; b < NUM_BRANCHES; ++b) p.freq_mod[b] = 3.0f + b;
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    excitation_state one, two;
    reset_excitation(&one);
    reset_excitation(&two);
    filter_bank reference{}, side_by_side{}, whole_frame{};
    const float voicing[][NUM_BRANCHES] = {{1, 1, 1, 1, 1, 1},
                                           {0, 0, 0, 0, 0, 0},
                                           {1, 0.9f, 0.5f, 0.2f, 0, 1},
                                           {0.7f, 1, 0, 1, 0.3f, 0.6f}};
    uint32_t seed = 5;
    auto next = [&seed](float range) {
        seed = seed * 1664525u + 1013904223u;
        return range * static_cast<float>(seed >> 8) / 16777216.0f;
    };
    for (int frame = 0; frame < 24; ++frame) {
        c.nasal_widening = (frame % 3) * 0.5f;
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            c.voicing_factor[b] = voicing[frame % 4][b];
            for (int j = 0; j < MAX_CONTROLS; ++j) {
                c.branch_freq[b][j] = next(280.0f) - 10.0f;
                c.branch_amp[b][j] = next(2.0f);
            }
        }
        for (int k = 0; k < p.frame_length; ++k) {
            one.voiced_buffer[k] = two.voiced_buffer[k] = next(2000.0f) - 1000.0f;
            one.noise_buffer[k] = two.noise_buffer[k] = next(1000.0f) - 500.0f;
        }
        for (int j = 0; j < MAX_CONTROLS; ++j) {
            one.glottal_phase[j] = two.glottal_phase[j] = (frame + j) % 5 == 0 ? 0.0f : next(1.0f);
        }
        float sum_reference[MAX_FRAME_LENGTH] = {}, sum_side_by_side[MAX_FRAME_LENGTH] = {};
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            mix_excitation_with(&one, b, &p, &c);
            resonate_with(&reference, b, &p, &c, &one);
            shape_branch_with(&reference, b, one.branch_buffer, sum_reference, p.frame_length);
            mix_excitation_with(&two, b, &p, &c);
        }
        synthesize_branches_with(&side_by_side, &p, &c, &two, sum_side_by_side);
        for (int k = 0; k < p.frame_length; ++k) {
            ASSERT_EQ(sum_reference[k], sum_side_by_side[k])
                << "frame " << frame << " sample " << k;
        }
        // With the output filter in the same pass.
        float out[MAX_FRAME_LENGTH] = {};
        synthesize_frame_with(&whole_frame, &p, &c, &two, out);
        output_stage_process(&reference.output, sum_reference, p.frame_length);
        for (int k = 0; k < p.frame_length; ++k) {
            ASSERT_EQ(sum_reference[k], out[k]) << "frame " << frame << " sample " << k;
        }
        side_by_side.output = reference.output;
        ASSERT_EQ(std::memcmp(&reference, &side_by_side, sizeof reference), 0) << "frame " << frame;
        ASSERT_EQ(std::memcmp(&reference, &whole_frame, sizeof reference), 0) << "frame " << frame;
    }
}

}  // namespace

namespace {

TEST(parvox_filters, SourceFilterInTheBranchPassEqualsItsOwnPass) {
    // Frames of pulses and noise through the source filter on its own and
    // then the branches, against both in one pass: the same samples, voiced
    // buffers and filter states, frame after frame.
    synth_params p = default_params();
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    excitation_state apart, together;
    reset_excitation(&apart);
    reset_excitation(&together);
    filter_bank bank_apart{}, bank_together{};
    uint32_t seed = 11;
    auto next = [&seed](float range) {
        seed = seed * 1664525u + 1013904223u;
        return range * static_cast<float>(seed >> 8) / 16777216.0f;
    };
    for (int frame = 0; frame < 12; ++frame) {
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            c.voicing_factor[b] = frame % 3 == 0 ? 1.0f : next(1.0f);
            for (int j = 0; j < MAX_CONTROLS; ++j) {
                c.branch_freq[b][j] = next(250.0f);
                c.branch_amp[b][j] = next(2.0f);
            }
        }
        std::memset(apart.source_buffer, 0, sizeof apart.source_buffer);
        for (int k = 1; k <= p.excitation_frame_length; ++k) {
            if (k % 37 < 5) apart.source_buffer[k] = next(200.0f) - 100.0f;
        }
        for (int k = 0; k < p.frame_length; ++k) apart.noise_buffer[k] = next(1000.0f) - 500.0f;
        for (int j = 0; j < MAX_CONTROLS; ++j) apart.glottal_phase[j] = next(1.0f);
        std::memcpy(together.source_buffer, apart.source_buffer, sizeof apart.source_buffer);
        std::memcpy(together.noise_buffer, apart.noise_buffer, sizeof apart.noise_buffer);
        std::memcpy(together.glottal_phase, apart.glottal_phase, sizeof apart.glottal_phase);

        float out_apart[MAX_FRAME_LENGTH] = {}, out_together[MAX_FRAME_LENGTH] = {};
        source_filter_decimate(&apart.filter, apart.source_buffer + 1, p.excitation_frame_length,
                               apart.voiced_buffer);
        synthesize_frame_with(&bank_apart, &p, &c, &apart, out_apart);
        synthesize_voiced_frame_with(&bank_together, &p, &c, &together, out_together);
        for (int k = 0; k < p.frame_length; ++k) {
            ASSERT_EQ(out_apart[k], out_together[k]) << "frame " << frame << " sample " << k;
            ASSERT_EQ(apart.voiced_buffer[k], together.voiced_buffer[k]) << k;
        }
        ASSERT_EQ(std::memcmp(&apart.filter, &together.filter, sizeof apart.filter), 0) << frame;
        ASSERT_EQ(std::memcmp(&bank_apart, &bank_together, sizeof bank_apart), 0) << frame;
    }
}

}  // namespace

namespace {

TEST(parvox_filters, DriverPathEqualsThePlainCallsAcrossSilences) {
    // Voiced stretches with silences of several lengths between them: the
    // driver's path (source filter in the branch pass, the flush spread over
    // the silent frames) gives every sample of make_excitation_with followed
    // by synthesize_frame_with.
    synth_params p = default_params();
    smoothed_controls c;
    std::memset(&c, 0, sizeof c);
    excitation_state plain, driver;
    reset_excitation(&plain);
    reset_excitation(&driver);
    filter_bank bank_plain{}, bank_driver{};
    control_frame frames[2] = {};
    const char *voiced = "120 500 60 1500 55 2500 50 0 40 250 30 255";
    const char *mixed = "110 250 50 1100 30 2300 25 0 10 250 55 120";
    const char *silent = "0 300 20 1800 40 2600 45 0 50 250 0 0";
    std::vector<const char *> lines;
    for (int silence : {1, 2, 3, 4, 7, 12}) {
        for (int i = 0; i < 5; ++i) lines.push_back(i % 2 == 0 ? voiced : mixed);
        for (int i = 0; i < silence; ++i) lines.push_back(silent);
    }
    lines.push_back(voiced);
    for (size_t f = 0; f < lines.size(); ++f) {
        control_frame &current = frames[f % 2];
        const control_frame &previous = frames[(f + 1) % 2];
        parse_control_line(lines[f], false, &current);
        convert_controls_with(&c, &p, &current, &previous);
        float out_plain[MAX_FRAME_LENGTH] = {}, out_driver[MAX_FRAME_LENGTH] = {};
        make_excitation_with(&plain, &p, &c);
        synthesize_frame_with(&bank_plain, &p, &c, &plain, out_plain);
        synthesize_whole_frame_with(&bank_driver, &p, &c, &driver, out_driver);
        for (int k = 0; k < p.frame_length; ++k)
            ASSERT_EQ(out_plain[k], out_driver[k]) << "frame " << f << " sample " << k;
    }
    finish_source_flush(&driver);
    EXPECT_EQ(std::memcmp(&plain.filter, &driver.filter, sizeof plain.filter), 0);
    EXPECT_EQ(std::memcmp(&bank_plain, &bank_driver, sizeof bank_plain), 0);
}

}  // namespace
