// Reads, checks and derives the synthesizer's parameter record, and builds its lookup tables.
#include "params.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control.h"
#include "zir.h"

synth_params params;
const char *parameter_file_name = nullptr;
const char *glottal_file_name = nullptr;

namespace {

// The program's values of 2 pi and pi, as written; the grids are built from them.
constexpr double TWO_PI = 6.2831854;
constexpr double PI = 3.1415927;

// Limits that keep every derived length and position representable and the
// excitation generator's loops bounded; no sensible parameter set comes near them.
constexpr float MIN_F0_HZ = 1.0f;
constexpr float MAX_F0_HZ = 100000.0f;
constexpr float MAX_PULSE_LENGTH_S = 1.0f;

const int DEFAULT_EXPAT[PULSE_POINTS] = {5,  5,  5,  5,  5,  5,  5,  4,  4,  4,  4,  4,  3,  3,  3,
                                         2,  2,  2,  1,  1,  1,  0,  0,  0,  -1, -1, -1, -2, -2, -2,
                                         -3, -3, -3, -4, -4, -4, -4, -4, -5, -5, -5, -5, -5, -5, -5,
                                         -8, -8, -8, -7, -7, -7, -7, -7, -6, -6, -6, -6, -6, -5, -5,
                                         -5, -4, -4, -3, -3, -3, -2, -2, -1, -1, 0,  127};
const int DEFAULT_GAPAT[PHASE_POINTS] = {1,  2,  3,  4,  5,  6,  7,  9, 11,
                                         12, 14, 15, 15, 14, 13, 10, 7, 3};

// Reads the parameter and glottal files with the rules of formatted input:
// white space between items is free, a number is the longest prefix that reads
// as one, and a keyword matches character by character up to the first
// difference. Characters looked at but not used go back on a pending stack, so
// a failed match leaves the input where it stopped.
struct text_scanner {
    FILE *file;
    int pending_count;
    unsigned char pending[512];
};

int scan_get(text_scanner *s) {
    if (s->pending_count > 0) {
        return s->pending[--s->pending_count];
    }
    return getc(s->file);
}

void scan_unget(text_scanner *s, int c) {
    if (c != EOF && s->pending_count < static_cast<int>(sizeof s->pending)) {
        s->pending[s->pending_count++] = static_cast<unsigned char>(c);
    }
}

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void scan_skip_space(text_scanner *s) {
    int c;
    do {
        c = scan_get(s);
    } while (is_space(c));
    scan_unget(s, c);
}

// Matches a keyword; on a difference the differing character stays unread.
bool scan_literal(text_scanner *s, const char *word) {
    for (const char *w = word; *w != '\0'; ++w) {
        int c = scan_get(s);
        if (c != static_cast<unsigned char>(*w)) {
            scan_unget(s, c);
            return false;
        }
    }
    return true;
}

// Collects the next word (up to white space) into token and returns its length.
// The caller converts a prefix of it and puts the rest back.
constexpr int MAX_TOKEN = 256;

int scan_token(text_scanner *s, char token[MAX_TOKEN + 1]) {
    scan_skip_space(s);
    int length = 0;
    while (length < MAX_TOKEN) {
        int c = scan_get(s);
        if (c == EOF || is_space(c) || c == '\0') {
            scan_unget(s, c);
            break;
        }
        token[length++] = static_cast<char>(c);
    }
    token[length] = '\0';
    return length;
}

void scan_put_back(text_scanner *s, const char *from, const char *to) {
    while (to > from) {
        scan_unget(s, static_cast<unsigned char>(*--to));
    }
}

// Reads one number the way "%f" does. False when no number stands there.
bool scan_float(text_scanner *s, float *value) {
    char token[MAX_TOKEN + 1];
    int length = scan_token(s, token);
    char *end = token;
    float v = length > 0 ? std::strtof(token, &end) : 0.0f;
    scan_put_back(s, end, token + length);
    if (end == token) {
        return false;
    }
    *value = v;
    return true;
}

enum class int_read { ok, missing, overflow };

// Reads one decimal integer the way "%d" does, telling an overflow apart.
int_read scan_int(text_scanner *s, int *value) {
    char token[MAX_TOKEN + 1];
    int length = scan_token(s, token);
    char *end = token;
    errno = 0;
    long v = length > 0 ? std::strtol(token, &end, 10) : 0;
    scan_put_back(s, end, token + length);
    if (end == token) {
        return int_read::missing;
    }
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        return int_read::overflow;
    }
    *value = static_cast<int>(v);
    return int_read::ok;
}

