// The manifest of a corpus run: DIR/manifest.jsonl, one JSON object per line
// and item. Lines are only ever appended, each with a single write, so a run
// that is killed leaves whole lines; a later run appends, and the last line of
// an item is the one that counts.
#pragma once

#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace headless {

// The numbers of the items whose last line says "completed". Lines that are
// not whole JSON objects are skipped. A missing file gives the empty set.
std::set<int> ReadCompletedItems(const std::string& path);

class ManifestWriter {
public:
    ManifestWriter() = default;
    ~ManifestWriter();
    ManifestWriter(const ManifestWriter&) = delete;
    ManifestWriter& operator=(const ManifestWriter&) = delete;

    // Opens `path` for appending (created when missing). A last line without
    // its line end (a writer that was killed) is ended first, so that it
    // cannot run into the next line.
    bool Open(const std::string& path, std::string& error);
    // Appends `entry` as one line with one write.
    bool Append(const nlohmann::json& entry);

private:
    int m_fd = -1;
};

}  // namespace headless
