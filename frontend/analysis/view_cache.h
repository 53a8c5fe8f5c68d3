// Signal views of files, kept while each file is unchanged (same size and
// modification time) and within a byte budget; the oldest go first.
// Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>

#include "signal_view.h"

namespace analysis {

// What identifies one state of a file.
struct FileStamp {
    std::uint64_t size_bytes = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path`; nothing when it cannot be read.
std::optional<FileStamp> StampOf(const std::string& path);

class ViewCache {
public:
    explicit ViewCache(std::size_t budget_bytes) : m_budget_bytes(budget_bytes) {}
    // The view computed earlier for the same file state and request.
    std::optional<SignalView> find(const std::string& path, const FileStamp& stamp,
                                   const ViewRequest& request);
    // Keeps a view; views of other states of the same file are dropped.
    void add(const std::string& path, const FileStamp& stamp, const ViewRequest& request,
             const SignalView& view);
    std::size_t size_bytes() const;

private:
    struct Entry {
        std::string path;
        FileStamp stamp;
        ViewRequest request;
        SignalView view;
        std::size_t bytes;
    };
    mutable std::mutex m_mutex;
    std::list<Entry> m_entries;  // most recently used first
    std::size_t m_budget_bytes;
    std::size_t m_bytes = 0;
};

}  // namespace analysis
