// The formant filter bank: six branch resonators, the fixed branch filters and the final output
// filter.
#include "filters.h"

#include <cstring>

float output_buffer[MAX_FRAME_LENGTH];
filter_bank filters;

// One sample through each filter. The block functions and the side-by-side
// frame path both go through these, so they compute exactly the same values.
static inline float resonator_step(resonator &r, float x, float gain, float a, float b) {
    const float y = gain * x + a * r.y1 + b * r.y2;
    r.y2 = r.y1;
    r.y1 = y;
    return y;
}

static inline float lowpass_zeros_step(lowpass_zeros_filter &f, float x) {
    const float c = 0.3946751f * x + 0.8570803f * f.c1;
    const float y = c - 1.8605548f * f.c1 + 0.809496f * f.c2;
    f.c2 = f.c1;
    f.c1 = c;
    return y;
}

static inline float difference_step(difference_filter &f, float x) {
    const float y = 0.5051416f * x - 0.5051416f * f.x1;
    f.x1 = x;
    return y;
}

static inline float resonance_difference_step(resonance_difference_filter &f, float x) {
    const float c = 0.2084334f * x - 1.3144111f * f.c1 - 0.7957426f * f.c2;
    const float y = c - f.c1;
    f.c2 = f.c1;
    f.c1 = c;
    return y;
}

