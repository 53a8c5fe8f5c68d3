// The cache of signal views.
#include "view_cache.h"

#include <sys/stat.h>

namespace analysis {

namespace {

bool SameRequest(const ViewRequest& a, const ViewRequest& b) {
    return a.from_s == b.from_s && a.to_s == b.to_s && a.columns == b.columns && a.rows == b.rows;
}

std::size_t BytesOf(const SignalView& view) {
    return sizeof view + view.spectrogram.size() +
           (view.wave_min.size() + view.wave_max.size() + view.pitch_hz.size()) * sizeof(float);
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileStamp{
        static_cast<std::uint64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

std::optional<SignalView> ViewCache::find(const std::string& path, const FileStamp& stamp,
                                          const ViewRequest& request) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->path == path && it->stamp == stamp && SameRequest(it->request, request)) {
            m_entries.splice(m_entries.begin(), m_entries, it);
            return it->view;
        }
    }
    return std::nullopt;
}

void ViewCache::add(const std::string& path, const FileStamp& stamp, const ViewRequest& request,
                    const SignalView& view) {
    const std::size_t bytes = BytesOf(view);
    std::lock_guard lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const bool stale = it->path == path && !(it->stamp == stamp);
        const bool same =
            it->path == path && it->stamp == stamp && SameRequest(it->request, request);
        if (stale || same) {
            m_bytes -= it->bytes;
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    if (bytes > m_budget_bytes) return;
    while (m_bytes + bytes > m_budget_bytes && !m_entries.empty()) {
        m_bytes -= m_entries.back().bytes;
        m_entries.pop_back();
    }
    m_entries.push_front({path, stamp, request, view, bytes});
    m_bytes += bytes;
}

std::size_t ViewCache::size_bytes() const {
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

}  // namespace analysis
