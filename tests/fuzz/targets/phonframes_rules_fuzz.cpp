// Fuzz target: phonframes' rule-file reader, and frames from any table it
// accepts.
//
// Input: the bytes of a rule file.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frames.h"
#include "fuzz_support.h"
#include "phonemes.h"
#include "plan.h"
#include "rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    rule_table table;
    std::string error;
    if (!parse_rule_text(reinterpret_cast<const char*>(data), size, "fuzz.rules", &table, &error)) {
        fuzz::check(error.rfind("fuzz.rules: line ", 0) == 0, "error names no file and line");
        return 0;
    }
    fuzz::check(!table.rules.empty(), "accepted a table without phonemes");
    // Every phoneme of the table, each after and before every other kind of
    // neighbour that the table has, with short and long durations.
    std::vector<phoneme_entry> entries;
    int line = 0;
    for (const phoneme_rule& rule : table.rules) {
        entries.push_back({rule.name, double(10 + line % 90), {{50, 120}}, ++line});
        entries.push_back({"_", 5, {}, ++line});
        if (entries.size() > 400) break;
    }
    const auto plan = plan_utterance(entries, table);
    const auto contour = pitch_contour(entries);
    for (const planned_phoneme& p : plan) {
        for (double t = 0; t <= p.duration_ms; t += 5) {
            const frame_values f = sample_frame(p, p.start_ms + t, f0_at(contour, p.start_ms + t));
            for (int col : {2, 4, 6, 8, 10})
                fuzz::check(f.value[col] >= 0 && f.value[col] <= 63, "amplitude outside 0..63");
            fuzz::check(f.value[11] >= 0 && f.value[11] <= 255, "voicing outside 0..255");
            fuzz::check(f.value[1] >= 125 && f.value[3] >= 550 && f.value[5] >= 1350,
                        "formant below its branch");
        }
    }
    return 0;
}
