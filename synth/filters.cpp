// The formant filter bank: six branch resonators, the fixed branch filters and the final output
// filter.
#include "filters.h"

#include <cstring>

float output_buffer[MAX_FRAME_LENGTH];
filter_bank filters;

// Coefficients of the fixed branch filters, named once: the one-sample steps
// below and the side-by-side lanes of run_branches both take them from here.
namespace fixed {
constexpr float LOWPASS_IN = 0.3946751f;  // branch 0: one-pole low-pass
constexpr float LOWPASS_POLE = 0.8570803f;
constexpr float ZEROS_1 = 1.8605548f;  // branch 0: two real zeros
constexpr float ZEROS_2 = 0.809496f;
constexpr float DIFFERENCE = 0.5051416f;    // branches 1 and 2: first difference
constexpr float RESONANCE_IN = 0.2084334f;  // branch 3: resonance near 4.2 kHz
constexpr float RESONANCE_1 = 1.3144111f;
constexpr float RESONANCE_2 = 0.7957426f;
constexpr float HIGH_IN = 0.1330524f;  // branch 4: first pole pair
constexpr float HIGH_G1 = 0.7021969f;
constexpr float HIGH_G2 = 0.6332063f;
constexpr float HIGH_U1 = 0.7604341f;  // branch 4: zero pair
constexpr float HIGH_U2 = 0.8377198f;
constexpr float HIGH_H1 = 0.5171979f;  // branch 4: second pole pair
constexpr float HIGH_H2 = 0.8425185f;
constexpr float HIGH_Y1 = 1.0790422f;  // branch 4: last pole pair
constexpr float HIGH_Y2 = 0.8425185f;
constexpr float NASAL_GAIN = 0.141f;  // branch 5
}  // namespace fixed

// One sample through each filter. The block functions and the side-by-side
// frame path both go through these, so they compute exactly the same values.
static inline float resonator_step(resonator &r, float x, float gain, float a, float b) {
    const float y = gain * x + a * r.y1 + b * r.y2;
    r.y2 = r.y1;
    r.y1 = y;
    return y;
}

static inline float lowpass_zeros_step(lowpass_zeros_filter &f, float x) {
    using namespace fixed;
    const float c = LOWPASS_IN * x + LOWPASS_POLE * f.c1;
    const float y = c - ZEROS_1 * f.c1 + ZEROS_2 * f.c2;
    f.c2 = f.c1;
    f.c1 = c;
    return y;
}

static inline float difference_step(difference_filter &f, float x) {
    const float y = fixed::DIFFERENCE * x - fixed::DIFFERENCE * f.x1;
    f.x1 = x;
    return y;
}

static inline float resonance_difference_step(resonance_difference_filter &f, float x) {
    using namespace fixed;
    const float c = RESONANCE_IN * x - RESONANCE_1 * f.c1 - RESONANCE_2 * f.c2;
    const float y = c - f.c1;
    f.c2 = f.c1;
    f.c1 = c;
    return y;
}

