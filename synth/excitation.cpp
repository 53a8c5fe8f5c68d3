// The excitation source: glottal pulse train with its source filter, noise, and per-branch mixing.
#include "excitation.h"

#include <cmath>
#include <cstring>

#include "zir.h"

excitation_state excitation;

// A pulse runs over this many excitation-rate samples at the least (pulse plus
// closed phase). Real voices stay far above it (400 Hz is 110 samples); it only
// keeps a degenerate period from laying pulses without end within one frame.
constexpr float MIN_PULSE_PERIOD_SAMPLES = 1.0f;

// A pulse longer than the period runs over whole periods; more than this many
// periods means a nonsensical control, which then runs over one period.
constexpr int MAX_PERIODS_PER_PULSE = 1000;

// Nonsensical controls (an infinite or not-a-number period) must not carry the
// pulse position beyond what converts safely to a sample index; such a pulse
// simply lies far in the future. Real positions stay below a few thousand.
constexpr float MAX_PULSE_POSITION = 1.0e7f;
constexpr float MAX_PULSE_STEP = 1.0e5f;  // excitation samples per point or gap

static float limited(float value, float high) { return value < high ? value : high; }

constexpr uint32_t NOISE_MULTIPLIER = 1103515245u;
constexpr uint32_t NOISE_INCREMENT = 12345u;

int noise_next(noise_generator *g) {
    // A 32-bit linear congruential step; the high bits are the better ones.
    g->state = g->state * NOISE_MULTIPLIER + NOISE_INCREMENT;
    return static_cast<int>((g->state >> 16) & 0x7fff);
}

// Multipliers and increments that take the generator i + 1 steps at once, so
// that twelve draws are twelve independent products instead of a chain.
struct noise_jumps {
    uint32_t multiplier[12];
    uint32_t increment[12];
};

static constexpr noise_jumps make_noise_jumps() {
    noise_jumps j{};
    uint32_t m = 1, c = 0;
    for (int i = 0; i < 12; ++i) {
        m = m * NOISE_MULTIPLIER;
        c = c * NOISE_MULTIPLIER + NOISE_INCREMENT;
        j.multiplier[i] = m;
        j.increment[i] = c;
    }
    return j;
}

static constexpr noise_jumps NOISE_JUMPS = make_noise_jumps();

int noise_sum12(noise_generator *g) {
    const uint32_t state = g->state;
    int sum = 0;
    for (int i = 0; i < 12; ++i) {
        sum += static_cast<int>(
            ((state * NOISE_JUMPS.multiplier[i] + NOISE_JUMPS.increment[i]) >> 16) & 0x7fff);
    }
    g->state = state * NOISE_JUMPS.multiplier[11] + NOISE_JUMPS.increment[11];
    return sum;
}

void source_filter_process(source_filter *f, float *samples, int n) {
    using namespace source_section;
    float g1 = f->g1, g2 = f->g2, h1 = f->h1, h2 = f->h2;
    float p1 = f->p1, p2 = f->p2, q1 = f->q1;
    for (int k = 0; k < n; ++k) {
        const float g = SOURCE_INPUT_GAIN * samples[k] + G1 * g1 - G2 * g2;
        const float h = g - H_G1 * g1 + g2 + H1 * h1 - H2 * h2;
        const float p = h - P_H1 * h1 + h2 + P1 * p1 - P2 * p2;
        const float q = p + Q_P1 * p1 + p2 + Q1 * q1;
        samples[k] = q - SOURCE_OUTPUT_POLE * q1;
        g2 = g1;
        g1 = g;
        h2 = h1;
        h1 = h;
        p2 = p1;
        p1 = p;
        q1 = q;
    }
    f->g1 = g1;
    f->g2 = g2;
    f->h1 = h1;
    f->h2 = h2;
    f->p1 = p1;
    f->p2 = p2;
    f->q1 = q1;
}

PARVOX_HOT void source_filter_decimate(source_filter *f, const float *samples, int n, float *out) {
    source_pipeline s = source_pipeline_start(*f, samples, n);
    for (int k = 0; k < n / 4; ++k) out[k] = source_pipeline_next(s);
    source_pipeline_finish(s, f);
}

