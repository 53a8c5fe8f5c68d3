// Samples held in memory as a PcmSource.
#include <algorithm>

#include "pcm_source.h"

namespace analysis {

bool MemorySource::seek(std::int64_t sample) {
    if (sample < 0 || sample > length_samples()) return false;
    m_position = static_cast<std::size_t>(sample);
    return true;
}

std::size_t MemorySource::read(float* out, std::size_t count) {
    const std::size_t n = std::min(count, m_samples.size() - m_position);
    std::copy_n(m_samples.begin() + static_cast<std::ptrdiff_t>(m_position), n, out);
    m_position += n;
    return n;
}

}  // namespace analysis
