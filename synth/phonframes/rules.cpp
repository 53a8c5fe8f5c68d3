// Reads the rule file: "defaults" and "phoneme" blocks of keyword lines, each
// checked as it is read so that an error names the file, line and field.
#include "rules.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "words.h"

namespace {

struct control_info {
    const char* name;
    double minimum;
    double maximum;
};

// The limits keep every frame inside the synthesizer's default tables: the
// lowest frequency of each branch is its first control step, the highest the
// end of the resonator grid (4690 Hz); amplitudes index a 64-entry table and
// the degree of voicing is read in steps of four up to 255.
constexpr control_info CONTROLS[CONTROL_COUNT] = {
    {"F1", 125, 1500}, {"F2", 550, 3500}, {"F3", 1350, 4600}, {"A1", 0, 63}, {"A2", 0, 63},
    {"A3", 0, 63},     {"AH", 0, 63},     {"FN", 95, 1000},   {"AN", 0, 63}, {"V", 0, 255},
};

constexpr const char* KIND_NAMES[] = {"silence",   "vowel", "diphthong", "stop",  "affricate",
                                      "fricative", "nasal", "liquid",    "glide", "aspirate"};
constexpr int KIND_COUNT = sizeof KIND_NAMES / sizeof KIND_NAMES[0];

constexpr double MAX_TRANSITION_MS = 1000;
constexpr double MAX_PART_MS = 200;
constexpr int MAX_RANK = 1000;

// State of the reader: where it is, and the block that lines add to.
struct reader {
    const char* file_name = nullptr;
    int line = 0;
    rule_table* table = nullptr;
    std::string* error = nullptr;
    phoneme_rule defaults[KIND_COUNT];
    phoneme_rule* current = nullptr;  // phoneme or defaults block in hand
    bool current_is_phoneme = false;
    bool target_set[CONTROL_COUNT] = {};
};

bool fail(reader* r, const std::string& field, const std::string& problem) {
    *r->error = std::string(r->file_name) + ": line " + std::to_string(r->line) + ": field '" +
                field + "': " + problem;
    return false;
}

bool parse_in_range(reader* r, const std::string& field, const std::string& text, double low,
                    double high, double* value) {
    if (!parse_decimal(text, value)) return fail(r, field, "'" + text + "' is not a number");
    if (*value < low || *value > high) {
        char range[64];
        std::snprintf(range, sizeof range, " is outside %g..%g", low, high);
        return fail(r, field, "'" + text + "'" + range);
    }
    return true;
}

int control_by_name(const std::string& name) {
    for (int c = 0; c < CONTROL_COUNT; ++c)
        if (name == CONTROLS[c].name) return c;
    return -1;
}

// The controls a name stands for in boundary and transition lines: one control,
// or the groups "formants" (F1 F2 F3), "amplitudes" (A1 A2 A3 AH AN) and "all".
std::vector<int> controls_named(const std::string& name) {
    if (name == "all") {
        std::vector<int> all;
        for (int c = 0; c < CONTROL_COUNT; ++c) all.push_back(c);
        return all;
    }
    if (name == "formants") return {CTL_F1, CTL_F2, CTL_F3};
    if (name == "amplitudes") return {CTL_A1, CTL_A2, CTL_A3, CTL_AH, CTL_AN};
    const int c = control_by_name(name);
    if (c < 0) return {};
    return {c};
}

// Splits "key=value" into its two halves; false when there is no "=".
bool split_assignment(const std::string& word, std::string* key, std::string* value) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

// Splits "a:b" into two numbers.
bool split_pair(reader* r, const std::string& field, const std::string& text, double low1,
                double high1, double low2, double high2, double* first, double* second) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return fail(r, field, "'" + text + "' should be two numbers joined by ':'");
    return parse_in_range(r, field, text.substr(0, colon), low1, high1, first) &&
           parse_in_range(r, field, text.substr(colon + 1), low2, high2, second);
}

// Reads "CTL=value" words into a target; '*' takes the neighbour's value.
bool read_target_words(reader* r, const std::vector<std::string>& words, control_targets* target,
                       bool* set) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string key, text;
        if (!split_assignment(words[i], &key, &text))
            return fail(r, words[i], "expected CONTROL=VALUE");
        const int c = control_by_name(key);
        if (c < 0) return fail(r, key, "unknown control");
        if (text == "*") {
            target->from_neighbour[c] = true;
        } else {
            if (!parse_in_range(r, key, text, CONTROLS[c].minimum, CONTROLS[c].maximum,
                                &target->value[c]))
                return false;
            target->from_neighbour[c] = false;
        }
        if (set) set[c] = true;
    }
    return true;
}

