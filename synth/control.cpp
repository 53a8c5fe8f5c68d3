// Reads control lines into frames, removes squeaks and converts frames into smoothed controls.
#include "control.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

smoothed_controls frame_controls;
bool hex_controls = false;
control_line_counts control_lines;

namespace {

control_frame frame_records[2];
// The stream that has reached a 0x1A byte: it delivers no more frames.
FILE *ended_stream = nullptr;

constexpr int LINE_CAPACITY = 255;  // characters kept of one line; the rest is dropped
constexpr int END_OF_TEXT = 0x1a;
constexpr int MAX_DECIMAL_VALUES = 12;

int16_t control_frame::*const FIELD_MEMBERS[CONTROL_FIELDS] = {
    &control_frame::nasal_freq, &control_frame::f1_freq,   &control_frame::f2_freq,
    &control_frame::f3_freq,    &control_frame::nasal_amp, &control_frame::f1_amp,
    &control_frame::f2_amp,     &control_frame::f3_amp,    &control_frame::high_amp,
    &control_frame::voicing,    &control_frame::f0_index,  &control_frame::pulse_shift};

// Field that each two-character column of the hexadecimal form fills: every
// frequency is followed by its amplitude.
constexpr int HEX_COLUMN_FIELDS[CONTROL_FIELDS] = {0, 4, 1, 5, 2, 6, 3, 7, 8, 9, 10, 11};

// Branch fed by each of the frequency fields 0..3 (amplitude fields 4..7).
constexpr int FIELD_BRANCH[4] = {5, 0, 1, 2};

// Truncates toward zero and limits to the 16-bit range, so any number, however
// large, becomes a defined field value.
int16_t to_field(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    value = std::trunc(value);
    if (value < INT16_MIN) {
        return INT16_MIN;
    }
    if (value > INT16_MAX) {
        return INT16_MAX;
    }
    return static_cast<int16_t>(value);
}

int limit_index(int value, int size) { return value < 0 ? 0 : (value >= size ? size - 1 : value); }

float limit(float value, float low, float high) {
    return value < low ? low : (value > high ? high : value);
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One decimal token: a number when it begins with a digit, read as a plain
// decimal (a "0x" prefix reads as 0), else nothing.
bool decimal_token(const char *token, double *value) {
    if (token[0] < '0' || token[0] > '9') {
        return false;
    }
    if (token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        *value = 0.0;
        return true;
    }
    // Plain integers, the usual tokens, are converted here: up to 15 digits
    // the value is exact in a double, so it is the one strtod would give.
    double whole = 0.0;
    int digits = 0;
    while (token[digits] >= '0' && token[digits] <= '9' && digits < 16) {
        whole = whole * 10.0 + (token[digits] - '0');
        ++digits;
    }
    *value = token[digits] == '\0' && digits <= 15 ? whole : std::strtod(token, nullptr);
    return true;
}

// A token of at most 15 decimal digits, the usual kind, read where it stands:
// its value is exact in a double, so it is the one strtod would give. Moves
// *at past it; any other token is left to decimal_token.
bool plain_integer(const char **at, double *value) {
    const char *p = *at;
    std::int64_t whole = 0;
    int digits = 0;
    while (p[digits] >= '0' && p[digits] <= '9' && digits < 16) {
        whole = whole * 10 + (p[digits] - '0');
        ++digits;
    }
    const char end = p[digits];
    if (digits == 0 || digits > 15 || (end != '\0' && !is_separator(end))) {
        return false;
    }
    *value = static_cast<double>(whole);
    *at = p + digits;
    return true;
}

// Returns the number of values read.
int parse_decimal_line(const char *line, control_frame *frame) {
    double d[MAX_DECIMAL_VALUES] = {};
    int count = 0;
    const char *p = line;
    char token[LINE_CAPACITY + 1];
    while (count < MAX_DECIMAL_VALUES) {
        while (*p != '\0' && is_separator(*p)) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        if (plain_integer(&p, &d[count])) {
            ++count;
            continue;
        }
        int length = 0;
        while (*p != '\0' && !is_separator(*p) && length < LINE_CAPACITY) {
            token[length++] = *p++;
        }
        token[length] = '\0';
        if (!decimal_token(token, &d[count])) {
            break;
        }
        ++count;
    }
    frame->nasal_freq = to_field((d[9] - 90.0) / 5.0);
    frame->f1_freq = to_field((d[1] - 100.0) / 25.0);
    frame->f2_freq = to_field((d[3] - 500.0) / 50.0);
    frame->f3_freq = to_field((d[5] - 1300.0) / 50.0);
    frame->nasal_amp = to_field(d[10]);
    frame->f1_amp = to_field(d[2]);
    frame->f2_amp = to_field(d[4]);
    frame->f3_amp = to_field(d[6]);
    frame->high_amp = to_field(d[8]);
    frame->voicing = to_field(d[11] / 4.0);
    frame->f0_index = d[0] == 0.0 ? 0 : to_field(std::log(d[0]) * 23.09 - 75.37);
    frame->pulse_shift = NO_PULSE_SHIFT;
    return count;
}

// A hexadecimal digit of the fixed-column form; lower case counts as upper case.
int hex_digit(unsigned char c) {
    if (c >= 'a' && c <= 'z') {
        c = static_cast<unsigned char>(c - 'a' + 'A');
    }
    return c >= 'A' ? c - 55 : c - 48;
}

void parse_hex_line(const char *line, control_frame *frame) {
    size_t length = std::strlen(line);
    for (int column = 0; column < CONTROL_FIELDS; ++column) {
        size_t at = static_cast<size_t>(column) * 2;
        int high = at < length ? hex_digit(static_cast<unsigned char>(line[at])) : 0;
        int low = at + 1 < length ? hex_digit(static_cast<unsigned char>(line[at + 1])) : 0;
        control_field(*frame, HEX_COLUMN_FIELDS[column]) = static_cast<int16_t>(high * 16 + low);
    }
}

// Reads one line into line, without its end, keeping its first LINE_CAPACITY
// characters: the rest of a longer line is read and dropped, so that a line
// is one frame however long. A carriage return before a line feed is dropped.
// Returns the number of characters kept, or -1 at the end of input (end of
// file, a read error, or a 0x1A byte with nothing before it on the line). The
// stream is read by this one thread only, so characters are taken without the
// stream's lock.
int read_line(FILE *stream, char *line) {
    int length = 0;
    for (;;) {
        int c = getc_unlocked(stream);
        if (c == EOF) {
            break;
        }
        if (c == END_OF_TEXT) {
            ended_stream = stream;
            break;
        }
        if (c == '\n') {
            break;
        }
        if (c == '\r') {
            int next = getc_unlocked(stream);
            if (next == '\n') {
                break;
            }
            if (next != EOF) {
                ungetc(next, stream);
            }
        }
        if (length < LINE_CAPACITY) {
            line[length++] = static_cast<char>(c);
        }
    }
    line[length] = '\0';
    if (length == 0 && (ended_stream == stream || feof(stream) || ferror(stream))) {
        return -1;
    }
    ++control_lines.lines_read;
    return length;
}

// True when the line has something other than blanks and tabs.
bool has_text(const char *line) {
    for (; *line != '\0'; ++line) {
        if (!is_separator(*line)) {
            return true;
        }
    }
    return false;
}

// Counts a decimal line by whether it gave any value: text fed in by mistake
// (phonemes, words) gives none.
void count_decimal_line(const char *line, int values) {
    if (values > 0) {
        ++control_lines.with_values;
    } else if (has_text(line)) {
        if (control_lines.without_values++ == 0) {
            control_lines.first_without_values = control_lines.lines_read;
        }
    }
}

// Runs y[k] = a x[k] + b1 y[k-1] - b2 y[k-2] over n values, in place when out
// is values, or only for its state when out is null.
void run_smoother(smoother_state *s, const float *values, float *out, int n, float a, float b1,
                  float b2) {
    float y1 = s->y1;
    float y2 = s->y2;
    for (int k = 0; k < n; ++k) {
        float y = a * values[k] + b1 * y1 - b2 * y2;
        y2 = y1;
        y1 = y;
        if (out != nullptr) {
            out[k] = y;
        }
    }
    s->y1 = y1;
    s->y2 = y2;
}

constexpr float FORMANT_A = 0.01036742f;
constexpr float FORMANT_B1 = 1.796359f;
constexpr float FORMANT_B2 = 0.8067264f;
constexpr float EXCITATION_A = 0.005906528f;
constexpr float EXCITATION_B1 = 1.8462921f;
constexpr float EXCITATION_B2 = 0.8521986f;
// Frequency positions may lie outside the grid (the resonator then takes its
// nearest end); they are only kept finite, so that extreme parameter sets can
// never fill a smoother with infinities. No real position comes near this.
constexpr float MAX_GRID_POSITION = 1.0e30f;
// Runs over the new values that pull the smoothers onto them after a jump.
constexpr int CLAMP_RUNS = 20;

int64_t difference(const control_frame &current, const control_frame &previous, int field) {
    return static_cast<int64_t>(control_field(current, field)) - control_field(previous, field);
}

float voicing_factor_of(float s, float offset) {
    return std::sqrt(limit((s + offset) / 10.0f, 0.0f, 1.0f));
}

// The nine formant smoothers (six amplitudes, three frequencies) are
// independent, so they run side by side in vector lanes: each lane does
// exactly the operations of run_smoother, in the same order and without fused
// steps, so the values are bit for bit those of nine separate runs, while the
// processor no longer waits on one smoother's recurrence at a time. The two
// excitation smoothers share a vector the same way.
typedef float lanes4 __attribute__((vector_size(4 * sizeof(float))));
constexpr int SMOOTHER_VECTORS = 3;  // 12 lanes: 6 amplitudes, 3 frequencies, 3 unused
constexpr int SMOOTHER_LANES = 4 * SMOOTHER_VECTORS;

struct smoother_lanes {
    lanes4 a, b1, b2;
};

inline lanes4 splat(float value) { return lanes4{value, value, value, value}; }

// One step of every lane: y = a x + b1 y1 - b2 y2.
template <int V>
inline void smoother_step(const smoother_lanes &k, const lanes4 *in, lanes4 *y1, lanes4 *y2,
                          lanes4 *out) {
    for (int v = 0; v < V; ++v) {
        const lanes4 y = k.a * in[v] + k.b1 * y1[v] - k.b2 * y2[v];
        y2[v] = y1[v];
        y1[v] = y;
        out[v] = y;
    }
}

// Runs `steps` steps whose input stays `in`, the outputs thrown away. With a
// constant input the smoothers usually settle, within a few hundred steps,
// into a cycle of float values whose length divides 8 (the rounding of the
// last bits repeats). Once the state after eight steps is bit for bit what it
// was before them, every further eight steps would give it again, so only the
// remaining steps beyond whole cycles are run: the final state is exactly that
// of running them all. Smoothers that never settle simply run every step.
template <int V>
void pull_onto_constant(const smoother_lanes &k, const lanes4 *in, lanes4 *y1, lanes4 *y2,
                        int steps) {
    constexpr int CYCLE_STEPS = 8;
    lanes4 out[V];
    while (steps >= CYCLE_STEPS) {
        lanes4 before1[V], before2[V];
        std::memcpy(before1, y1, sizeof before1);
        std::memcpy(before2, y2, sizeof before2);
        for (int s = 0; s < CYCLE_STEPS; ++s) smoother_step<V>(k, in, y1, y2, out);
        steps -= CYCLE_STEPS;
        if (std::memcmp(before1, y1, sizeof before1) == 0 &&
            std::memcmp(before2, y2, sizeof before2) == 0) {
            steps %= CYCLE_STEPS;
        }
    }
    for (; steps > 0; --steps) smoother_step<V>(k, in, y1, y2, out);
}

// After a jump the runs over the new values pull the smoothers onto them
// (outputs thrown away); then one run smooths the values in place. x holds
// `count` values of V vectors of lanes.
template <int V>
inline void run_lanes(const smoother_lanes &k, float (*x)[4 * V], int count, lanes4 *y1, lanes4 *y2,
                      bool clamp) {
    lanes4 in[V], out[V];
    if (clamp) {
        bool constant = true;
        for (int j = 1; j < count && constant; ++j) {
            constant = std::memcmp(x[j], x[0], sizeof x[0]) == 0;
        }
        if (constant) {
            std::memcpy(in, x[0], sizeof in);
            pull_onto_constant<V>(k, in, y1, y2, CLAMP_RUNS * count);
        } else {
            for (int run = 0; run < CLAMP_RUNS; ++run) {
                for (int j = 0; j < count; ++j) {
                    std::memcpy(in, x[j], sizeof in);
                    smoother_step<V>(k, in, y1, y2, out);
                }
            }
        }
    }
    for (int j = 0; j < count; ++j) {
        std::memcpy(in, x[j], sizeof in);
        smoother_step<V>(k, in, y1, y2, out);
        std::memcpy(x[j], out, sizeof out);
    }
}

// Four rows of four values turned into four columns: c[k] = {r[0][k] .. r[3][k]}.
inline void transpose4(const lanes4 r[4], lanes4 c[4]) {
    const lanes4 t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5);
    const lanes4 t1 = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5);
    const lanes4 t2 = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
    const lanes4 t3 = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
    c[0] = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    c[1] = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    c[2] = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    c[3] = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
}

