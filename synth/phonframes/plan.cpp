// Synthesis by rule: every phoneme has targets; at each boundary the phoneme
// of higher rank sets the boundary value of each control (its fixed part plus
// a share of the neighbour's target) and how long the transitions on both
// sides last. Tracks run straight between targets and boundary values.
#include "plan.h"

#include <algorithm>
#include <cmath>

namespace {

// Neutral values for controls that a phoneme takes from neighbours it does
// not have (a lone "h", say).
constexpr double NEUTRAL[CONTROL_COUNT] = {500, 1500, 2500, 0, 0, 0, 0, 250, 0, 0};

// Aspiration before a short (unstressed) vowel is cut to this share.
constexpr double UNSTRESSED_VOWEL_MS = 70;
constexpr double UNSTRESSED_ASPIRATION_SHARE = 0.5;
// The closure of a stop keeps at least this share of its duration.
constexpr double MIN_CLOSURE_SHARE = 0.4;
// The closure of an affricate lasts this share of its duration.
constexpr double AFFRICATE_CLOSURE_SHARE = 0.35;
// A diphthong glides from its first to its second target over at least
// this share of its duration.
constexpr double MIN_GLIDE_SHARE = 0.5;

bool is_stop_like(const phoneme_rule& rule) {
    return rule.kind == KIND_STOP || rule.kind == KIND_AFFRICATE;
}

bool is_vowel(const phoneme_rule& rule) {
    return rule.kind == KIND_VOWEL || rule.kind == KIND_DIPHTHONG;
}

bool is_approximant_or_vowel(const phoneme_rule& rule) {
    return is_vowel(rule) || rule.kind == KIND_LIQUID || rule.kind == KIND_GLIDE;
}

// Fills '*' controls from the next phoneme's first target, else from the
// previous phoneme's last target, else with neutral values.
void resolve_neighbour_values(std::vector<planned_phoneme>* plan) {
    const std::size_t n = plan->size();
    for (std::size_t i = 0; i < n; ++i) {
        planned_phoneme& p = (*plan)[i];
        for (int c = 0; c < CONTROL_COUNT; ++c) {
            double value = NEUTRAL[c];
            if (i + 1 < n && !(*plan)[i + 1].first.from_neighbour[c]) {
                value = (*plan)[i + 1].first.value[c];
            } else if (i > 0) {
                value = (*plan)[i - 1].last.value[c];
            }
            if (p.first.from_neighbour[c]) p.first.value[c] = value;
            if (p.last.from_neighbour[c]) p.last.value[c] = value;
        }
    }
    for (planned_phoneme& p : *plan) {
        for (int c = 0; c < CONTROL_COUNT; ++c) {
            p.first.from_neighbour[c] = false;
            p.last.from_neighbour[c] = false;
        }
    }
}

double clamp_control(int c, double value) {
    return std::clamp(value, control_minimum(c), control_maximum(c));
}

// Sets the boundary values and transition lengths between phonemes a and b.
void plan_boundary(planned_phoneme* a, planned_phoneme* b) {
    const bool b_dominates = b->rule->rank > a->rule->rank;
    const phoneme_rule& dominant = b_dominates ? *b->rule : *a->rule;
    a->has_right = true;
    b->has_left = true;
    for (int c = 0; c < CONTROL_COUNT; ++c) {
        const double own = b_dominates ? b->first.value[c] : a->last.value[c];
        const double other = b_dominates ? a->last.value[c] : b->first.value[c];
        const boundary_rule& rule = dominant.boundary[c];
        const double value =
            rule.has_fixed ? rule.fixed + rule.proportion * other : (own + other) / 2;
        a->right_value[c] = b->left_value[c] = clamp_control(c, value);
        a->right_ms[c] = b_dominates ? rule.outside_ms : rule.inside_ms;
        b->left_ms[c] = b_dominates ? rule.inside_ms : rule.outside_ms;
    }
}

// Duration of the next vowel after a stop (through a liquid or glide), or 0.
double next_vowel_ms(const std::vector<planned_phoneme>& plan, std::size_t i) {
    for (std::size_t j = i + 1; j < plan.size() && j <= i + 2; ++j) {
        if (is_vowel(*plan[j].rule)) return plan[j].duration_ms;
        if (!is_approximant_or_vowel(*plan[j].rule)) return 0;
    }
    return 0;
}

// Places burst and aspiration inside a stop or affricate.
void plan_release(std::vector<planned_phoneme>* plan, std::size_t i) {
    planned_phoneme& p = (*plan)[i];
    const phoneme_rule& rule = *p.rule;
    p.burst_ms = rule.burst.present ? rule.burst.duration_ms : 0;
    if (rule.kind == KIND_AFFRICATE) {
        p.release_ms = p.duration_ms * AFFRICATE_CLOSURE_SHARE;
        p.burst_ms = std::min(p.burst_ms, p.duration_ms - p.release_ms);
        return;
    }
    const bool after_fricative = i > 0 && (*plan)[i - 1].rule->kind == KIND_FRICATIVE;
    const double vowel_ms = next_vowel_ms(*plan, i);
    if (rule.aspiration.present && vowel_ms > 0 && !after_fricative) {
        p.aspiration_ms = rule.aspiration.duration_ms;
        if (vowel_ms < UNSTRESSED_VOWEL_MS) p.aspiration_ms *= UNSTRESSED_ASPIRATION_SHARE;
    }
    const double room = p.duration_ms * (1 - MIN_CLOSURE_SHARE);
    const double release = p.burst_ms + p.aspiration_ms;
    if (release > room && release > 0) {
        p.burst_ms *= room / release;
        p.aspiration_ms *= room / release;
    }
    p.release_ms = p.duration_ms - p.burst_ms - p.aspiration_ms;
}

// Formant transitions of a stop run on through its aspiration: at the end of
// the aspiration the formants are already part of the way to the next
// target, and the next phoneme's transition goes on from there.
void carry_transition_through_aspiration(planned_phoneme* stop, planned_phoneme* next) {
    for (int c = 0; c < CONTROL_COUNT; ++c) stop->aspiration_end[c] = stop->right_value[c];
    if (stop->aspiration_ms <= 0 || next == nullptr) return;
    for (int c : {CTL_F1, CTL_F2, CTL_F3}) {
        const double span = stop->aspiration_ms + next->left_ms[c];
        const double locus = stop->right_value[c];
        const double moved = locus + (next->first.value[c] - locus) * stop->aspiration_ms / span;
        stop->aspiration_end[c] = next->left_value[c] = moved;
    }
}

// Piecewise-linear interpolation over (time, value) points in time order; a
// point repeated at one time makes a step.
struct track_point {
    double time_ms;
    double value;
};

double interpolate(const track_point* points, int count, double t) {
    if (t <= points[0].time_ms) return points[0].value;
    for (int k = 1; k < count; ++k) {
        if (t < points[k].time_ms) {
            const track_point& a = points[k - 1];
            const track_point& b = points[k];
            return a.value + (b.value - a.value) * (t - a.time_ms) / (b.time_ms - a.time_ms);
        }
    }
    return points[count - 1].value;
}

// Transition lengths inside a phoneme, shrunk together when they would overlap.
void transition_lengths(const planned_phoneme& p, int c, double span_ms, double* left,
                        double* right) {
    *left = p.has_left ? p.left_ms[c] : 0;
    *right = p.has_right ? p.right_ms[c] : 0;
    if (*left + *right > span_ms && *left + *right > 0) {
        const double scale = span_ms / (*left + *right);
        *left *= scale;
        *right *= scale;
    }
}

// Tracks of vowels, diphthongs and every steady phoneme: boundary value,
// transition to the target, the target held (or, for a diphthong, a glide to
// the second target), transition to the next boundary value. A diphthong
// keeps at least half its duration for the glide.
double steady_track(const planned_phoneme& p, int c, double t) {
    const double d = p.duration_ms;
    const bool glides = p.rule->kind == KIND_DIPHTHONG;
    double left, right;
    transition_lengths(p, c, glides ? d * (1 - MIN_GLIDE_SHARE) : d, &left, &right);
    const double a = p.first.value[c];
    const double b = p.last.value[c];
    const track_point points[] = {
        {0, p.has_left ? p.left_value[c] : a},
        {left, a},
        {d - right, b},
        {d, p.has_right ? p.right_value[c] : b},
    };
    return interpolate(points, 4, t);
}

double release_value(const release_part& part, int c, double fallback) {
    return part.present && part.sets[c] ? part.value[c] : fallback;
}

// Tracks of stops and affricates. Frequencies move from the left boundary to
// the right one during the closure and stay there through the release;
// amplitudes and voicing step from closure to burst to aspiration. The
// fricative part of an affricate is a steady part with the second target.
double stop_track(const planned_phoneme& p, int c, double t) {
    const double burst_end = p.release_ms + p.burst_ms;
    const bool affricate = p.rule->kind == KIND_AFFRICATE;
    if (affricate && t >= burst_end) {
        planned_phoneme fricative = p;
        fricative.has_left = false;
        fricative.first = p.last;
        fricative.start_ms = 0;
        fricative.duration_ms = p.duration_ms - burst_end;
        return steady_track(fricative, c, t - burst_end);
    }
    if (is_frequency_control(c)) {
        if (affricate) {
            const track_point points[] = {{0, p.has_left ? p.left_value[c] : p.first.value[c]},
                                          {p.release_ms, p.last.value[c]}};
            return interpolate(points, 2, t);
        }
        const double locus = p.has_right ? p.right_value[c] : p.last.value[c];
        const double end = p.has_right ? p.aspiration_end[c] : locus;
        const track_point points[] = {
            {0, p.has_left ? p.left_value[c] : p.first.value[c]},
            {p.release_ms, locus},
            {burst_end, locus},
            {p.duration_ms, end},
        };
        return interpolate(points, 4, t);
    }
    const double closure = p.first.value[c];
    if (t < p.release_ms) return closure;
    if (t < burst_end) return release_value(p.rule->burst, c, closure);
    return release_value(p.rule->aspiration, c, closure);
}

phoneme_rule make_builtin_silence() {
    phoneme_rule rule;
    rule.name = "_";
    rule.kind = KIND_SILENCE;
    rule.rank = 100;
    for (int c = 0; c < CONTROL_COUNT; ++c) {
        rule.target.from_neighbour[c] = is_frequency_control(c);
        rule.boundary[c].has_fixed = true;
        rule.boundary[c].proportion = is_frequency_control(c) ? 1 : 0;
    }
    return rule;
}

}  // namespace