PARVOX_HOT void source_filter_flush(source_filter *f, int n) {
    source_pipeline s = source_pipeline_start(*f, nullptr, n);
    for (int k = 0; k < n / 4; ++k) source_pipeline_next(s);
    source_pipeline_finish(s, f);
}

void reset_excitation(excitation_state *e) {
    std::memset(e, 0, sizeof *e);
    e->pulse.pulse_position = 0.0f;
    e->pulse.pulse_point = 0;
    e->pulse.period_s = INITIAL_PITCH_PERIOD_S;
    e->pulse.pulse_length_s = INITIAL_PULSE_LENGTH_S;
    e->pulse.closed_s = INITIAL_PITCH_PERIOD_S - INITIAL_PULSE_LENGTH_S;
    e->noise.state = NOISE_SEED;
}

// The generator taken `steps` steps at once: state * multiplier + increment.
struct noise_jump {
    uint32_t multiplier;
    uint32_t increment;
};

static constexpr noise_jump noise_jump_of(int steps) {
    noise_jump j{1, 0};
    for (int i = 0; i < steps; ++i) {
        j.multiplier = j.multiplier * NOISE_MULTIPLIER;
        j.increment = j.increment * NOISE_MULTIPLIER + NOISE_INCREMENT;
    }
    return j;
}

// Eight noise samples are made at once: lane i starts from the state 12 i
// steps on and draws its twelve values with the jumps of NOISE_JUMPS, so every
// lane has exactly the values that twelve noise_next calls would give it.
constexpr int NOISE_LANES = 8;
typedef uint32_t noise_states __attribute__((vector_size(NOISE_LANES * sizeof(uint32_t))));
typedef int32_t noise_sums __attribute__((vector_size(NOISE_LANES * sizeof(int32_t))));
typedef float noise_values __attribute__((vector_size(NOISE_LANES * sizeof(float))));

struct lane_jumps {
    uint32_t multiplier[NOISE_LANES];
    uint32_t increment[NOISE_LANES];
};

static constexpr lane_jumps make_lane_jumps() {
    lane_jumps j{};
    for (int i = 0; i < NOISE_LANES; ++i) {
        j.multiplier[i] = noise_jump_of(12 * i).multiplier;
        j.increment[i] = noise_jump_of(12 * i).increment;
    }
    return j;
}

static constexpr lane_jumps LANE_JUMPS = make_lane_jumps();

PARVOX_HOT void make_noise_with(excitation_state *e, const synth_params *p, bool burst) {
    const int start = burst ? p->silence_samples : 0;
    float *noise = e->noise_buffer;
    const float amplitude = p->noise_amplitude;
    noise_states lane_multiplier, lane_increment;
    std::memcpy(&lane_multiplier, LANE_JUMPS.multiplier, sizeof lane_multiplier);
    std::memcpy(&lane_increment, LANE_JUMPS.increment, sizeof lane_increment);
    constexpr noise_jump block = noise_jump_of(12 * NOISE_LANES);
    int n = start;
    for (; n + NOISE_LANES <= p->frame_length; n += NOISE_LANES) {
        const uint32_t state = e->noise.state;
        const noise_states lanes = state * lane_multiplier + lane_increment;
        noise_sums sum = {};
        for (int t = 0; t < 12; ++t) {
            const noise_states drawn = lanes * NOISE_JUMPS.multiplier[t] + NOISE_JUMPS.increment[t];
            sum += (noise_sums)((drawn >> 16) & 0x7fff);
        }
        // Twelve uniform values add up to near-Gaussian noise of unit variance.
        const noise_values values =
            (__builtin_convertvector(sum, noise_values) / 32768.0f - 6.0f) * amplitude;
        std::memcpy(noise + n, &values, sizeof values);
        e->noise.state = state * block.multiplier + block.increment;
    }
    for (; n < p->frame_length; ++n) {
        noise[n] = (static_cast<float>(noise_sum12(&e->noise)) / 32768.0f - 6.0f) * amplitude;
    }
    if (burst) {
        // Rounded once, from the exact product.
        noise[p->silence_samples * 9 / 10] =
            static_cast<float>(std::sqrt(static_cast<double>(p->silence_samples)) *
                               static_cast<double>(p->noise_amplitude));
    }
}

