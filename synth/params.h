// The synthesizer's parameter record: file reading, checks, derived frame timing and lookup tables.
#pragma once

#include <cstdint>

// Marks a per-frame loop that is also built for processors with AVX2, chosen
// at load time. Only the instruction encoding differs: contraction into fused
// multiply-adds is off for the synthesizer, so every clone rounds the same.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define PARVOX_HOT __attribute__((target_clones("avx2", "default")))
#else
#define PARVOX_HOT
#endif

// Capacities of the fixed-size buffers sized by the parameter record.
constexpr int MAX_FRAME_LENGTH = 112;  // samples per frame at the main rate
constexpr int MAX_EXCITATION_FRAME_LENGTH =
    4 * MAX_FRAME_LENGTH;         // samples per frame at the excitation rate
constexpr int MAX_CONTROLS = 50;  // smoothed formant or excitation controls per frame
constexpr int NUM_BRANCHES = 6;   // 0 F1, 1 F2, 2 F3, 3 fixed fourth, 4 fixed high, 5 nasal
constexpr int NUM_CONTROL_OFFSETS = 12;
constexpr int PULSE_POINTS = 72;  // points of the glottal pulse shape (expat)
constexpr int PHASE_POINTS =
    18;  // entries of the glottal phase pattern (gapat), one per four points
constexpr int COS_TABLE_SIZE = 256;
constexpr int RADIUS_TABLE_SIZE = 32;
constexpr int F0_TABLE_SIZE = 64;
constexpr int AMP_TABLE_SIZE = 64;
constexpr int REQUIRED_SAMPLE_RATE_HZ = 11000;

// The excitation generator starts with this period and pulse length.
constexpr float INITIAL_PITCH_PERIOD_S = 0.01f;
constexpr float INITIAL_PULSE_LENGTH_S = 0.007f;

// All parameters of the synthesizer, the frame timing derived from them and the
// lookup tables built from them. Filled once at start-up, read-only afterwards.
struct synth_params {
    // Read from the parameter file (or built-in defaults). Rates and lengths are
    // replaced by the values actually used once the derivation has run.
    float srate;   // Hz, main sampling rate
    float frate;   // frames per second
    float cratef;  // Hz, rate of the smoothed formant controls
    float cratex;  // Hz, rate of the smoothed excitation controls
    float fqlow;   // Hz, first frequency of the resonator frequency grid
    float fqstep;  // Hz, spacing of the frequency grid
    float bwlow;   // Hz, first bandwidth of the resonator bandwidth grid
    float bwstep;  // Hz, spacing of the bandwidth grid
    float foscal;  // Hz, base of the F0 scale
    float fobase;  // F0 ratio per 16 steps
    float dbstep;  // dB per amplitude step
    float aoffdn;  // dB in the file; amplitude steps after the derivation
    float foffdn;  // Hz in the file; a first-formant control value after the derivation
    float scaldn;  // nasal widening divisor
    float conts;   // ms in the file; seconds after the derivation
    float grpl;    // pulse length as a fraction of the period
    float xscale;  // peak scale of pulse and noise sources
    float foi;     // noise power
    float gclf;    // constant gain of branches 0 and 5
    float sil;     // ms of silence before a burst
    float gouv;    // bandwidth modulation input with noise excitation
    int isqthr;    // squeak remover: amplitude drop threshold
    int lsqthr;    // squeak remover: level threshold
    int ictlof[NUM_CONTROL_OFFSETS];  // read and checked, not used by the synthesis
    float flflim[NUM_BRANCHES];       // Hz, frequency of control value 1
    float fincrm[NUM_BRANCHES];       // Hz per control unit
    float bdwtab[NUM_BRANCHES];       // Hz, base bandwidth
    float bdwmod[NUM_BRANCHES];       // Hz per unit of bandwidth modulation
    float bdwnas[NUM_BRANCHES];       // Hz per unit of nasal widening
    float fqmod[NUM_BRANCHES];        // Hz per unit of glottal phase
    float dvoffs[NUM_BRANCHES];       // voicing offset
    float fmgain[NUM_BRANCHES];       // sign of each branch's gain
    int ifrecl;                       // formant frequency clamping limit
    int iampcl;                       // formant amplitude clamping limit
    int ipocl;                        // excitation period clamping limit
    int alfcon;                       // 0..255: the low byte of the value read; non-zero means on
    int expat[PULSE_POINTS];          // glottal pulse shape, -127..127
    int gapat[PHASE_POINTS];          // glottal phase pattern, 0..15

    // Derived frame timing (read_parameters).
    int frame_length;      // samples per frame at the main rate, at most MAX_FRAME_LENGTH
    int formant_segment;   // main-rate samples per smoothed formant control
    int formant_controls;  // smoothed formant controls per frame, at most MAX_CONTROLS
    int control_start[MAX_CONTROLS];  // first sample of each formant control in the frame
    int control_end[MAX_CONTROLS];    // last sample (inclusive) of each formant control
    float excitation_rate;            // Hz, 4 x srate
    int excitation_frame_length;      // 4 x frame_length
    int excitation_segment;           // excitation-rate samples per smoothed excitation control
    int excitation_controls;  // smoothed excitation controls per frame, at most MAX_CONTROLS
    float noise_amplitude;
    int silence_samples;  // main-rate samples of silence before a burst, at most frame_length
    float pulse_shape[PULSE_POINTS];
    float phase_pattern[PHASE_POINTS];
    float branch_gain[NUM_BRANCHES];  // gclf,1,1,1,1,gclf; times fmgain after build_tables

    // Lookup tables and per-branch positions (build_tables).
    float cos_table[COS_TABLE_SIZE];
    float radius_table[RADIUS_TABLE_SIZE];
    float f0_table[F0_TABLE_SIZE];    // Hz
    float amp_table[AMP_TABLE_SIZE];  // linear gains
    float freq_base[NUM_BRANCHES];    // cos_table positions, counted from 1
    float freq_step[NUM_BRANCHES];
    float freq_mod[NUM_BRANCHES];
    float bw_base[NUM_BRANCHES];  // radius_table positions, counted from 1
    float bw_mod_step[NUM_BRANCHES];
    float bw_nasal_step[NUM_BRANCHES];
};

// The program's one parameter record.
extern synth_params params;

// Names of the parameter and glottal files, set by the driver before read_parameters.
// Null or empty means none: built-in defaults, and no glottal file.
extern const char *parameter_file_name;
extern const char *glottal_file_name;

// Fills p with the built-in defaults (file fields only; nothing derived).
void set_default_parameters(synth_params *p);

// Reads the parameter file (and glottal file) into p, or keeps the defaults when
// parameter_file is null or empty, then checks the values and derives the frame
// timing. Every failure is fatal through zir_fatal; rate warnings go to stderr.
void read_parameters_from(synth_params *p, const char *parameter_file, const char *glottal_file);

// Reads the 72 expat and 18 gapat values of a glottal file (numbers only) into p.
// Fatal when the file cannot be opened or holds fewer values.
void read_glottal_file(synth_params *p, const char *glottal_file);

// read_parameters_from on the global record with the driver's file names.
void read_parameters();

// Builds the lookup tables and per-branch positions of p (after read_parameters_from).
void build_tables_for(synth_params *p);

// build_tables_for on the global record, then resets the control-frame state
// (the previous-frame record holds zeros, smoothers start at zero).
void build_tables();