const char *shown_name(const char *name) { return name != nullptr ? name : "built-in parameters"; }

// One value of the parameter file, and the keyword that follows it.
struct float_field {
    float *value;
    const char *keyword;
};

struct int_field {
    int *value;
    const char *keyword;
};

// Reads "%f kw%f kw..." as one formatted-input call would. A keyword that does
// not match after the last number does not count as a failure, like there.
bool read_float_step(text_scanner *s, const float_field *fields, int count, const char *file) {
    for (int i = 0; i < count; ++i) {
        if (!scan_float(s, fields[i].value)) {
            return false;
        }
        if (!std::isfinite(*fields[i].value)) {
            zir_fatal("%s is not a finite number in '%s'", fields[i].keyword, file);
        }
        scan_skip_space(s);
        if (!scan_literal(s, fields[i].keyword)) {
            return i == count - 1;
        }
    }
    return true;
}

bool read_int_step(text_scanner *s, const int_field *fields, int count, const char *file) {
    for (int i = 0; i < count; ++i) {
        int_read r = scan_int(s, fields[i].value);
        if (r == int_read::missing) {
            return false;
        }
        if (r == int_read::overflow) {
            zir_fatal("%s out of range in '%s'", fields[i].keyword, file);
        }
        scan_skip_space(s);
        if (!scan_literal(s, fields[i].keyword)) {
            return i == count - 1;
        }
    }
    return true;
}

// Skips white space, a table keyword and white space; the keyword is not
// checked here, a mismatch makes the following number fail instead.
void skip_keyword(text_scanner *s, const char *keyword) {
    scan_skip_space(s);
    if (scan_literal(s, keyword)) {
        scan_skip_space(s);
    }
}

// Reads count integers with no keywords between them; false when one is missing.
bool read_int_list(text_scanner *s, int *values, int count, const char *keyword, const char *file) {
    for (int i = 0; i < count; ++i) {
        int_read r = scan_int(s, &values[i]);
        if (r == int_read::missing) {
            return false;
        }
        if (r == int_read::overflow) {
            zir_fatal("%s out of range in '%s'", keyword, file);
        }
    }
    return true;
}

void read_glottal_tables(text_scanner *s, synth_params *p, const char *parameter_file,
                         const char *glottal_file) {
    if (glottal_file != nullptr && glottal_file[0] != '\0') {
        read_glottal_file(p, glottal_file);
        return;
    }
    skip_keyword(s, "expat");
    bool ok = read_int_list(s, p->expat, PULSE_POINTS, "expat", parameter_file);
    if (ok) {
        skip_keyword(s, "gapat");
        ok = read_int_list(s, p->gapat, PHASE_POINTS, "gapat", parameter_file);
    }
    if (!ok) {
        zir_fatal("error reading file");
    }
}

// The general variables: rates, scales, source and squeak remover values.
void read_general_variables(text_scanner *scanner, synth_params *p, const char *file) {
    text_scanner &s = *scanner;
    const float_field general[] = {
        {&p->srate, "srate"}, {&p->frate, "frate"}, {&p->cratef, "cratef"}, {&p->cratex, "cratex"}};
    const float_field scales[] = {
        {&p->fqlow, "fqlow"},   {&p->fqstep, "fqstep"}, {&p->bwlow, "bwlow"},
        {&p->bwstep, "bwstep"}, {&p->foscal, "foscal"}, {&p->fobase, "fobase"},
        {&p->dbstep, "dbstep"}, {&p->aoffdn, "aoffdn"}, {&p->foffdn, "foffdn"},
        {&p->scaldn, "scaldn"}, {&p->conts, "conts"},   {&p->grpl, "grpl"}};
    const float_field source[] = {{&p->xscale, "xscale"},
                                  {&p->foi, "foi"},
                                  {&p->gclf, "gclf"},
                                  {&p->sil, "sil"},
                                  {&p->gouv, "gouv"}};
    const int_field squeak[] = {{&p->isqthr, "isqthr"}, {&p->lsqthr, "lsqthr"}};
    if (!read_float_step(&s, general, 4, file) || !read_float_step(&s, scales, 12, file) ||
        !read_float_step(&s, source, 5, file) || !read_int_step(&s, squeak, 2, file)) {
        zir_fatal("error reading general variables from '%s'", file);
    }
}