// The smoothers' rows of control values: lane i smooths rows[i] (null: zeros).
using smoother_rows = float *[SMOOTHER_LANES];

// Copies the first n values of every row into x[j][lane], four values of
// four rows at a time.
void rows_to_lanes(const smoother_rows &rows, int n, float (*x)[SMOOTHER_LANES]) {
    static const float zeros[MAX_CONTROLS] = {};
    for (int g = 0; g < SMOOTHER_VECTORS; ++g) {
        const float *row[4];
        for (int i = 0; i < 4; ++i) row[i] = rows[4 * g + i] ? rows[4 * g + i] : zeros;
        int j = 0;
        for (; j + 4 <= n; j += 4) {
            lanes4 r[4], c[4];
            for (int i = 0; i < 4; ++i) std::memcpy(&r[i], row[i] + j, sizeof r[i]);
            transpose4(r, c);
            for (int k = 0; k < 4; ++k) std::memcpy(&x[j + k][4 * g], &c[k], sizeof c[k]);
        }
        for (; j < n; ++j) {
            for (int i = 0; i < 4; ++i) x[j][4 * g + i] = row[i][j];
        }
    }
}

// The way back: the first n values of every row that is not null from x.
void lanes_to_rows(const float (*x)[SMOOTHER_LANES], int n, const smoother_rows &rows) {
    for (int g = 0; g < SMOOTHER_VECTORS; ++g) {
        float *const *row = rows + 4 * g;
        int j = 0;
        for (; j + 4 <= n; j += 4) {
            lanes4 r[4], c[4];
            for (int k = 0; k < 4; ++k) std::memcpy(&r[k], &x[j + k][4 * g], sizeof r[k]);
            transpose4(r, c);
            for (int i = 0; i < 4; ++i) {
                if (row[i]) std::memcpy(row[i] + j, &c[i], sizeof c[i]);
            }
        }
        for (; j < n; ++j) {
            for (int i = 0; i < 4; ++i) {
                if (row[i]) row[i][j] = x[j][4 * g + i];
            }
        }
    }
}

