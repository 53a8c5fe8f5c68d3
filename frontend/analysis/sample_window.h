// A sliding stretch of a PcmSource: reads forward on demand, keeps only the
// samples still needed, and reads as zero before and after the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "pcm_source.h"

namespace analysis {

class SampleWindow {
public:
    // Called once for every sample read, in order, with its index.
    using Listener =
        std::function<void(std::int64_t first, const float* samples, std::size_t count)>;

    // Reading starts at sample `first` (clamped to the stream).
    SampleWindow(PcmSource& source, std::int64_t first, Listener listener);
    // False when the source could not be positioned.
    bool ok() const { return m_ok; }
    // Reads until sample `end` (exclusive) is available or the stream ends,
    // first forgetting the samples before `keep_from`.
    void fill_to(std::int64_t end, std::int64_t keep_from);
    // Copies `count` samples from index `start`, zeros outside the stream.
    void copy(std::int64_t start, std::size_t count, float* out) const;

private:
    PcmSource& m_source;
    Listener m_listener;
    std::vector<float> m_samples;
    std::int64_t m_start = 0;  // index of m_samples[0]
    bool m_ended = false;
    bool m_ok = true;
};

}  // namespace analysis