// The control offsets and the six-entry tables of the branches.
void read_branch_tables(text_scanner *scanner, synth_params *p, const char *file) {
    text_scanner &s = *scanner;
    skip_keyword(&s, "ictlof");
    if (!read_int_list(&s, p->ictlof, NUM_CONTROL_OFFSETS, "ictlof", file)) {
        zir_fatal("error reading control signal offsets from '%s'", file);
    }

    struct {
        float *values;
        const char *keyword;
    } const tables[] = {{p->flflim, "flflim"}, {p->fincrm, "fincrm"}, {p->bdwtab, "bdwtab"},
                        {p->bdwmod, "bdwmod"}, {p->bdwnas, "bdwnas"}, {p->fqmod, "fqmod"},
                        {p->dvoffs, "dvoffs"}, {p->fmgain, "fmgain"}};
    for (const auto &table : tables) {
        skip_keyword(&s, table.keyword);
        for (int b = 0; b < NUM_BRANCHES; ++b) {
            if (!scan_float(&s, &table.values[b])) {
                zir_fatal("error reading '%s'", file);
            }
            if (!std::isfinite(table.values[b])) {
                zir_fatal("%s is not a finite number in '%s'", table.keyword, file);
            }
        }
    }
}

// The smoothing clamp limits and the alfcon flag.
void read_clamps_and_flag(text_scanner *scanner, synth_params *p, const char *file) {
    text_scanner &s = *scanner;
    const int_field clamps[] = {
        {&p->ifrecl, "ifrecl"}, {&p->iampcl, "iampcl"}, {&p->ipocl, "ipocl"}};
    if (!read_int_step(&s, clamps, 3, file)) {
        zir_fatal("error reading smoothing filter clamping limits from '%s'", file);
    }
    int flag = 0;
    const int_field operation[] = {{&flag, "alfcon"}};
    if (!read_int_step(&s, operation, 1, file)) {
        zir_fatal("error reading operation control flag (alfcon) from '%s' ", file);
    }
    p->alfcon = flag & 0xff;
}

void read_parameter_file(synth_params *p, const char *file, const char *glottal_file) {
    FILE *f = std::fopen(file, "r");
    if (f == nullptr) {
        zir_fatal("can't open parameter file '%s'", file);
    }
    text_scanner s{f, 0, {}};
    read_general_variables(&s, p, file);
    read_branch_tables(&s, p, file);
    read_clamps_and_flag(&s, p, file);
    read_glottal_tables(&s, p, file, glottal_file);
    std::fclose(f);
}

void check_finite(float value, const char *keywords, const char *file) {
    if (!std::isfinite(value)) {
        zir_fatal("%s out of range in '%s'", keywords, file);
    }
}

// The tables are computed in double precision and rounded once to float, so
// that every entry is the nearest float to its formula; computing the argument
// in float first would move many entries of the frequency grid by a step.
float f0_entry(const synth_params *p, int l) {
    return static_cast<float>(static_cast<double>(p->foscal) *
                              std::pow(static_cast<double>(p->fobase), (l + 1) / 16.0));
}

float amp_entry(const synth_params *p, int l) {
    return static_cast<float>(std::pow(10.0, (l - 63) * static_cast<double>(p->dbstep) / 20.0));
}

float cos_entry(const synth_params *p, int k) {
    const double frequency_hz = static_cast<double>(p->fqlow) + k * static_cast<double>(p->fqstep);
    return static_cast<float>(std::cos(TWO_PI * frequency_hz / static_cast<double>(p->srate)));
}

float radius_entry(const synth_params *p, int k) {
    const double bandwidth_hz = static_cast<double>(p->bwlow) + k * static_cast<double>(p->bwstep);
    return static_cast<float>(std::exp(-PI * bandwidth_hz / static_cast<double>(p->srate)));
}