PARVOX_HOT void run_formant_smoothers(smoothed_controls *c, int n, bool clamp) {
    // Lanes 0..5 the amplitudes, 6..8 the frequencies, three spare lanes of zeros.
    const smoother_rows rows = {c->branch_amp[0],  c->branch_amp[1],  c->branch_amp[2],
                                c->branch_amp[3],  c->branch_amp[4],  c->branch_amp[5],
                                c->branch_freq[0], c->branch_freq[1], c->branch_freq[2],
                                nullptr,           nullptr,           nullptr};
    alignas(16) float x[MAX_CONTROLS][SMOOTHER_LANES];
    rows_to_lanes(rows, n, x);
    alignas(16) float s1[SMOOTHER_LANES] = {}, s2[SMOOTHER_LANES] = {};
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        s1[b] = c->amp_smoother[b].y1;
        s2[b] = c->amp_smoother[b].y2;
    }
    for (int b = 0; b < 3; ++b) {
        s1[NUM_BRANCHES + b] = c->freq_smoother[b].y1;
        s2[NUM_BRANCHES + b] = c->freq_smoother[b].y2;
    }
    lanes4 y1[SMOOTHER_VECTORS], y2[SMOOTHER_VECTORS];
    std::memcpy(y1, s1, sizeof y1);
    std::memcpy(y2, s2, sizeof y2);
    const smoother_lanes k = {splat(FORMANT_A), splat(FORMANT_B1), splat(FORMANT_B2)};
    run_lanes<SMOOTHER_VECTORS>(k, x, n, y1, y2, clamp);
    std::memcpy(s1, y1, sizeof y1);
    std::memcpy(s2, y2, sizeof y2);
    lanes_to_rows(x, n, rows);
    for (int b = 0; b < NUM_BRANCHES; ++b) c->amp_smoother[b] = {s1[b], s2[b]};
    for (int b = 0; b < 3; ++b) c->freq_smoother[b] = {s1[NUM_BRANCHES + b], s2[NUM_BRANCHES + b]};
}

