// Whole-file reads and writes with POSIX calls, so every error is seen.
#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "temp_file.h"

namespace framework {

namespace {

bool WriteAll(int fd, std::string_view data) {
    size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReadBinaryFile(const std::string& path, std::string& data) {
    // Opened without blocking and refused unless it is a regular file: a named pipe
    // or a device would hold the reading thread (the UI thread) for good.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::string result;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        result.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    data = std::move(result);
    return true;
}

bool ReadTextFile(const std::string& path, std::string& text) {
    std::string raw;
    if (!ReadBinaryFile(path, raw)) return false;
    std::string result;
    result.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        result.push_back(raw[i]);
    }
    text = std::move(result);
    return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

namespace {

// The pattern of the temporary file beside `target` (tempfile::create_beside):
// ".NAME.XXXXXX".
constexpr std::size_t kTempSuffixLength = 6;

std::string TempFilePrefix(const std::filesystem::path& target) {
    return "." + target.filename().string() + ".";
}

}  // namespace

void RemoveLeftoverTempFiles(const std::string& path) {
    std::filesystem::path target(path);
    std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    const std::string prefix = TempFilePrefix(target);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != prefix.size() + kTempSuffixLength ||
            name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (!entry.is_regular_file(error)) continue;
        std::filesystem::remove(entry.path(), error);
    }
}

bool WriteFileAtomic(const std::string& path, std::string_view data, bool durable) {
    std::string target = path;
    struct stat link_info {};
    if (::lstat(path.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
    }
    // The temporary file gets the old file's permission bits, or the ordinary ones
    // that the umask allows for a new file.
    std::string temp;
    int fd = tempfile::create_beside(target, "", temp);
    if (fd < 0) return false;

    bool ok = WriteAll(fd, data) && (!durable || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

bool WriteFileInPlace(const std::string& path, std::string_view data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data);
    return (::close(fd) == 0) && ok;
}

bool MakeDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

}  // namespace framework