// The grid and per-branch positions of build_tables, computed once here so that
// a parameter set that would make them infinite is refused before any output.
void check_tables(const synth_params *p, const char *file) {
    check_finite(p->fqlow + 255.0f * p->fqstep, "fqlow or fqstep", file);
    for (int k = 0; k < RADIUS_TABLE_SIZE; ++k) {
        check_finite(radius_entry(p, k), "bwlow or bwstep", file);
    }
    for (int l = 0; l < AMP_TABLE_SIZE; ++l) {
        check_finite(amp_entry(p, l), "dbstep", file);
    }
    for (int l = 0; l < F0_TABLE_SIZE; ++l) {
        float f0 = f0_entry(p, l);
        if (!(f0 >= MIN_F0_HZ && f0 <= MAX_F0_HZ)) {
            zir_fatal("%s out of range in '%s'", "foscal or fobase", file);
        }
        float pulse_s = p->grpl / f0 + p->conts;
        if (!(pulse_s >= 0.0f && pulse_s <= MAX_PULSE_LENGTH_S)) {
            zir_fatal("%s out of range in '%s'", "grpl or conts", file);
        }
    }
    float fi = p->fqstep != 0.0f ? 1.0f / p->fqstep : 0.0f;
    float bi = p->bwstep != 0.0f ? 1.0f / p->bwstep : 0.0f;
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        check_finite(fi * p->flflim[b] - (fi * p->fqlow - 1.5f), "fqlow, fqstep or flflim", file);
        check_finite(fi * p->fincrm[b], "fqstep or fincrm", file);
        check_finite(fi * p->fqmod[b], "fqstep or fqmod", file);
        check_finite(bi * p->bdwtab[b] - (bi * p->bwlow - 1.5f), "bwlow, bwstep or bdwtab", file);
        check_finite(bi * p->bdwmod[b], "bwstep or bdwmod", file);
        check_finite(bi * p->bdwnas[b], "bwstep or bdwnas", file);
        check_finite(p->gclf * p->fmgain[b], "gclf or fmgain", file);
    }
}

// Checks the values and derives the frame timing, in the fixed order whose
// messages and warnings users see.
// The pulse shape and phase pattern as the excitation uses them.
void scale_glottal_tables(synth_params *p, const char *file) {
    for (int i = 0; i < PULSE_POINTS; ++i) {
        p->pulse_shape[i] = static_cast<float>(p->expat[i]) * p->xscale / 127.0f;
        check_finite(p->pulse_shape[i], "xscale", file);
    }
    for (int i = 0; i < PHASE_POINTS; ++i) {
        p->phase_pattern[i] = static_cast<float>(p->gapat[i]) / 15.0f;
    }
}

// Refuses a main rate other than 11000 Hz and frame or control rates that
// are not positive or lie below the frame rate.
void check_rates(const synth_params *p) {
    // Rounded and compared as floats, so that a huge or tiny rate never reaches
    // an integer conversion.
    if (std::trunc(p->srate + 0.5f) != static_cast<float>(REQUIRED_SAMPLE_RATE_HZ)) {
        zir_fatal("Main sampling rate must be %d", REQUIRED_SAMPLE_RATE_HZ);
    }
    if (p->frate <= 0.0f) {
        zir_fatal("Frame rate < 0");
    }
    if (p->cratef <= 0.0f) {
        zir_fatal("Formant smoothed control rate < 0.0");
    }
    if (p->cratex <= 0.0f) {
        zir_fatal("Excitation smoothed control rate < 0.0");
    }
    if (p->cratef < p->frate) {
        zir_fatal("Formant control rate < frame rate");
    }
    if (p->cratex < p->frate) {
        zir_fatal("Excitation control rate < frame rate");
    }
}

// The frame length in samples; the main rate becomes a whole number of them
// per frame.
void derive_frame_length(synth_params *p) {
    float frame_samples = std::trunc(p->srate / p->frate + 0.5f);
    if (p->srate - std::trunc(p->srate / p->frate) * p->frate != 0.0f) {
        std::fprintf(stderr,
                     "%s: warning - non integer number of samples per frame\n"
                     "Main sampling rate adjusted to %f Hz\n",
                     "parvox", static_cast<double>(frame_samples * p->frate));
    }
    if (frame_samples > static_cast<float>(MAX_FRAME_LENGTH)) {
        zir_fatal("frame rate too low: frame > %d samples", MAX_FRAME_LENGTH);
    }
    p->frame_length = static_cast<int>(frame_samples);
    p->srate = static_cast<float>(p->frame_length) * p->frate;
}