// Lane 0 the period smoother, lane 1 the pulse-length smoother.
PARVOX_HOT void run_excitation_smoothers(smoothed_controls *c, int m, bool clamp) {
    alignas(16) float x[MAX_CONTROLS][4];
    for (int j = 0; j < m; ++j) {
        x[j][0] = c->pitch_period[j];
        x[j][1] = c->pulse_length[j];
        x[j][2] = x[j][3] = 0.0f;
    }
    lanes4 y1[1] = {{c->period_smoother.y1, c->pulse_length_smoother.y1, 0.0f, 0.0f}};
    lanes4 y2[1] = {{c->period_smoother.y2, c->pulse_length_smoother.y2, 0.0f, 0.0f}};
    const smoother_lanes k = {splat(EXCITATION_A), splat(EXCITATION_B1), splat(EXCITATION_B2)};
    run_lanes<1>(k, x, m, y1, y2, clamp);
    for (int j = 0; j < m; ++j) {
        c->pitch_period[j] = x[j][0];
        c->pulse_length[j] = x[j][1];
    }
    c->period_smoother = {y1[0][0], y2[0][0]};
    c->pulse_length_smoother = {y1[0][1], y2[0][1]};
}

}  // namespace

control_frame *current_frame = &frame_records[0];
control_frame *previous_frame = &frame_records[1];

