// The rule table of phonframes: per phoneme, the targets of the frame controls,
// the rank and boundary rules that shape the transitions, and the parts of a
// stop (burst, aspiration). Read from a plain-text rule file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The controls that rules set, in the order used by every per-control array.
enum control_index {
    CTL_F1,  // first formant frequency, Hz
    CTL_F2,  // second formant frequency, Hz
    CTL_F3,  // third formant frequency, Hz
    CTL_A1,  // first formant amplitude, dB steps 0..63
    CTL_A2,
    CTL_A3,
    CTL_AH,  // amplitude of the fixed high branches
    CTL_FN,  // nasal formant frequency, Hz
    CTL_AN,  // nasal formant amplitude
    CTL_V,   // degree of voicing, 0 (noise) .. 255 (pulses)
    CONTROL_COUNT
};

// Name of a control as written in the rule file ("F1", "AH", "V").
const char* control_name(int control);
// Lowest and highest value a control may take, so that every frame stays
// inside the synthesizer's tables with its default parameters.
double control_minimum(int control);
double control_maximum(int control);
// True for the frequency controls (F1, F2, F3, FN).
bool is_frequency_control(int control);

enum phoneme_kind {
    KIND_SILENCE,
    KIND_VOWEL,
    KIND_DIPHTHONG,
    KIND_STOP,
    KIND_AFFRICATE,
    KIND_FRICATIVE,
    KIND_NASAL,
    KIND_LIQUID,
    KIND_GLIDE,
    KIND_ASPIRATE,
};

// A target: one value per control. A control marked from_neighbour takes the
// value of the neighbouring phoneme (the next one, else the previous one).
struct control_targets {
    double value[CONTROL_COUNT] = {};
    bool from_neighbour[CONTROL_COUNT] = {};
};

// How the dominant phoneme of a boundary sets the boundary value of a control
// and the transition lengths on both sides. Without a fixed part the boundary
// value is the mean of the two targets.
struct boundary_rule {
    bool has_fixed = false;
    double fixed = 0;       // fixed contribution
    double proportion = 0;  // share of the neighbour's target
    double inside_ms = 0;   // transition inside the dominant phoneme
    double outside_ms = 0;  // transition inside the neighbour
};

// A release part of a stop or affricate: its length and the amplitudes and
// voicing that replace the closure's while it lasts.
struct release_part {
    bool present = false;
    double duration_ms = 0;
    double value[CONTROL_COUNT] = {};
    bool sets[CONTROL_COUNT] = {};
};

struct phoneme_rule {
    std::string name;
    phoneme_kind kind = KIND_VOWEL;
    int rank = 0;
    control_targets target;  // the first (or only) target
    control_targets second;  // diphthongs and affricates: the second target
    bool has_second = false;
    release_part burst;       // stops and affricates
    release_part aspiration;  // voiceless stops before a vowel
    boundary_rule boundary[CONTROL_COUNT];
    int line = 0;  // line of the rule file where the block starts
};

struct rule_table {
    std::vector<phoneme_rule> rules;
};

// Parses rule-file text. On failure returns false and sets `error` to
// "<file_name>: line N: field 'F': problem"; `table` is then unspecified.
bool parse_rule_text(const char* text, std::size_t length, const char* file_name, rule_table* table,
                     std::string* error);

// Reads and parses a rule file; an unreadable file is an error too.
bool read_rule_file(const char* path, rule_table* table, std::string* error);

// The rule of a phoneme name, or null.
const phoneme_rule* find_rule(const rule_table& table, const std::string& name);