// The samples per formant and per excitation control; the control rates
// become the rates actually used.
void derive_control_segments(synth_params *p) {
    // A control rate above twice the main rate rounds to segments of no sample,
    // which are more controls per frame than any buffer holds.
    float segment = std::trunc(p->srate / p->cratef + 0.5f);
    if (segment < 1.0f) {
        zir_fatal(">50 smoothed formant controls per frame");
    }
    p->formant_segment = static_cast<int>(segment);
    if (p->srate - std::trunc(p->srate / p->cratef) * p->cratef != 0.0f) {
        std::fprintf(stderr,
                     "%s: warning - Formant smoothed control rate not submultiple of main rate\n"
                     "Control rate adjusted to %f Hz\n",
                     "parvox",
                     static_cast<double>(p->srate / static_cast<float>(p->formant_segment)));
    }
    float excitation_srate = 4.0f * p->srate;
    float u = std::trunc(excitation_srate / p->cratex + 0.5f);
    if (u < 1.0f) {
        zir_fatal(">50 smoothed excitation controls per frame");
    }
    p->excitation_segment = static_cast<int>(u);
    if (excitation_srate - std::trunc(excitation_srate / p->cratex) * p->cratex != 0.0f) {
        std::fprintf(stderr,
                     "%s: warning - Excitation smoothed control rate not a submultiple of higher "
                     "excitation sampling rate, adjusted to %f Hz\n",
                     "parvox", static_cast<double>(excitation_srate / u));
    }
    p->cratef = p->srate / static_cast<float>(p->formant_segment);
    p->cratex = excitation_srate / u;
    if (p->cratef / p->frate > static_cast<float>(MAX_CONTROLS)) {
        zir_fatal(">50 smoothed formant controls per frame");
    }
    if (p->cratex / p->frate > static_cast<float>(MAX_CONTROLS)) {
        zir_fatal(">50 smoothed excitation controls per frame");
    }
    // The segments keep their rounded integer values: dividing the rate by the
    // adjusted control rate again could land a hair below them and truncate to
    // one sample less, giving more controls per frame than were checked above.
}

// Noise amplitude, silence before a burst, nasal widening and the constant
// pulse length in the units the synthesis uses.
void convert_units(synth_params *p, const char *file) {
    if (p->foi < 0.0f) {
        p->foi = 0.0f;
    }
    p->noise_amplitude = std::sqrt(p->foi / p->srate) * p->xscale;
    check_finite(p->noise_amplitude, "foi or xscale", file);

    if (p->sil < 0.0f) {
        zir_fatal("%s out of range in '%s'", "sil", file);
    }
    // Limited before the conversion, so a huge silence is a whole frame of it.
    float silence = std::trunc(p->sil * p->srate / 1000.0f);
    p->silence_samples =
        silence < static_cast<float>(p->frame_length) ? static_cast<int>(silence) : p->frame_length;

    if (p->dbstep != 0.0f) {
        p->aoffdn = p->aoffdn / p->dbstep;
        check_finite(p->aoffdn, "aoffdn or dbstep", file);
    }
    if (p->fincrm[0] != 0.0f) {
        p->foffdn = (p->foffdn - p->flflim[0]) / p->fincrm[0];
        check_finite(p->foffdn, "foffdn, flflim or fincrm", file);
    }
    p->conts = p->conts / 1000.0f;
}

// The first and last sample of every formant control and the excitation's
// frame sizes.
void set_control_bounds(synth_params *p) {
    p->formant_controls = (p->frame_length - 1) / p->formant_segment + 1;
    for (int k = 0; k < p->formant_controls; ++k) {
        p->control_start[k] = k * p->formant_segment;
        int end = (k + 1) * p->formant_segment;
        p->control_end[k] = (end < p->frame_length ? end : p->frame_length) - 1;
    }

    p->fobase = std::fabs(p->fobase);
    p->foscal = std::fabs(p->foscal);

    p->excitation_rate = 4.0f * p->srate;
    p->excitation_frame_length = 4 * p->frame_length;
    p->excitation_controls = (p->excitation_frame_length - 1) / p->excitation_segment + 1;
}

void derive_timing(synth_params *p, const char *file) {
    scale_glottal_tables(p, file);
    check_rates(p);
    derive_frame_length(p);
    derive_control_segments(p);
    convert_units(p, file);
    set_control_bounds(p);
    p->branch_gain[0] = p->gclf;
    p->branch_gain[1] = 1.0f;
    p->branch_gain[2] = 1.0f;
    p->branch_gain[3] = 1.0f;
    p->branch_gain[4] = 1.0f;
    p->branch_gain[5] = p->gclf;
    check_tables(p, file);
}

}  // namespace

