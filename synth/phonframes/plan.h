// Turns a phoneme sequence into per-phoneme control tracks: targets resolved,
// boundary values and transition lengths set by rank, stop releases placed.
#pragma once

#include <string>
#include <vector>

#include "phonemes.h"
#include "rules.h"

// One phoneme of the utterance with everything needed to sample its tracks.
struct planned_phoneme {
    const phoneme_rule* rule;
    std::string name;
    double start_ms;
    double duration_ms;
    control_targets first;  // first target, neighbours' values filled in
    control_targets last;   // second target (or the first again)
    bool has_left = false;  // a boundary with a previous phoneme
    bool has_right = false;
    double left_value[CONTROL_COUNT] = {};  // boundary values
    double right_value[CONTROL_COUNT] = {};
    double left_ms[CONTROL_COUNT] = {};  // transition lengths inside this phoneme
    double right_ms[CONTROL_COUNT] = {};
    double release_ms = 0;  // stops and affricates: start of the burst
    // Formant values at the end of a stop's aspiration: part of the way from
    // the locus (the right boundary value) to the next phoneme's target.
    double aspiration_end[CONTROL_COUNT] = {};
    double burst_ms = 0;
    double aspiration_ms = 0;
};

// Plans the utterance; the plan points into `table`, which must outlive it.
// Entries whose name has no rule are planned with the
// rule of silence_rule(table).
std::vector<planned_phoneme> plan_utterance(const std::vector<phoneme_entry>& entries,
                                            const rule_table& table);

// The value of one control of a planned phoneme, `local_ms` after its start.
double track_value(const planned_phoneme& phoneme, int control, double local_ms);

// The rule used for silence and for unknown phonemes: the table's "_", or a
// built-in silence when the table has none.
const phoneme_rule& silence_rule(const rule_table& table);