const phoneme_rule& silence_rule(const rule_table& table) {
    static const phoneme_rule builtin = make_builtin_silence();
    const phoneme_rule* rule = find_rule(table, "_");
    return rule != nullptr ? *rule : builtin;
}

std::vector<planned_phoneme> plan_utterance(const std::vector<phoneme_entry>& entries,
                                            const rule_table& table) {
    std::vector<planned_phoneme> plan;
    plan.reserve(entries.size());
    double start_ms = 0;
    for (const phoneme_entry& entry : entries) {
        planned_phoneme p;
        p.rule = find_rule(table, entry.name);
        if (p.rule == nullptr) p.rule = &silence_rule(table);
        p.name = entry.name;
        p.start_ms = start_ms;
        p.duration_ms = entry.duration_ms;
        p.first = p.rule->target;
        p.last = p.rule->has_second ? p.rule->second : p.rule->target;
        plan.push_back(p);
        start_ms += entry.duration_ms;
    }
    resolve_neighbour_values(&plan);
    for (std::size_t i = 0; i + 1 < plan.size(); ++i) plan_boundary(&plan[i], &plan[i + 1]);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (!is_stop_like(*plan[i].rule)) continue;
        plan_release(&plan, i);
        carry_transition_through_aspiration(&plan[i], i + 1 < plan.size() ? &plan[i + 1] : nullptr);
    }
    return plan;
}

double track_value(const planned_phoneme& phoneme, int control, double local_ms) {
    const double value = is_stop_like(*phoneme.rule) ? stop_track(phoneme, control, local_ms)
                                                     : steady_track(phoneme, control, local_ms);
    return clamp_control(control, value);
}