// Branch 4 after its first section and zero pair (u): the second pole pair,
// a first difference and the last pole pair.
static inline __attribute__((always_inline)) float high_band_rest(high_band_filter &f, float u) {
    using namespace fixed;
    const float h = u - HIGH_H1 * f.h1 - HIGH_H2 * f.h2;
    const float w = h - f.h1;
    const float y = w - HIGH_Y1 * f.y1 - HIGH_Y2 * f.y2;
    f.h2 = f.h1;
    f.h1 = h;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

static inline float high_band_step(high_band_filter &f, float x) {
    using namespace fixed;
    const float g = HIGH_IN * x - HIGH_G1 * f.g1 - HIGH_G2 * f.g2;
    const float u = g + HIGH_U1 * f.g1 + HIGH_U2 * f.g2;
    f.g2 = f.g1;
    f.g1 = g;
    return high_band_rest(f, u);
}

static inline float nasal_gain_step(float x) { return fixed::NASAL_GAIN * x; }

static inline float output_stage_step(output_stage_filter &f, float x) {
    const float p = 0.18f * x - 1.628239f * f.p1 - 0.9006455f * f.p2;
    const float q = p + 1.9286317f * f.p1 + f.p2 - 1.2842269f * f.q1 - 0.6567826f * f.q2;
    const float y = q + 1.9901074f * f.q1 + f.q2 + 0.6938031f * f.y1;
    f.p2 = f.p1;
    f.p1 = p;
    f.q2 = f.q1;
    f.q1 = q;
    f.y1 = y;
    return y;
}

// The block functions work on a local copy of the state, which the compiler
// keeps in registers, and store it back once.
void resonator_process(resonator *r, float *samples, int n, float gain, float a, float b) {
    resonator s = *r;
    for (int k = 0; k < n; ++k) samples[k] = resonator_step(s, samples[k], gain, a, b);
    *r = s;
}

void lowpass_zeros_add(lowpass_zeros_filter *f, const float *x, float *sum, int n) {
    lowpass_zeros_filter s = *f;
    for (int k = 0; k < n; ++k) sum[k] += lowpass_zeros_step(s, x[k]);
    *f = s;
}

void difference_add(difference_filter *f, const float *x, float *sum, int n) {
    difference_filter s = *f;
    for (int k = 0; k < n; ++k) sum[k] += difference_step(s, x[k]);
    *f = s;
}

void resonance_difference_add(resonance_difference_filter *f, const float *x, float *sum, int n) {
    resonance_difference_filter s = *f;
    for (int k = 0; k < n; ++k) sum[k] += resonance_difference_step(s, x[k]);
    *f = s;
}

void high_band_add(high_band_filter *f, const float *x, float *sum, int n) {
    high_band_filter s = *f;
    for (int k = 0; k < n; ++k) sum[k] += high_band_step(s, x[k]);
    *f = s;
}

void nasal_gain_add(const float *x, float *sum, int n) {
    for (int k = 0; k < n; ++k) sum[k] += nasal_gain_step(x[k]);
}

void output_stage_process(output_stage_filter *f, float *samples, int n) {
    output_stage_filter s = *f;
    for (int k = 0; k < n; ++k) samples[k] = output_stage_step(s, samples[k]);
    *f = s;
}

void reset_filter_bank(filter_bank *bank) { std::memset(bank, 0, sizeof *bank); }

// Table entry (counted from 1) nearest to a grid position, held inside 1 .. size.
// The comparison happens before the conversion, so any float is safe here.
static int table_entry(float position, int size) {
    if (!(position >= 1.0f)) return 1;
    if (position >= static_cast<float>(size + 1)) return size;
    return static_cast<int>(position);
}

// Coefficients of branch b's resonator for one formant control.
struct resonator_coefficients {
    float gain;
    float a;
    float b;
};

// The bandwidth comes from the grid entry nearest to the base bandwidth plus
// modulation and nasal widening, the frequency from the entry nearest to the
// control's frequency plus the glottal-phase shift. `bw_position` is the
// branch's base position with nasal widening (once per frame).
static inline __attribute__((always_inline)) resonator_coefficients coefficients_for(
    const synth_params *p, int b, float bw_position, float bw_mod, float glottal_phase,
    float freq) {
    const int kb = table_entry(bw_mod * p->bw_mod_step[b] + bw_position, RADIUS_TABLE_SIZE);
    const int kf = table_entry(glottal_phase * p->freq_mod[b] + freq, COS_TABLE_SIZE);
    const float radius = p->radius_table[kb - 1];
    const float cosine = p->cos_table[kf - 1];
    resonator_coefficients k;
    k.a = 2.0f * radius * cosine;
    k.b = -radius * radius;
    // Branches 0 and 5 are normalised to the gain branch_gain at zero frequency.
    k.gain = (b == 0 || b == 5) ? (1.0f - k.a - k.b) * p->branch_gain[b] : p->branch_gain[b];
    return k;
}

static float bw_position_of(const synth_params *p, const smoothed_controls *c, int b) {
    return c->nasal_widening * p->bw_nasal_step[b] + p->bw_base[b];
}

void resonate_with(filter_bank *bank, int b, const synth_params *p, const smoothed_controls *c,
                   excitation_state *e) {
    resonator *r = &bank->resonators[b];
    const float bw_position = bw_position_of(p, c, b);
    float *samples = e->branch_buffer;
    for (int j = 0; j < p->formant_controls; ++j) {
        const resonator_coefficients k = coefficients_for(
            p, b, bw_position, e->bw_mod[j], e->glottal_phase[j], c->branch_freq[b][j]);
        const int start = p->control_start[j];
        resonator_process(r, samples + start, p->control_end[j] - start + 1, k.gain, k.a, k.b);
    }
}

// The six branches side by side in the lanes of one vector of eight (two
// lanes unused): lane b computes exactly what the branch-by-branch functions
// compute for branch b, the same operations in the same order, no fused
// steps. Processors with 256-bit vectors run a step of all branches as one
// instruction; others as two.
typedef float lanes __attribute__((vector_size(BRANCH_LANES * sizeof(float))));
typedef int int_lanes __attribute__((vector_size(BRANCH_LANES * sizeof(int))));
static_assert(BRANCH_LANES == 8, "one vector of eight lanes");

static inline __attribute__((always_inline)) void load_lanes(lanes &v, const float *values) {
    std::memcpy(&v, values, sizeof v);
}

// Written as a shuffle of lane 0 so that it becomes a single broadcast (a
// loop over the lanes or an initializer was built as a chain of inserts).
static inline __attribute__((always_inline)) void splat_lanes(lanes &v, float value) {
    const lanes first = {value};
    v = __builtin_shufflevector(first, first, 0, 0, 0, 0, 0, 0, 0, 0);
}

// table_entry for every lane: the position is held inside 1 .. size + 1
// before the conversion (not-a-number takes 1), which gives the same entry
// as limiting the converted value.
static inline __attribute__((always_inline)) void table_entries(int_lanes &entry,
                                                                const lanes &position, float size) {
    lanes one, top, past;
    splat_lanes(one, 1.0f);
    splat_lanes(top, size);
    splat_lanes(past, size + 1.0f);
    lanes held = position >= one ? position : one;
    held = held >= past ? top : held;
    entry = __builtin_convertvector(held, int_lanes);
}

// The fixed branch filters are split in two. Their first stages run in the
// lanes beside the resonators, in one form for every lane:
//   stage A: ((k0 x + k1 x1) + k2 a1) + k3 a2   (x the resonator output)
//   stage B: (a + m1 a1) + m2 a2                (a the stage A output)
// with the coefficients below chosen so that each lane performs its
// filter's own products, sums and differences in the equation's order (a
// difference is the sum of the negated product; the terms with a zero
// coefficient add a zero, which changes no value). Stage A gives
// branch 0's low-pass, the first differences of branches 1 and 2, branch 3's
// resonance, branch 4's first section and branch 5's gain; stage B gives
// branch 0's zeros, branch 3's difference and branch 4's zero pair, and
// passes the others through. The rest of branch 4, the sum and the final
// filter follow sample by sample.
struct branch_stage_coefficients {
    float k0[BRANCH_LANES], k1[BRANCH_LANES], k2[BRANCH_LANES], k3[BRANCH_LANES];
    float m1[BRANCH_LANES], m2[BRANCH_LANES];
};
constexpr branch_stage_coefficients BRANCH_STAGES = [] {
    using namespace fixed;
    return branch_stage_coefficients{
        {LOWPASS_IN, DIFFERENCE, DIFFERENCE, RESONANCE_IN, HIGH_IN, NASAL_GAIN, 0.0f, 0.0f},
        {0.0f, -DIFFERENCE, -DIFFERENCE, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
        {LOWPASS_POLE, 0.0f, 0.0f, -RESONANCE_1, -HIGH_G1, 0.0f, 0.0f, 0.0f},
        {0.0f, 0.0f, 0.0f, -RESONANCE_2, -HIGH_G2, 0.0f, 0.0f, 0.0f},
        {-ZEROS_1, 0.0f, 0.0f, -1.0f, HIGH_U1, 0.0f, 0.0f, 0.0f},
        {ZEROS_2, 0.0f, 0.0f, 0.0f, HIGH_U2, 0.0f, 0.0f, 0.0f},
    };
}();

// Most four-sample steps of a pending flush run per sample of a silent frame:
// the flush's chain of dependent steps then overlaps the branches' work of
// the silent frames after a voiced stretch (two measured best: the flush of
// six frames spread over three).
constexpr int FLUSH_STEPS_PER_SAMPLE = 2;

// The rest of a sample's work (branch 4's later sections, the sum and the
// output filter) runs this many samples behind its branch step, in the same
// pass: its own chains of dependent steps then overlap those of the
// resonators and the source filter instead of waiting for them (run in the
// same pass without the lag, or in a pass of its own, it measured slower).
constexpr int FINISH_LAG = 8;

// The lane states of the side-by-side branches: each resonator's last two
// outputs, the previous resonator output (for the first differences) and the
// last two stage A outputs.
struct branch_lanes {
    lanes y1, y2, x1, a1, a2;
};

static inline __attribute__((always_inline)) branch_lanes load_branch_lanes(
    const filter_bank *bank) {
    branch_lanes s;
    // The unused lanes 6 and 7 start from zeros.
    alignas(32) float y1[BRANCH_LANES] = {}, y2[BRANCH_LANES] = {};
    for (int br = 0; br < NUM_BRANCHES; ++br) {
        y1[br] = bank->resonators[br].y1;
        y2[br] = bank->resonators[br].y2;
    }
    load_lanes(s.y1, y1);
    load_lanes(s.y2, y2);
    s.x1 = lanes{0.0f, bank->branch1.x1, bank->branch2.x1, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    s.a1 =
        lanes{bank->branch0.c1, 0.0f, 0.0f, bank->branch3.c1, bank->branch4.g1, 0.0f, 0.0f, 0.0f};
    s.a2 =
        lanes{bank->branch0.c2, 0.0f, 0.0f, bank->branch3.c2, bank->branch4.g2, 0.0f, 0.0f, 0.0f};
    return s;
}

static inline __attribute__((always_inline)) void store_branch_lanes(const branch_lanes &s,
                                                                     filter_bank *bank) {
    for (int br = 0; br < NUM_BRANCHES; ++br) {
        bank->resonators[br].y1 = s.y1[br];
        bank->resonators[br].y2 = s.y2[br];
    }
    bank->branch0.c1 = s.a1[0];
    bank->branch0.c2 = s.a2[0];
    bank->branch1.x1 = s.x1[1];
    bank->branch2.x1 = s.x1[2];
    bank->branch3.c1 = s.a1[3];
    bank->branch3.c2 = s.a2[3];
    bank->branch4.g1 = s.a1[4];
    bank->branch4.g2 = s.a2[4];
}

// The frame's values of each lane: the mixing form of every branch, the
// nasal branch's share of branch 0, the bandwidth and frequency grids and
// the gains. The unused lanes 6 and 7 get harmless ones (no gain, entries
// inside the tables).
struct frame_lanes {
    lanes mix_a, mix_b, mix_c, take_branch0;
    lanes bw_position, bw_step, freq_mod, gain;
    float bw_mod[NUM_BRANCHES][MAX_CONTROLS];
};

static inline __attribute__((always_inline)) void prepare_frame_lanes(frame_lanes *f,
                                                                      const synth_params *p,
                                                                      const smoothed_controls *c,
                                                                      const excitation_state *e) {
    alignas(32) float mix_a[BRANCH_LANES], mix_b[BRANCH_LANES], mix_c[BRANCH_LANES];
    mixing_form(e, p, c, mix_a, mix_b, mix_c, f->bw_mod);
    load_lanes(f->mix_a, mix_a);
    load_lanes(f->mix_b, mix_b);
    load_lanes(f->mix_c, mix_c);
    // With alfcon the nasal branch gets branch 0's excitation taken away:
    // lane 5 subtracts 1 x branch 0's value, which is exact, and every other
    // lane subtracts a zero.
    f->take_branch0 = lanes{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, p->alfcon != 0 ? 1.0f : 0.0f, 0.0f, 0.0f};
    alignas(32) float bw_position[BRANCH_LANES] = {}, bw_step[BRANCH_LANES] = {};
    alignas(32) float freq_mod[BRANCH_LANES] = {}, gain[BRANCH_LANES] = {};
    for (int br = 0; br < NUM_BRANCHES; ++br) {
        bw_position[br] = bw_position_of(p, c, br);
        bw_step[br] = p->bw_mod_step[br];
        freq_mod[br] = p->freq_mod[br];
        gain[br] = p->branch_gain[br];
    }
    load_lanes(f->bw_position, bw_position);
    load_lanes(f->bw_step, bw_step);
    load_lanes(f->freq_mod, freq_mod);
    load_lanes(f->gain, gain);
}

// The resonator coefficients and branch gains of every lane for formant
// control j, each lane exactly as coefficients_for computes it.
struct control_lanes {
    lanes ca, cb, cg, amp;
};

static inline __attribute__((always_inline)) control_lanes control_coefficients(
    const frame_lanes &f, const synth_params *p, const smoothed_controls *c,
    const excitation_state *e, int j) {
    lanes phase;
    splat_lanes(phase, e->glottal_phase[j]);
    const lanes modulation = {f.bw_mod[0][j], f.bw_mod[1][j], f.bw_mod[2][j], f.bw_mod[3][j],
                              f.bw_mod[4][j], f.bw_mod[5][j], 0.0f,           0.0f};
    const lanes frequency = {c->branch_freq[0][j],
                             c->branch_freq[1][j],
                             c->branch_freq[2][j],
                             c->branch_freq[3][j],
                             c->branch_freq[4][j],
                             c->branch_freq[5][j],
                             1.0f,
                             1.0f};
    int_lanes kb, kf;
    table_entries(kb, modulation * f.bw_step + f.bw_position, RADIUS_TABLE_SIZE);
    table_entries(kf, phase * f.freq_mod + frequency, COS_TABLE_SIZE);
    // The unused lanes 6 and 7 get zeros: no coefficient, so they stay zero.
    lanes radius = {}, cosine = {};
    for (int i = 0; i < NUM_BRANCHES; ++i) {
        radius[i] = p->radius_table[kb[i] - 1];
        cosine[i] = p->cos_table[kf[i] - 1];
    }
    lanes one, two;
    splat_lanes(one, 1.0f);
    splat_lanes(two, 2.0f);
    // Branches 0 and 5 are normalised to their gain at zero frequency.
    const int_lanes normalised = {-1, 0, 0, 0, 0, -1, 0, 0};
    control_lanes k;
    k.ca = two * radius * cosine;
    k.cb = -radius * radius;
    k.cg = normalised ? (one - k.ca - k.cb) * f.gain : f.gain;
    k.amp = lanes{c->branch_amp[0][j],
                  c->branch_amp[1][j],
                  c->branch_amp[2][j],
                  c->branch_amp[3][j],
                  c->branch_amp[4][j],
                  c->branch_amp[5][j],
                  0.0f,
                  0.0f};
    return k;
}

// One sample of every branch: its excitation (as mix_excitation makes it),
// the resonator and the first stages of the fixed filters. Stores the stage B
// outputs in `staged`.
static inline __attribute__((always_inline)) void branch_sample(branch_lanes &s,
                                                                const frame_lanes &f,
                                                                const control_lanes &k, float noise,
                                                                float voiced, float *staged) {
    const branch_stage_coefficients &K = BRANCH_STAGES;
    lanes noise_v, voiced_v, k0, k1, k2, k3, m1, m2;
    splat_lanes(noise_v, noise);
    splat_lanes(voiced_v, voiced);
    load_lanes(k0, K.k0);
    load_lanes(k1, K.k1);
    load_lanes(k2, K.k2);
    load_lanes(k3, K.k3);
    load_lanes(m1, K.m1);
    load_lanes(m2, K.m2);
    lanes x = (f.mix_a * noise_v + f.mix_b * voiced_v) * f.mix_c * k.amp;
    lanes branch0;
    splat_lanes(branch0, x[0]);
    x = x - branch0 * f.take_branch0;
    const lanes y = k.cg * x + k.ca * s.y1 + k.cb * s.y2;
    s.y2 = s.y1;
    s.y1 = y;
    const lanes a = k0 * y + k1 * s.x1 + k2 * s.a1 + k3 * s.a2;
    const lanes b = a + m1 * s.a1 + m2 * s.a2;
    s.x1 = y;
    s.a2 = s.a1;
    s.a1 = a;
    std::memcpy(staged, &b, sizeof b);
}

// The rest of branch 4, the sum in branch order onto `sum` and, with
// FILTER_OUTPUT, the final filter on it.
template <bool FILTER_OUTPUT>
static inline __attribute__((always_inline)) float finish_sample(high_band_filter &f4,
                                                                 output_stage_filter &final_stage,
                                                                 const float *v, float sum) {
    const float y4 = high_band_rest(f4, v[4]);
    float s = sum;
    s += v[0];
    s += v[1];
    s += v[2];
    s += v[3];
    s += y4;
    s += v[5];
    return FILTER_OUTPUT ? output_stage_step(final_stage, s) : s;
}

// Mixes every branch's excitation from the frame's noise and voiced signals
// (as mix_excitation does), resonates the six branches side by side, shapes
// and sums them sample by sample. With FILTER_SOURCE the voiced signal is
// made in the same pass from the pulse train. Inlined into the callers, so
// that it is built for each of their targets.
template <bool FILTER_OUTPUT, bool FILTER_SOURCE, bool FLUSH = false>
static inline __attribute__((always_inline)) void run_branches(filter_bank *bank,
                                                               const synth_params *p,
                                                               const smoothed_controls *c,
                                                               excitation_state *e, float *sum) {
    // Stage B outputs of the frame, one sample of all branches per row.
    alignas(32) float staged[MAX_FRAME_LENGTH][BRANCH_LANES];
    frame_lanes f;
    prepare_frame_lanes(&f, p, c, e);
    branch_lanes s = load_branch_lanes(bank);
    high_band_filter f4 = bank->branch4;
    output_stage_filter final_stage = bank->output;
    source_pipeline source;
    if (FILTER_SOURCE) {
        source = source_pipeline_start(e->filter, e->source_buffer + 1, p->excitation_frame_length);
    }
    // With FLUSH a share of the pending flush runs beside the branches, a
    // whole number of four-sample steps per sample.
    int flush_per_sample = 0;
    if (FLUSH) {
        flush_per_sample = e->flush_pending / (4 * p->frame_length);
        if (flush_per_sample > FLUSH_STEPS_PER_SAMPLE) flush_per_sample = FLUSH_STEPS_PER_SAMPLE;
        source = source_pipeline_start(e->filter, nullptr, 4 * flush_per_sample * p->frame_length);
    }
    int finished = 0;  // samples whose rest of the work is done
    for (int j = 0; j < p->formant_controls; ++j) {
        const control_lanes k = control_coefficients(f, p, c, e, j);
        for (int n = p->control_start[j]; n <= p->control_end[j]; ++n) {
            if (FILTER_SOURCE) e->voiced_buffer[n] = source_pipeline_next(source);
            if (FLUSH) {
                for (int i = 0; i < flush_per_sample; ++i) source_pipeline_next(source);
            }
            branch_sample(s, f, k, e->noise_buffer[n], e->voiced_buffer[n], staged[n]);
            if (n - finished >= FINISH_LAG) {
                sum[finished] =
                    finish_sample<FILTER_OUTPUT>(f4, final_stage, staged[finished], sum[finished]);
                ++finished;
            }
        }
    }
    if (FILTER_SOURCE || FLUSH) source_pipeline_finish(source, &e->filter);
    if (FLUSH) e->flush_pending -= 4 * flush_per_sample * p->frame_length;
    for (; finished < p->frame_length; ++finished)
        sum[finished] =
            finish_sample<FILTER_OUTPUT>(f4, final_stage, staged[finished], sum[finished]);
    store_branch_lanes(s, bank);
    bank->branch4.h1 = f4.h1;
    bank->branch4.h2 = f4.h2;
    bank->branch4.y1 = f4.y1;
    bank->branch4.y2 = f4.y2;
    if (FILTER_OUTPUT) bank->output = final_stage;
}

PARVOX_HOT void synthesize_branches_with(filter_bank *bank, const synth_params *p,
                                         const smoothed_controls *c, const excitation_state *e,
                                         float *sum) {
    run_branches<false, false>(bank, p, c, const_cast<excitation_state *>(e), sum);
}

PARVOX_HOT void synthesize_frame_with(filter_bank *bank, const synth_params *p,
                                      const smoothed_controls *c, const excitation_state *e,
                                      float *out) {
    run_branches<true, false>(bank, p, c, const_cast<excitation_state *>(e), out);
}

PARVOX_HOT void synthesize_voiced_frame_with(filter_bank *bank, const synth_params *p,
                                             const smoothed_controls *c, excitation_state *e,
                                             float *out) {
    run_branches<true, true>(bank, p, c, e, out);
}

void shape_branch_with(filter_bank *bank, int b, const float *branch_buffer, float *sum, int n) {
    switch (b) {
        case 0:
            lowpass_zeros_add(&bank->branch0, branch_buffer, sum, n);
            break;
        case 1:
            difference_add(&bank->branch1, branch_buffer, sum, n);
            break;
        case 2:
            difference_add(&bank->branch2, branch_buffer, sum, n);
            break;
        case 3:
            resonance_difference_add(&bank->branch3, branch_buffer, sum, n);
            break;
        case 4:
            high_band_add(&bank->branch4, branch_buffer, sum, n);
            break;
        default:
            nasal_gain_add(branch_buffer, sum, n);
            break;
    }
}

void resonate(int b) { resonate_with(&filters, b, &params, &frame_controls, &excitation); }

void shape_branch(int b) {
    shape_branch_with(&filters, b, excitation.branch_buffer, output_buffer, params.frame_length);
}

PARVOX_HOT static void synthesize_flushing_frame_with(filter_bank *bank, const synth_params *p,
                                                      const smoothed_controls *c,
                                                      excitation_state *e, float *out) {
    run_branches<true, false, true>(bank, p, c, e, out);
}

void synthesize_whole_frame_with(filter_bank *bank, const synth_params *p,
                                 const smoothed_controls *c, excitation_state *e, float *out) {
    if (make_excitation_sources_with(e, p, c)) {
        finish_source_flush(e);
        synthesize_voiced_frame_with(bank, p, c, e, out);
    } else if (e->flush_pending >= 4 * p->frame_length) {
        synthesize_flushing_frame_with(bank, p, c, e, out);
    } else {
        synthesize_frame_with(bank, p, c, e, out);
    }
}

void synthesize_frame() {
    synthesize_whole_frame_with(&filters, &params, &frame_controls, &excitation, output_buffer);
}

void output_filter() { output_stage_process(&filters.output, output_buffer, params.frame_length); }