// Reads "ms=N CTL=value ..." into a burst or aspiration part.
bool read_release_words(reader* r, const std::vector<std::string>& words, release_part* part) {
    part->present = true;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string key, text;
        if (!split_assignment(words[i], &key, &text))
            return fail(r, words[i], "expected CONTROL=VALUE or ms=N");
        if (key == "ms") {
            if (!parse_in_range(r, key, text, 0, MAX_PART_MS, &part->duration_ms)) return false;
            continue;
        }
        const int c = control_by_name(key);
        if (c < 0) return fail(r, key, "unknown control");
        if (!parse_in_range(r, key, text, CONTROLS[c].minimum, CONTROLS[c].maximum,
                            &part->value[c]))
            return false;
        part->sets[c] = true;
    }
    return true;
}

// Reads "CTL=A:B" words (a control or group, two numbers), handing each
// named control and the two numbers to `store`. `mean_allowed` accepts
// "CTL=mean" too, handed over with `is_mean` set.
template <class Store>
bool read_pair_words(reader* r, const std::vector<std::string>& words, const char* expected,
                     const double limits[4], bool mean_allowed, Store store) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string key, text;
        if (!split_assignment(words[i], &key, &text)) return fail(r, words[i], expected);
        const std::vector<int> controls = controls_named(key);
        if (controls.empty()) return fail(r, key, "unknown control");
        const bool is_mean = mean_allowed && text == "mean";
        double first = 0, second = 0;
        if (!is_mean &&
            !split_pair(r, key, text, limits[0], limits[1], limits[2], limits[3], &first, &second))
            return false;
        for (int c : controls) store(&r->current->boundary[c], is_mean, first, second);
    }
    return true;
}

// Boundary lines: "CTL=fixed:proportion" or "CTL=mean".
bool read_boundary_words(reader* r, const std::vector<std::string>& words) {
    const double limits[4] = {-5000, 5000, 0, 1};
    return read_pair_words(r, words, "expected CONTROL=FIXED:PROPORTION", limits, true,
                           [](boundary_rule* b, bool is_mean, double fixed, double proportion) {
                               b->has_fixed = !is_mean;
                               b->fixed = fixed;
                               b->proportion = proportion;
                           });
}

// Transition lines: "CTL=inside:outside" in milliseconds.
bool read_transition_words(reader* r, const std::vector<std::string>& words) {
    const double limits[4] = {0, MAX_TRANSITION_MS, 0, MAX_TRANSITION_MS};
    return read_pair_words(r, words, "expected CONTROL=INSIDE:OUTSIDE", limits, false,
                           [](boundary_rule* b, bool, double inside, double outside) {
                               b->inside_ms = inside;
                               b->outside_ms = outside;
                           });
}

int kind_by_name(const std::string& name) {
    for (int k = 0; k < KIND_COUNT; ++k)
        if (name == KIND_NAMES[k]) return k;
    return -1;
}

// Checks the phoneme block in hand once its last line has been read.
bool finish_block(reader* r) {
    if (!r->current_is_phoneme) return true;
    phoneme_rule& rule = *r->current;
    const int saved_line = r->line;
    r->line = rule.line;
    for (int c = 0; c < CONTROL_COUNT; ++c) {
        if (!r->target_set[c])
            return fail(r, CONTROLS[c].name, "phoneme '" + rule.name + "' has no target for it");
    }
    const bool needs_second = rule.kind == KIND_DIPHTHONG || rule.kind == KIND_AFFRICATE;
    if (needs_second && !rule.has_second)
        return fail(r, "second", "phoneme '" + rule.name + "' needs a second target");
    r->line = saved_line;
    return true;
}