int16_t &control_field(control_frame &frame, int i) { return frame.*FIELD_MEMBERS[i]; }

int16_t control_field(const control_frame &frame, int i) { return frame.*FIELD_MEMBERS[i]; }

void reset_control_state() {
    std::memset(frame_records, 0, sizeof frame_records);
    std::memset(&frame_controls, 0, sizeof frame_controls);
    current_frame = &frame_records[0];
    previous_frame = &frame_records[1];
    ended_stream = nullptr;
    control_lines = {};
}

int parse_control_line(const char *line, bool hex_form, control_frame *frame) {
    if (hex_form) {
        parse_hex_line(line, frame);
        return CONTROL_FIELDS;
    }
    return parse_decimal_line(line, frame);
}

bool read_control_frame(FILE *stream) {
    if (stream == ended_stream) {
        return false;
    }
    char line[LINE_CAPACITY + 1];
    for (;;) {
        if (read_line(stream, line) < 0) {
            return false;
        }
        if (line[0] != '*') {
            break;
        }
        if (stream == ended_stream) {
            return false;
        }
    }
    control_frame *older = previous_frame;
    previous_frame = current_frame;
    current_frame = older;
    const int values = parse_control_line(line, hex_controls, current_frame);
    if (!hex_controls) {
        count_decimal_line(line, values);
    }
    return true;
}

void remove_squeaks_in(control_frame *current, const control_frame *previous,
                       const synth_params *p) {
    for (int i = 4; i <= 7; ++i) {
        int64_t now = control_field(*current, i);
        int64_t before = control_field(*previous, i);
        if (now <= before - p->isqthr || (now == 1 && before > p->lsqthr)) {
            control_field(*current, i - 4) = control_field(*previous, i - 4);
        }
    }
}

void remove_squeaks() { remove_squeaks_in(current_frame, previous_frame, &params); }

void smooth_formant_controls(smoother_state *state, float *values, int n) {
    run_smoother(state, values, values, n, FORMANT_A, FORMANT_B1, FORMANT_B2);
}

void smooth_excitation_controls(smoother_state *state, float *values, int n) {
    run_smoother(state, values, values, n, EXCITATION_A, EXCITATION_B1, EXCITATION_B2);
}

