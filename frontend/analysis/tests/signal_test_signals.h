// Signals made in the tests: sines, pulse trains and silence at a given rate.
#pragma once

#include <cmath>
#include <vector>

namespace analysis_test {

inline std::vector<float> Sine(double frequency_hz, double amplitude, double seconds, int rate_hz) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate_hz));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] =
            static_cast<float>(amplitude * std::sin(2.0 * M_PI * frequency_hz * i / rate_hz));
    }
    return samples;
}

// One-sample pulses `1 / frequency_hz` apart (rounded to whole samples each
// time, so the mean period is exact).
inline std::vector<float> PulseTrain(double frequency_hz, double seconds, int rate_hz) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate_hz), 0.0f);
    for (double t = 0.0; t < seconds; t += 1.0 / frequency_hz) {
        const auto index = static_cast<std::size_t>(std::lround(t * rate_hz));
        if (index < samples.size()) samples[index] = 0.8f;
    }
    return samples;
}

}  // namespace analysis_test
