// The sliding sample window of the analysis pass.
#include "sample_window.h"

#include <algorithm>

namespace analysis {

namespace {
constexpr std::size_t kReadBlock = 4096;
}

SampleWindow::SampleWindow(PcmSource& source, std::int64_t first, Listener listener)
    : m_source(source), m_listener(std::move(listener)) {
    m_start = std::clamp<std::int64_t>(first, 0, source.length_samples());
    m_ok = source.seek(m_start);
}

void SampleWindow::fill_to(std::int64_t end, std::int64_t keep_from) {
    const std::int64_t drop = std::min<std::int64_t>(keep_from - m_start, m_samples.size());
    if (drop > 0) {
        m_samples.erase(m_samples.begin(), m_samples.begin() + drop);
        m_start += drop;
    }
    while (!m_ended && m_start + static_cast<std::int64_t>(m_samples.size()) < end) {
        const std::size_t old_size = m_samples.size();
        m_samples.resize(old_size + kReadBlock);
        const std::size_t got = m_source.read(m_samples.data() + old_size, kReadBlock);
        m_samples.resize(old_size + got);
        if (got == 0) {
            m_ended = true;
            break;
        }
        if (m_listener)
            m_listener(m_start + static_cast<std::int64_t>(old_size), m_samples.data() + old_size,
                       got);
        // Samples before keep_from were only needed by the listener.
        const std::int64_t surplus = std::min<std::int64_t>(
            keep_from - m_start, static_cast<std::int64_t>(m_samples.size()));
        if (surplus > 0) {
            m_samples.erase(m_samples.begin(), m_samples.begin() + surplus);
            m_start += surplus;
        }
    }
}

void SampleWindow::copy(std::int64_t start, std::size_t count, float* out) const {
    std::fill(out, out + count, 0.0f);
    const std::int64_t held_end = m_start + static_cast<std::int64_t>(m_samples.size());
    const std::int64_t from = std::max(start, m_start);
    const std::int64_t to = std::min(start + static_cast<std::int64_t>(count), held_end);
    if (from >= to) return;
    std::copy(m_samples.begin() + (from - m_start), m_samples.begin() + (to - m_start),
              out + (from - start));
}

}  // namespace analysis
