// Pitch (F0) by autocorrelation in the manner of Boersma (1993): each frame's
// windowed autocorrelation is divided by the window's own autocorrelation,
// its peaks become candidates with a small preference for high pitches, an
// unvoiced candidate competes on loudness and periodicity, and a best path
// through the frames penalises octave jumps and voicing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fft.h"

namespace analysis {

struct PitchSettings {
    double floor_hz = 75.0;              // lowest pitch; the window holds three of its periods
    double ceiling_hz = 600.0;           // highest pitch
    double silence_threshold = 0.03;     // frames quieter than this part of the loudest are silent
    double voicing_threshold = 0.45;     // periodicity a frame needs to count as voiced
    double octave_cost = 0.01;           // preference for high pitches, per octave
    double octave_jump_cost = 0.35;      // path cost of an octave jump between frames
    double voiced_unvoiced_cost = 0.14;  // path cost of a change of voicing
    int max_candidates = 8;
};

// The voiced candidates of one frame and its loudest sample.
struct PitchFrame {
    struct Candidate {
        float frequency_hz;
        float strength;  // normalised autocorrelation, 1 for a perfect period
    };
    std::vector<Candidate> candidates;
    float peak = 0.0f;
};

// Finds candidates frame by frame; frames are analysed in any order.
class PitchAnalyzer {
public:
    PitchAnalyzer(int rate_hz, PitchSettings settings = {});
    // Samples one window needs, centred on the frame's time.
    std::size_t window_samples() const { return m_window.size(); }
    // Analyses `window_samples()` samples of one frame.
    PitchFrame analyse(const float* samples);

private:
    int m_rate_hz;
    PitchSettings m_settings;
    std::vector<float> m_window;
    std::vector<float> m_window_lags;  // the window's normalised autocorrelation
    RealFft m_fft;
    std::vector<float> m_lags;
};

// The best pitch path through the frames, taken `step_s` apart: one
// frequency per frame, 0 for unvoiced. `global_peak` is the loudest sample
// of the whole stretch.
std::vector<float> FindPitchPath(const std::vector<PitchFrame>& frames, float global_peak,
                                 double step_s, const PitchSettings& settings = {});

}  // namespace analysis
