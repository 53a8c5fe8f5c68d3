// Fuzz target: phonframes' phoneme reader and the frames made from what it
// reads, with the shipped rule table.
//
// Input: phoneme text bytes (MBROLA lines, any bytes at all).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frames.h"
#include "fuzz_support.h"
#include "phonemes.h"
#include "plan.h"
#include "rules.h"

namespace {

// Longer utterances are planned and sampled, but not written out whole.
constexpr double MAX_WRITTEN_MS = 120000;

const rule_table& shipped_table() {
    static const rule_table table = [] {
        rule_table t;
        std::string error;
        fuzz::check(
            read_rule_file(TALORIA_SOURCE_DIR "/frontend/appdata/config/english.rules", &t, &error),
            "the shipped rule table does not read");
        return t;
    }();
    return table;
}

void check_frame(const frame_values& f) {
    fuzz::check(f.value[0] >= 27 && f.value[0] <= 400, "F0 outside the table");
    for (int col : {2, 4, 6, 8, 10})
        fuzz::check(f.value[col] >= 0 && f.value[col] <= 63, "amplitude outside 0..63");
    fuzz::check(f.value[11] >= 0 && f.value[11] <= 255, "voicing outside 0..255");
    fuzz::check(f.value[1] >= 125 && f.value[3] >= 550 && f.value[5] >= 1350 && f.value[9] >= 95,
                "frequency below its branch");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> warnings;
    const auto entries = parse_phoneme_text(reinterpret_cast<const char*>(data), size, &warnings);
    double total = 0;
    for (const phoneme_entry& e : entries) {
        fuzz::check(e.duration_ms >= 0 && e.duration_ms <= MAX_PHONEME_MS, "duration not limited");
        fuzz::check(!e.name.empty() && e.name[0] != ';', "comment or empty name read as phoneme");
        for (const pitch_point& p : e.pitch)
            fuzz::check(std::isfinite(p.f0_hz) && p.f0_hz > 0, "pitch point not checked");
        total += e.duration_ms;
    }
    const auto plan = plan_utterance(entries, shipped_table());
    const auto contour = pitch_contour(entries);
    for (const planned_phoneme& p : plan)
        check_frame(sample_frame(p, p.start_ms + p.duration_ms / 2,
                                 f0_at(contour, p.start_ms + p.duration_ms / 2)));
    if (total <= MAX_WRITTEN_MS) {
        std::FILE* out = std::fopen("/dev/null", "w");
        fuzz::check(write_frames(out, entries, plan), "writing frames failed");
        std::fclose(out);
    }
    return 0;
}