void set_default_parameters(synth_params *p) {
    std::memset(p, 0, sizeof *p);
    p->srate = 11000.0f;
    p->frate = 100.0f;
    p->cratef = 2750.0f;
    p->cratex = 1100.0f;
    p->fqlow = 100.0f;
    p->fqstep = 18.0f;
    p->bwlow = 0.0f;
    p->bwstep = 10.0f;
    p->foscal = 25.0f;
    p->fobase = 2.0f;
    p->dbstep = 1.0f;
    p->aoffdn = 4.0f;
    p->foffdn = 490.0f;
    p->scaldn = 100.0f;
    p->conts = 0.0f;
    p->grpl = 0.6f;
    p->xscale = 3800.0f;
    p->foi = 180.0f;
    p->gclf = 28.4f;
    p->sil = 5.0f;
    p->gouv = 2.0f;
    p->isqthr = 28;
    p->lsqthr = 19;
    const float flflim[NUM_BRANCHES] = {125, 550, 1350, 3500, 3500, 95};
    const float fincrm[NUM_BRANCHES] = {25, 50, 50, 0, 0, 5};
    const float bdwtab[NUM_BRANCHES] = {60, 70, 90, 200, 310, 180};
    const float bdwmod[NUM_BRANCHES] = {200, 100, 100, 100, 0, 0};
    const float bdwnas[NUM_BRANCHES] = {120, 70, 90, 0, 0, 0};
    const float dvoffs[NUM_BRANCHES] = {16, 12, 8, 4, 0, 20};
    const float fmgain[NUM_BRANCHES] = {1, -1, 1, -1, 1, -1};
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        p->flflim[b] = flflim[b];
        p->fincrm[b] = fincrm[b];
        p->bdwtab[b] = bdwtab[b];
        p->bdwmod[b] = bdwmod[b];
        p->bdwnas[b] = bdwnas[b];
        p->fqmod[b] = 0.0f;
        p->dvoffs[b] = dvoffs[b];
        p->fmgain[b] = fmgain[b];
    }
    p->ifrecl = 16;
    p->iampcl = 12;
    p->ipocl = 7;
    p->alfcon = 255;
    std::memcpy(p->expat, DEFAULT_EXPAT, sizeof p->expat);
    std::memcpy(p->gapat, DEFAULT_GAPAT, sizeof p->gapat);
}

void read_glottal_file(synth_params *p, const char *glottal_file) {
    FILE *g = std::fopen(glottal_file, "r");
    if (g == nullptr) {
        zir_fatal("cannot open glottal file '%s'", glottal_file);
    }
    text_scanner s{g, 0, {}};
    if (!read_int_list(&s, p->expat, PULSE_POINTS, "expat", glottal_file) ||
        !read_int_list(&s, p->gapat, PHASE_POINTS, "gapat", glottal_file)) {
        zir_fatal("error reading file");
    }
    std::fclose(g);
}

void read_parameters_from(synth_params *p, const char *parameter_file, const char *glottal_file) {
    set_default_parameters(p);
    bool from_file = parameter_file != nullptr && parameter_file[0] != '\0';
    if (from_file) {
        read_parameter_file(p, parameter_file, glottal_file);
    }
    derive_timing(p, shown_name(from_file ? parameter_file : nullptr));
}

void read_parameters() { read_parameters_from(&params, parameter_file_name, glottal_file_name); }

void build_tables_for(synth_params *p) {
    for (int k = 0; k < COS_TABLE_SIZE; ++k) {
        p->cos_table[k] = cos_entry(p, k);
    }
    for (int k = 0; k < RADIUS_TABLE_SIZE; ++k) {
        p->radius_table[k] = radius_entry(p, k);
    }
    float fi = p->fqstep != 0.0f ? 1.0f / p->fqstep : 0.0f;
    float bi = p->bwstep != 0.0f ? 1.0f / p->bwstep : 0.0f;
    for (int b = 0; b < NUM_BRANCHES; ++b) {
        p->branch_gain[b] = p->branch_gain[b] * p->fmgain[b];
        p->bw_base[b] = bi * p->bdwtab[b] - (bi * p->bwlow - 1.5f);
        p->bw_mod_step[b] = bi * p->bdwmod[b];
        p->bw_nasal_step[b] = bi * p->bdwnas[b];
        p->freq_base[b] = fi * p->flflim[b] - (fi * p->fqlow - 1.5f);
        p->freq_step[b] = fi * p->fincrm[b];
        p->freq_mod[b] = fi * p->fqmod[b];
    }
    for (int l = 0; l < F0_TABLE_SIZE; ++l) {
        p->f0_table[l] = f0_entry(p, l);
    }
    for (int l = 0; l < AMP_TABLE_SIZE; ++l) {
        p->amp_table[l] = amp_entry(p, l);
    }
    // Entries 1 and 2 are silence, so that a branch can be switched off.
    p->amp_table[1] = 0.0f;
    p->amp_table[2] = 0.0f;
}

void build_tables() {
    build_tables_for(&params);
    reset_control_state();
}