bool start_block(reader* r, const std::vector<std::string>& words) {
    if (!finish_block(r)) return false;
    const bool is_phoneme = words[0] == "phoneme";
    const std::size_t kind_word = is_phoneme ? 2 : 1;
    if (words.size() != kind_word + 1)
        return fail(r, words[0],
                    is_phoneme ? "expected 'phoneme NAME KIND'" : "expected 'defaults KIND'");
    const int kind = kind_by_name(words[kind_word]);
    if (kind < 0) return fail(r, "kind", "unknown kind '" + words[kind_word] + "'");
    r->current_is_phoneme = is_phoneme;
    std::memset(r->target_set, 0, sizeof r->target_set);
    if (!is_phoneme) {
        r->current = &r->defaults[kind];
        r->current->kind = phoneme_kind(kind);
        return true;
    }
    if (find_rule(*r->table, words[1]) != nullptr)
        return fail(r, "name", "phoneme '" + words[1] + "' is defined twice");
    phoneme_rule rule = r->defaults[kind];
    rule.name = words[1];
    rule.kind = phoneme_kind(kind);
    rule.line = r->line;
    r->table->rules.push_back(rule);
    r->current = &r->table->rules.back();
    return true;
}

bool read_rank(reader* r, const std::vector<std::string>& words) {
    if (words.size() != 2) return fail(r, "rank", "expected one number");
    double rank = 0;
    if (!parse_in_range(r, "rank", words[1], 0, MAX_RANK, &rank)) return false;
    if (rank != std::floor(rank))
        return fail(r, "rank", "'" + words[1] + "' is not a whole number");
    r->current->rank = int(rank);
    return true;
}

bool read_line_words(reader* r, const std::vector<std::string>& words) {
    const std::string& keyword = words[0];
    if (keyword == "phoneme" || keyword == "defaults") return start_block(r, words);
    if (r->current == nullptr)
        return fail(r, keyword, "expected a 'phoneme' or 'defaults' line first");
    if (keyword == "rank") return read_rank(r, words);
    if (keyword == "boundary") return read_boundary_words(r, words);
    if (keyword == "transition") return read_transition_words(r, words);
    if (keyword == "burst") return read_release_words(r, words, &r->current->burst);
    if (keyword == "aspiration") return read_release_words(r, words, &r->current->aspiration);
    if (!r->current_is_phoneme) return fail(r, keyword, "not allowed in a defaults block");
    if (keyword == "target") return read_target_words(r, words, &r->current->target, r->target_set);
    if (keyword == "second") {
        r->current->second = r->current->target;
        r->current->has_second = true;
        return read_target_words(r, words, &r->current->second, nullptr);
    }
    return fail(r, keyword, "unknown keyword");
}

}  // namespace

const char* control_name(int control) { return CONTROLS[control].name; }
double control_minimum(int control) { return CONTROLS[control].minimum; }
double control_maximum(int control) { return CONTROLS[control].maximum; }
bool is_frequency_control(int control) {
    return control == CTL_F1 || control == CTL_F2 || control == CTL_F3 || control == CTL_FN;
}

bool parse_rule_text(const char* text, std::size_t length, const char* file_name, rule_table* table,
                     std::string* error) {
    table->rules.clear();
    // Blocks are added in place, so the storage must not move while a block
    // is read; a rule file has far fewer phonemes than this.
    table->rules.reserve(256);
    reader r;
    r.file_name = file_name;
    r.table = table;
    r.error = error;
    std::size_t pos = 0;
    while (pos < length) {
        std::size_t end = pos;
        while (end < length && text[end] != '\n') ++end;
        ++r.line;
        const std::vector<std::string> words = split_words(text + pos, text + end, '#');
        pos = end + 1;
        if (words.empty()) continue;
        if (table->rules.size() >= table->rules.capacity() && words[0] == "phoneme")
            return fail(&r, "phoneme", "too many phonemes");
        if (!read_line_words(&r, words)) return false;
    }
    ++r.line;
    if (!finish_block(&r)) return false;
    if (table->rules.empty()) return fail(&r, "phoneme", "the file defines no phoneme");
    return true;
}

bool read_rule_file(const char* path, rule_table* table, std::string* error) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *error = std::string(path) + ": cannot open the rule file: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    const bool read_failed = std::ferror(file) != 0;
    std::fclose(file);
    if (read_failed) {
        *error = std::string(path) + ": cannot read the rule file";
        return false;
    }
    return parse_rule_text(text.data(), text.size(), path, table, error);
}

const phoneme_rule* find_rule(const rule_table& table, const std::string& name) {
    for (const phoneme_rule& rule : table.rules)
        if (rule.name == name) return &rule;
    return nullptr;
}
