// Reading and appending the manifest of a corpus run.
#include "manifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace headless {

std::set<int> ReadCompletedItems(const std::string& path) {
    std::set<int> completed;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_object() || !entry.contains("item") || !entry["item"].is_number_integer())
            continue;
        const int item = entry["item"].get<int>();
        if (entry.value("status", "") == "completed") {
            completed.insert(item);
        } else {
            completed.erase(item);
        }
    }
    return completed;
}

ManifestWriter::~ManifestWriter() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ManifestWriter::Open(const std::string& path, std::string& error) {
    m_fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    char last = '\n';
    if (size > 0 && ::pread(m_fd, &last, 1, size - 1) == 1 && last != '\n') {
        if (::write(m_fd, "\n", 1) != 1) {
            error = "cannot write '" + path + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool ManifestWriter::Append(const nlohmann::json& entry) {
    const std::string line =
        entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // One write: with O_APPEND the line lands whole at the end, or not at all.
    ssize_t written;
    do {
        written = ::write(m_fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(line.size());
}

}  // namespace headless