// Closed phase of a pulse of length `length_s` in a period of `period_s`: a
// pulse longer than the period runs over whole periods, so the result is
// always positive.
static float closed_phase_s(float period_s, float length_s) {
    float closed = period_s - length_s;
    for (int i = 0; closed <= 0.0f && i < MAX_PERIODS_PER_PULSE; ++i) closed += period_s;
    if (!(closed > 0.0f)) closed = period_s > 0.0f ? period_s : INITIAL_PITCH_PERIOD_S;
    return closed;
}

// Point step and gap of the generator from a pulse length and closed phase.
static void set_step_and_gap(pulse_generator *g, float rate, float length_s, float closed_s) {
    // Comparisons written so that not-a-number takes the limit too.
    const float step = rate * length_s / PULSE_POINTS;
    g->point_step = step >= 0.0f ? limited(step, MAX_PULSE_STEP) : MAX_PULSE_STEP;
    const float gap = rate * closed_s;
    g->gap = gap >= 0.0f ? limited(gap, MAX_PULSE_STEP) : MAX_PULSE_STEP;
    const float min_gap = MIN_PULSE_PERIOD_SAMPLES - PULSE_POINTS * g->point_step;
    if (g->gap < min_gap) g->gap = min_gap;
}

// Moves the generator onto every excitation control whose start it has
// passed, stretching the distance already run past the control's start in
// proportion to the new closed phase (or to the new pulse length while the
// frame's first pulse continues from the previous frame).
static __attribute__((noinline)) void take_over(pulse_generator *g, const synth_params *p,
                                                const smoothed_controls *c) {
    const bool between_pulses = g->pulse_point == 0;
    while (g->cursor < p->excitation_controls) {
        const float start = static_cast<float>(g->cursor * p->excitation_segment) + 0.5f;
        if (!(g->pulse_position > start)) break;
        const float period = c->pitch_period[g->cursor];
        const float length = c->pulse_length[g->cursor];
        ++g->cursor;
        const float closed = closed_phase_s(period, length);
        const float run = g->pulse_position - start;
        if (between_pulses) {
            g->pulse_position = start + run * closed / g->closed_s;
        } else if (g->pulse_length_s > 0.0f) {
            g->pulse_position = start + run * length / g->pulse_length_s;
        }
        if (!(g->pulse_position < MAX_PULSE_POSITION)) g->pulse_position = MAX_PULSE_POSITION;
        g->pulse_length_s = length;
        g->period_s = period;
        g->closed_s = closed;
        set_step_and_gap(g, p->excitation_rate, length, closed);
    }
}

// take_over when the generator has passed the start of the next control,
// which is rare: the check stays in the caller's loop, the work out of it.
static inline void take_over_when_due(pulse_generator *g, const synth_params *p,
                                      const smoothed_controls *c) {
    if (g->cursor < p->excitation_controls &&
        g->pulse_position > static_cast<float>(g->cursor * p->excitation_segment) + 0.5f) {
        take_over(g, p, c);
    }
}

// The formant control in which an excitation-rate position lies, limited to
// 0 .. controls (the value `controls` stands for "past the frame"). `guess`
// is the control of the previous point, which is mostly the answer, so the
// division is left out then.
static inline int control_at(float position, int segment, int controls, int guess = 0) {
    const float sample = position - 0.5f;
    if (!(sample > 0.0f)) return 0;
    if (sample >= static_cast<float>(segment) * static_cast<float>(controls)) return controls;
    const int whole = static_cast<int>(sample);
    const int low = guess * segment;
    if (whole >= low && whole - low < segment) return guess;
    return whole / segment;
}