static inline float high_band_step(high_band_filter &f, float x) {
    const float g = 0.1330524f * x - 0.7021969f * f.g1 - 0.6332063f * f.g2;
    const float u = g + 0.7604341f * f.g1 + 0.8377198f * f.g2;
    const float h = u - 0.5171979f * f.h1 - 0.8425185f * f.h2;
    const float w = h - f.h1;
    const float y = w - 1.0790422f * f.y1 - 0.8425185f * f.y2;
    f.g2 = f.g1;
    f.g1 = g;
    f.h2 = f.h1;
    f.h1 = h;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

static inline float nasal_gain_step(float x) { return 0.141f * x; }

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

// The fixed branch filters over the resonated frame, added into the sum in
// branch order; with FILTER_OUTPUT the final filter follows on each finished
// sum. The branches' filters run side by side, which hides their latencies.
template <bool FILTER_OUTPUT>
static void shape_and_sum(filter_bank *bank, const float (*resonated)[BRANCH_LANES], float *sum,
                          int n_samples) {
    lowpass_zeros_filter f0 = bank->branch0;
    difference_filter f1 = bank->branch1, f2 = bank->branch2;
    resonance_difference_filter f3 = bank->branch3;
    high_band_filter f4 = bank->branch4;
    output_stage_filter out = bank->output;
    for (int n = 0; n < n_samples; ++n) {
        const float *y = resonated[n];
        float s = sum[n];
        s += lowpass_zeros_step(f0, y[0]);
        s += difference_step(f1, y[1]);
        s += difference_step(f2, y[2]);
        s += resonance_difference_step(f3, y[3]);
        s += high_band_step(f4, y[4]);
        s += nasal_gain_step(y[5]);
        sum[n] = FILTER_OUTPUT ? output_stage_step(out, s) : s;
    }
    bank->branch0 = f0;
    bank->branch1 = f1;
    bank->branch2 = f2;
    bank->branch3 = f3;
    bank->branch4 = f4;
    if (FILTER_OUTPUT) bank->output = out;
}

// The six resonators side by side in vector registers: branches 0 to 3 in
// one vector of four, branches 4 and 5 (and two unused lanes) in another.
// Each lane computes exactly what resonator_process does for its branch: the
// same operations in the same order, no fused steps.
typedef float lanes __attribute__((vector_size(4 * sizeof(float))));
static_assert(BRANCH_LANES == 8, "two vectors of four lanes");

template <bool FILTER_OUTPUT>
static void run_branches(filter_bank *bank, const synth_params *p, const smoothed_controls *c,
                         const excitation_state *e, float *sum) {
    // Resonator outputs of the frame, interleaved like the inputs.
    alignas(32) float resonated[MAX_FRAME_LENGTH][BRANCH_LANES];

    // Lanes are filled and emptied through plain arrays, so that the vectors
    // themselves stay in registers throughout the sample loop.
    alignas(32) float state1[BRANCH_LANES] = {}, state2[BRANCH_LANES] = {};
    alignas(32) float gains[BRANCH_LANES] = {}, as[BRANCH_LANES] = {}, bs[BRANCH_LANES] = {};
    float bw_position[NUM_BRANCHES];
    for (int br = 0; br < NUM_BRANCHES; ++br) {
        state1[br] = bank->resonators[br].y1;
        state2[br] = bank->resonators[br].y2;
        bw_position[br] = bw_position_of(p, c, br);
    }
    lanes y1_lo, y1_hi, y2_lo, y2_hi;
    std::memcpy(&y1_lo, state1, sizeof y1_lo);
    std::memcpy(&y1_hi, state1 + 4, sizeof y1_hi);
    std::memcpy(&y2_lo, state2, sizeof y2_lo);
    std::memcpy(&y2_hi, state2 + 4, sizeof y2_hi);
    for (int j = 0; j < p->formant_controls; ++j) {
        for (int br = 0; br < NUM_BRANCHES; ++br) {
            const resonator_coefficients k =
                coefficients_for(p, br, bw_position[br], e->branch_bw_mod[br][j],
                                 e->glottal_phase[j], c->branch_freq[br][j]);
            gains[br] = k.gain;
            as[br] = k.a;
            bs[br] = k.b;
        }
        lanes gain_lo, gain_hi, a_lo, a_hi, b_lo, b_hi;
        std::memcpy(&gain_lo, gains, sizeof gain_lo);
        std::memcpy(&gain_hi, gains + 4, sizeof gain_hi);
        std::memcpy(&a_lo, as, sizeof a_lo);
        std::memcpy(&a_hi, as + 4, sizeof a_hi);
        std::memcpy(&b_lo, bs, sizeof b_lo);
        std::memcpy(&b_hi, bs + 4, sizeof b_hi);
        for (int n = p->control_start[j]; n <= p->control_end[j]; ++n) {
            lanes x_lo, x_hi;
            std::memcpy(&x_lo, e->branch_inputs[n], sizeof x_lo);
            std::memcpy(&x_hi, e->branch_inputs[n] + 4, sizeof x_hi);
            const lanes y_lo = gain_lo * x_lo + a_lo * y1_lo + b_lo * y2_lo;
            const lanes y_hi = gain_hi * x_hi + a_hi * y1_hi + b_hi * y2_hi;
            y2_lo = y1_lo;
            y2_hi = y1_hi;
            y1_lo = y_lo;
            y1_hi = y_hi;
            std::memcpy(resonated[n], &y_lo, sizeof y_lo);
            std::memcpy(resonated[n] + 4, &y_hi, sizeof y_hi);
        }
    }
    std::memcpy(state1, &y1_lo, sizeof y1_lo);
    std::memcpy(state1 + 4, &y1_hi, sizeof y1_hi);
    std::memcpy(state2, &y2_lo, sizeof y2_lo);
    std::memcpy(state2 + 4, &y2_hi, sizeof y2_hi);
    for (int br = 0; br < NUM_BRANCHES; ++br) {
        bank->resonators[br].y1 = state1[br];
        bank->resonators[br].y2 = state2[br];
    }

    shape_and_sum<FILTER_OUTPUT>(bank, resonated, sum, p->frame_length);
}

void synthesize_branches_with(filter_bank *bank, const synth_params *p, const smoothed_controls *c,
                              const excitation_state *e, float *sum) {
    run_branches<false>(bank, p, c, e, sum);
}

void synthesize_frame_with(filter_bank *bank, const synth_params *p, const smoothed_controls *c,
                           const excitation_state *e, float *out) {
    run_branches<true>(bank, p, c, e, out);
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

void synthesize_frame() {
    synthesize_frame_with(&filters, &params, &frame_controls, &excitation, output_buffer);
}

void output_filter() { output_stage_process(&filters.output, output_buffer, params.frame_length); }
