// Frame sampling and output: one decimal control line per 10 ms.
#include "frames.h"

#include <algorithm>
#include <cmath>

std::vector<timed_pitch> pitch_contour(const std::vector<phoneme_entry>& entries) {
    std::vector<timed_pitch> contour;
    double start_ms = 0;
    for (const phoneme_entry& entry : entries) {
        for (const pitch_point& point : entry.pitch)
            contour.push_back(
                {start_ms + entry.duration_ms * point.position_percent / 100, point.f0_hz});
        start_ms += entry.duration_ms;
    }
    // Points within one phoneme come in any order in hand-written input.
    std::stable_sort(
        contour.begin(), contour.end(),
        [](const timed_pitch& a, const timed_pitch& b) { return a.time_ms < b.time_ms; });
    return contour;
}

double f0_at(const std::vector<timed_pitch>& contour, double time_ms) {
    if (contour.empty()) return DEFAULT_F0_HZ;
    if (time_ms <= contour.front().time_ms) return contour.front().f0_hz;
    if (time_ms >= contour.back().time_ms) return contour.back().f0_hz;
    const auto next =
        std::upper_bound(contour.begin(), contour.end(), time_ms,
                         [](double t, const timed_pitch& point) { return t < point.time_ms; });
    const timed_pitch& b = *next;
    const timed_pitch& a = *(next - 1);
    if (b.time_ms <= a.time_ms) return b.f0_hz;
    return a.f0_hz + (b.f0_hz - a.f0_hz) * (time_ms - a.time_ms) / (b.time_ms - a.time_ms);
}

long frame_count(double total_ms) {
    if (total_ms <= FRAME_MS / 2) return 0;
    return long(std::ceil((total_ms - FRAME_MS / 2) / FRAME_MS));
}

frame_values sample_frame(const planned_phoneme& phoneme, double time_ms, double f0_hz) {
    double v[CONTROL_COUNT];
    for (int c = 0; c < CONTROL_COUNT; ++c)
        v[c] = track_value(phoneme, c, time_ms - phoneme.start_ms);
    const double f0 = std::clamp(f0_hz, MIN_F0_HZ, MAX_F0_HZ);
    const double order[12] = {f0,        v[CTL_F1], v[CTL_A1], v[CTL_F2], v[CTL_A2], v[CTL_F3],
                              v[CTL_A3], 0,         v[CTL_AH], v[CTL_FN], v[CTL_AN], v[CTL_V]};
    frame_values frame{};
    for (int k = 0; k < 12; ++k) frame.value[k] = int(std::lround(order[k]));
    return frame;
}

bool write_frames(std::FILE* out, const std::vector<phoneme_entry>& entries,
                  const std::vector<planned_phoneme>& plan) {
    const std::vector<timed_pitch> contour = pitch_contour(entries);
    const double total_ms = plan.empty() ? 0 : plan.back().start_ms + plan.back().duration_ms;
    const long frames = frame_count(total_ms);
    std::size_t next = 0;  // next phoneme whose comment line is due
    std::size_t current = 0;
    for (long k = 0; k < frames; ++k) {
        const double t = k * FRAME_MS + FRAME_MS / 2;
        // Every phoneme that starts before this frame's middle is announced.
        while (next < plan.size() && plan[next].start_ms <= t) {
            std::fprintf(out, "* %s %g ms\n", plan[next].name.c_str(), plan[next].duration_ms);
            current = next++;
        }
        while (current + 1 < plan.size() && plan[current].duration_ms <= 0) ++current;
        const frame_values f = sample_frame(plan[current], t, f0_at(contour, t));
        std::fprintf(out, "%d %d %d %d %d %d %d %d %d %d %d %d\n", f.value[0], f.value[1],
                     f.value[2], f.value[3], f.value[4], f.value[5], f.value[6], f.value[7],
                     f.value[8], f.value[9], f.value[10], f.value[11]);
    }
    for (; next < plan.size(); ++next)
        std::fprintf(out, "* %s %g ms\n", plan[next].name.c_str(), plan[next].duration_ms);
    return std::fflush(out) == 0 && std::ferror(out) == 0;
}