// Starts the frame's pulse train: the first pulse after an unvoiced stretch
// starts a quarter frame in, the share carried from the last frame goes to
// its first sample, and the generator takes the frame's first controls.
static void start_frame_pulses(pulse_generator *g, const synth_params *p,
                               const smoothed_controls *c, float *source) {
    g->cursor = 0;
    if (!(g->pulse_position >= 0.0f)) {
        zir_fatal("From subroutine excite - negative value for sample position");
    }
    if (c->voicing_onset) {
        g->pulse_position = static_cast<float>(p->excitation_frame_length / 4);
        g->pulse_point = 0;
        g->carry = 0.0f;
    }
    source[1] += g->carry;
    g->carry = 0.0f;
    if (g->pulse_position < 1.0f) {
        set_step_and_gap(g, p->excitation_rate, c->pulse_length[0],
                         closed_phase_s(c->pitch_period[0], c->pulse_length[0]));
    } else {
        take_over(g, p, c);
    }
}

// Adds a pulse point of `amplitude` at the generator's position, split
// between its two neighbouring samples in proportion to its distance from
// each, so the timing stays exact. Sample frame + 1 is the next frame's first.
static inline __attribute__((always_inline)) void lay_point(pulse_generator *g, float amplitude,
                                                            int frame, float *source) {
    const int i = static_cast<int>(g->pulse_position);
    if (i > 0) source[i] += (static_cast<float>(i + 1) - g->pulse_position) * amplitude;
    const float share = (g->pulse_position - static_cast<float>(i)) * amplitude;
    if (i + 1 <= frame) {
        if (i + 1 >= 1) source[i + 1] += share;
    } else {
        g->carry += share;
    }
}

PARVOX_HOT void excite_with(excitation_state *e, const synth_params *p,
                            const smoothed_controls *c) {
    pulse_generator *g = &e->pulse;
    const int frame = p->excitation_frame_length;
    const int segment = 4 * p->formant_segment;
    const int controls = p->formant_controls;
    float *source = e->source_buffer;

    start_frame_pulses(g, p, c, source);

    for (;;) {
        int control = control_at(g->pulse_position, segment, controls);
        bool phase_written = false;  // the point before this one set glottal_phase[control]
        for (int k = g->pulse_point; k < PULSE_POINTS; ++k) {
            if (control < controls) {
                int reached = control_at(g->pulse_position, segment, controls, control);
                if (reached > controls - 1) reached = controls - 1;
                // The latest point's phase wins. A point in the same control
                // as the point just before it, which wrote there, and with the
                // same phase value (four points share one) would write what is
                // already there.
                const bool unchanged = reached == control && phase_written && k % 4 != 0;
                if (!unchanged) {
                    for (int j = control; j <= reached; ++j)
                        e->glottal_phase[j] = p->phase_pattern[k / 4];
                }
                phase_written = reached >= control;
                control = reached;
            }
            if (g->pulse_position >= static_cast<float>(frame + 1)) {
                // The point lies in the next frame: continue there with this point.
                g->pulse_point = k;
                g->pulse_position -= static_cast<float>(frame);
                return;
            }
            lay_point(g, p->pulse_shape[k], frame, source);
            g->pulse_position = limited(g->pulse_position + g->point_step, MAX_PULSE_POSITION);
            take_over_when_due(g, p, c);
        }
        g->pulse_point = 0;
        g->pulse_position = limited(g->pulse_position + g->gap, MAX_PULSE_POSITION);
        take_over_when_due(g, p, c);
    }
}

void finish_source_flush(excitation_state *e) {
    if (e->flush_pending > 0) source_filter_flush(&e->filter, e->flush_pending);
    e->flush_pending = 0;
}

void make_excitation_with(excitation_state *e, const synth_params *p, const smoothed_controls *c) {
    const bool voiced = make_excitation_sources_with(e, p, c);
    finish_source_flush(e);
    if (voiced) {
        // Filter and decimate by four: keep every fourth sample counted from 1.
        source_filter_decimate(&e->filter, e->source_buffer + 1, p->excitation_frame_length,
                               e->voiced_buffer);
    }
}

bool make_excitation_sources_with(excitation_state *e, const synth_params *p,
                                  const smoothed_controls *c) {
    const int frame = p->excitation_frame_length;
    if (!c->all_voiced) {
        std::memset(e->noise_buffer, 0, sizeof e->noise_buffer);
        make_noise_with(e, p, c->burst_onset);
    }
    std::memset(e->source_buffer, 0, sizeof e->source_buffer);
    std::memset(e->glottal_phase, 0, sizeof e->glottal_phase);
    if (!c->all_unvoiced) {
        excite_with(e, p, c);
        return true;
    } else if (!c->previous_all_unvoiced) {
        // Six frames of silence let the source filter's ringing die out, so the
        // next voiced stretch starts from a quiet filter.
        e->flush_pending += 6 * frame;
        std::memset(e->voiced_buffer, 0, sizeof e->voiced_buffer);
    }
    return false;
}

