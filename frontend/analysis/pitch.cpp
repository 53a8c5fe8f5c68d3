// Autocorrelation pitch candidates and the path through them.
#include "pitch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace analysis {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A Hann window of `length` samples.
std::vector<float> HannWindow(std::size_t length) {
    std::vector<float> window(length);
    for (std::size_t i = 0; i < length; ++i) {
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * (i + 0.5) / length));
    }
    return window;
}

// Vertex of the parabola through three equally spaced values: offset from
// the middle one (-0.5 to 0.5) and the height there.
void ParabolicPeak(float left, float middle, float right, double& offset, double& height) {
    const double curvature = left - 2.0 * middle + right;
    offset = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
    offset = std::clamp(offset, -0.5, 0.5);
    height = middle - 0.25 * (left - right) * offset;
}

}  // namespace

PitchAnalyzer::PitchAnalyzer(int rate_hz, PitchSettings settings)
    : m_rate_hz(rate_hz),
      m_settings(settings),
      m_window(
          HannWindow(static_cast<std::size_t>(std::lround(3.0 * rate_hz / settings.floor_hz)))),
      // Lags up to one longest period must not wrap around: the transform is
      // at least half again as long as the window.
      m_fft(NextPowerOfTwo(m_window.size() * 3 / 2 + 1)) {
    float* input = m_fft.input();
    std::fill(input, input + m_fft.size(), 0.0f);
    std::copy(m_window.begin(), m_window.end(), input);
    m_fft.autocorrelation(m_window_lags);
    const float zero_lag = m_window_lags[0];
    for (float& lag : m_window_lags) lag /= zero_lag;
}

PitchFrame PitchAnalyzer::analyse(const float* samples) {
    PitchFrame frame;
    const std::size_t length = m_window.size();
    double mean = 0.0;
    for (std::size_t i = 0; i < length; ++i) mean += samples[i];
    mean /= static_cast<double>(length);

    float* input = m_fft.input();
    for (std::size_t i = 0; i < length; ++i) {
        const float centred = samples[i] - static_cast<float>(mean);
        frame.peak = std::max(frame.peak, std::fabs(centred));
        input[i] = centred * m_window[i];
    }
    std::fill(input + length, input + m_fft.size(), 0.0f);
    m_fft.autocorrelation(m_lags);
    if (!(m_lags[0] > 0.0f)) return frame;

    const std::size_t min_lag =
        static_cast<std::size_t>(std::floor(m_rate_hz / m_settings.ceiling_hz));
    const std::size_t max_lag = std::min<std::size_t>(
        static_cast<std::size_t>(std::ceil(m_rate_hz / m_settings.floor_hz)), length / 2);
    // The signal's autocorrelation, freed from the window's taper.
    auto normalised = [&](std::size_t lag) { return m_lags[lag] / m_lags[0] / m_window_lags[lag]; };
    for (std::size_t lag = std::max<std::size_t>(min_lag, 2); lag + 1 <= max_lag; ++lag) {
        const float middle = normalised(lag);
        if (middle < 0.5f * m_settings.voicing_threshold) continue;
        const float left = normalised(lag - 1);
        const float right = normalised(lag + 1);
        if (middle < left || middle < right) continue;
        double offset = 0.0;
        double height = 0.0;
        ParabolicPeak(left, middle, right, offset, height);
        // Values above 1 come from rounding near strong periods; they are
        // mirrored so that they do not outrank a true one.
        if (height > 1.0) height = 1.0 / height;
        const double period_samples = lag + offset;
        frame.candidates.push_back(
            {static_cast<float>(m_rate_hz / period_samples), static_cast<float>(height)});
    }
    // Keep the strongest, counting the preference for high pitches.
    const double floor_hz = m_settings.floor_hz;
    const double octave_cost = m_settings.octave_cost;
    auto score = [floor_hz, octave_cost](const PitchFrame::Candidate& c) {
        return c.strength - octave_cost * std::log2(floor_hz / c.frequency_hz);
    };
    std::sort(frame.candidates.begin(), frame.candidates.end(),
              [&](const auto& a, const auto& b) { return score(a) > score(b); });
    if (frame.candidates.size() > static_cast<std::size_t>(m_settings.max_candidates)) {
        frame.candidates.resize(static_cast<std::size_t>(m_settings.max_candidates));
    }
    return frame;
}

namespace {

// The candidates of every frame, the unvoiced one first (frequency 0), with
// their strengths as the path search counts them.
struct CandidateTable {
    std::vector<std::vector<float>> frequency;
    std::vector<std::vector<double>> strength;
};

CandidateTable ListCandidates(const std::vector<PitchFrame>& frames, float global_peak,
                              const PitchSettings& settings) {
    CandidateTable table;
    table.frequency.resize(frames.size());
    table.strength.resize(frames.size());
    const double vt = settings.voicing_threshold;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        // Quiet frames favour the unvoiced candidate.
        const double loudness = global_peak > 0.0f ? frames[f].peak / global_peak : 0.0;
        table.frequency[f].push_back(0.0f);
        table.strength[f].push_back(
            vt + std::max(0.0, 2.0 - loudness / (settings.silence_threshold / (1.0 + vt))));
        for (const auto& c : frames[f].candidates) {
            table.frequency[f].push_back(c.frequency_hz);
            table.strength[f].push_back(
                c.strength - settings.octave_cost * std::log2(settings.floor_hz / c.frequency_hz));
        }
    }
    return table;
}

}  // namespace

std::vector<float> FindPitchPath(const std::vector<PitchFrame>& frames, float global_peak,
                                 double step_s, const PitchSettings& settings) {
    const std::size_t count = frames.size();
    std::vector<float> path(count, 0.0f);
    if (count == 0) return path;
    const CandidateTable table = ListCandidates(frames, global_peak, settings);
    // Costs are stated for 10 ms steps; longer steps make changes cheaper.
    const double step_correction = 0.01 / step_s;
    auto transition = [&](float from_hz, float to_hz) {
        const bool from_voiced = from_hz > 0.0f;
        const bool to_voiced = to_hz > 0.0f;
        if (!from_voiced && !to_voiced) return 0.0;
        if (from_voiced != to_voiced) return settings.voiced_unvoiced_cost * step_correction;
        return settings.octave_jump_cost * std::fabs(std::log2(from_hz / to_hz)) * step_correction;
    };

    // Forward pass keeping the best predecessor of every candidate.
    std::vector<double> score = table.strength[0];
    std::vector<std::vector<int>> previous(count);
    for (std::size_t f = 1; f < count; ++f) {
        const auto& here = table.frequency[f];
        const auto& before = table.frequency[f - 1];
        std::vector<double> next(here.size(), -std::numeric_limits<double>::infinity());
        previous[f].assign(here.size(), 0);
        for (std::size_t j = 0; j < here.size(); ++j) {
            for (std::size_t i = 0; i < before.size(); ++i) {
                const double value = score[i] - transition(before[i], here[j]);
                if (value > next[j]) {
                    next[j] = value;
                    previous[f][j] = static_cast<int>(i);
                }
            }
            next[j] += table.strength[f][j];
        }
        score = std::move(next);
    }
    std::size_t best =
        static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    for (std::size_t f = count; f-- > 0;) {
        path[f] = table.frequency[f][best];
        if (f > 0) best = static_cast<std::size_t>(previous[f][best]);
    }
    return path;
}

}  // namespace analysis