// Steps 3 and 4 of the conversion: each branch's voicing factor and, for
// every formant control, its grid position and gain (before smoothing).
static void set_branch_controls(smoothed_controls *c, const synth_params *p,
                                const control_frame &cur) {
    const int n = p->formant_controls;
    float s = static_cast<float>(cur.voicing) / 2.0f - 21.0f;
    for (int i = 0; i < 4; ++i) {
        int b = FIELD_BRANCH[i];
        c->voicing_factor[b] = voicing_factor_of(s, p->dvoffs[b]);
        float position =
            static_cast<float>(control_field(cur, i) - 1) * p->freq_step[b] + p->freq_base[b];
        position = limit(position, -MAX_GRID_POSITION, MAX_GRID_POSITION);
        float gain = p->amp_table[limit_index(control_field(cur, i + 4), AMP_TABLE_SIZE)];
        for (int j = 0; j < n; ++j) {
            c->branch_freq[b][j] = position;
            c->branch_amp[b][j] = gain;
        }
    }
    float high_gain = p->amp_table[limit_index(cur.high_amp, AMP_TABLE_SIZE)];
    for (int b = 3; b <= 4; ++b) {
        c->voicing_factor[b] = voicing_factor_of(s, p->dvoffs[b]);
        float position = limit(p->freq_base[b], -MAX_GRID_POSITION, MAX_GRID_POSITION);
        float gain = (b == 4 && cur.voicing > 32) ? 0.0f : high_gain;
        for (int j = 0; j < n; ++j) {
            c->branch_freq[b][j] = position;
            c->branch_amp[b][j] = gain;
        }
    }
}

// The pulse period and length of every excitation control (before smoothing)
// and the nasal widening.
static void set_excitation_controls(smoothed_controls *c, const synth_params *p,
                                    const control_frame &cur) {
    // Indices outside the tables are limited to them.
    int f0 = limit_index(cur.f0_index, F0_TABLE_SIZE);
    int shifted = limit_index(cur.f0_index + (cur.pulse_shift - NO_PULSE_SHIFT) / 2, F0_TABLE_SIZE);
    float pulse_s = p->grpl / p->f0_table[shifted] + p->conts;
    float f0_hz = p->f0_table[f0];
    for (int j = 0; j < p->excitation_controls; ++j) {
        c->pitch_period[j] = 1.0f / f0_hz;
        c->pulse_length[j] = pulse_s;
    }

    // Widening stays within 0..1 whatever the divisor (zero or negative included).
    float amp_excess = static_cast<float>(cur.nasal_amp - cur.f1_amp) - p->aoffdn;
    float freq_excess = static_cast<float>(cur.f1_freq) - p->foffdn;
    float widening = (amp_excess > 0.0f ? amp_excess : 0.0f) *
                     (freq_excess > 0.0f ? freq_excess : 0.0f) / p->scaldn;
    c->nasal_widening = widening > 0.0f ? (widening < 1.0f ? widening : 1.0f) : 0.0f;
}

// The clamp flags after large jumps and the excitation decisions.
static void set_frame_flags(smoothed_controls *c, const synth_params *p, const control_frame &cur,
                            const control_frame *previous) {
    c->formant_clamp = false;
    for (int i = 0; i <= 3; ++i) {
        if (std::llabs(difference(cur, *previous, i)) >= p->ifrecl) {
            c->formant_clamp = true;
        }
    }
    for (int i = 4; i <= 8; ++i) {
        if (std::llabs(difference(cur, *previous, i)) >= p->iampcl) {
            c->formant_clamp = true;
        }
    }
    c->pitch_clamp = std::llabs(difference(cur, *previous, 10)) >= p->ipocl;

    c->previous_all_unvoiced = c->all_unvoiced;
    bool none_voiced = true;
    bool all_voiced = true;
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        none_voiced = none_voiced && c->voicing_factor[b] == 0.0f;
        all_voiced = all_voiced && c->voicing_factor[b] == 1.0f;
    }
    c->all_unvoiced = none_voiced;
    c->all_voiced = all_voiced;
    c->voicing_onset = c->previous_all_unvoiced && !c->all_unvoiced;

    int rises = 0;
    for (int i = 4; i <= 8; ++i) {
        if (difference(cur, *previous, i) >= p->iampcl) {
            ++rises;
        }
    }
    c->burst_onset = rises > 1;
}

void convert_controls_with(smoothed_controls *c, const synth_params *p,
                           const control_frame *current, const control_frame *previous) {
    set_branch_controls(c, p, *current);
    set_excitation_controls(c, p, *current);
    set_frame_flags(c, p, *current, previous);
    run_formant_smoothers(c, p->formant_controls, c->formant_clamp);
    run_excitation_smoothers(c, p->excitation_controls, c->pitch_clamp);
}

void convert_controls() {
    convert_controls_with(&frame_controls, &params, current_frame, previous_frame);
}