void mix_excitation_with(excitation_state *e, int b, const synth_params *p,
                         const smoothed_controls *c) {
    const float v = c->voicing_factor[b];
    const float *amp = c->branch_amp[b];
    float *out = e->branch_buffer;
    if (v == 1.0f) {
        for (int j = 0; j < p->formant_controls; ++j) {
            e->bw_mod[j] = e->glottal_phase[j];
            const float gain = amp[j];
            for (int n = p->control_start[j]; n <= p->control_end[j]; ++n) {
                out[n] = gain * e->voiced_buffer[n];
            }
        }
    } else if (v == 0.0f) {
        for (int j = 0; j < p->formant_controls; ++j) {
            e->bw_mod[j] = p->gouv;
            const float gain = amp[j];
            for (int n = p->control_start[j]; n <= p->control_end[j]; ++n) {
                out[n] = gain * e->noise_buffer[n];
            }
        }
    } else {
        // v * w is sqrt(1 - v * v): the two sources are mixed at constant power.
        const float w = std::sqrt(1.0f / (v * v) - 1.0f);
        for (int j = 0; j < p->formant_controls; ++j) {
            e->bw_mod[j] = (p->gouv * w + e->glottal_phase[j]) * v;
            const float gain = amp[j];
            for (int n = p->control_start[j]; n <= p->control_end[j]; ++n) {
                out[n] = (w * e->noise_buffer[n] + e->voiced_buffer[n]) * v * gain;
            }
        }
    }
    if (p->alfcon != 0) {
        // The nasal branch gets branch 0's excitation taken away.
        if (b == 0) {
            std::memcpy(e->saved_branch0, out, sizeof(float) * p->frame_length);
        } else if (b == 5) {
            for (int n = 0; n < p->frame_length; ++n) out[n] -= e->saved_branch0[n];
        }
    }
}

// Every branch's mixture in the one form ((A noise + B voiced) C) G, with A,
// B, C chosen so that it rounds exactly like the branch's own formula: for
// v = 1, A = 0, B = 1, C = 1 gives (0 + voiced) 1 G = G voiced; for v = 0,
// A = 1, B = 0, C = 1 gives G noise; otherwise A = w, B = 1, C = v. The added
// zero products can only turn a zero result's sign, which no later sum,
// product or the output's truncation can tell apart. With one form the
// branches can run side by side.
void mixing_form(const excitation_state *e, const synth_params *p, const smoothed_controls *c,
                 float A[BRANCH_LANES], float B[BRANCH_LANES], float C[BRANCH_LANES],
                 float bw_mod[NUM_BRANCHES][MAX_CONTROLS]) {
    const int controls = p->formant_controls;
    for (int b = 0; b < BRANCH_LANES; ++b) A[b] = B[b] = C[b] = 0.0f;
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        const float v = c->voicing_factor[b];
        if (v == 1.0f) {
            A[b] = 0.0f, B[b] = 1.0f, C[b] = 1.0f;
            for (int j = 0; j < controls; ++j) bw_mod[b][j] = e->glottal_phase[j];
        } else if (v == 0.0f) {
            A[b] = 1.0f, B[b] = 0.0f, C[b] = 1.0f;
            for (int j = 0; j < controls; ++j) bw_mod[b][j] = p->gouv;
        } else {
            const float w = std::sqrt(1.0f / (v * v) - 1.0f);
            A[b] = w, B[b] = 1.0f, C[b] = v;
            for (int j = 0; j < controls; ++j) {
                bw_mod[b][j] = (p->gouv * w + e->glottal_phase[j]) * v;
            }
        }
    }
}

void make_excitation() { make_excitation_with(&excitation, &params, &frame_controls); }

void mix_excitation(int b) { mix_excitation_with(&excitation, b, &params, &frame_controls); }
