// Temporary files beside the file they will replace.
#include "temp_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

namespace tempfile {

mode_t replacement_mode(const std::string& target) {
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

int create_in(const std::string& folder, const std::string& name, const std::string& suffix,
              mode_t mode, std::string& path) {
    const std::string pattern = folder + "." + name + ".XXXXXX" + suffix;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkostemps(buffer.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) return -1;
    // mkostemps makes the file private to its owner.
    ::fchmod(fd, mode);
    path.assign(buffer.data());
    return fd;
}

int create_beside(const std::string& target, const std::string& suffix, std::string& temp_path) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return create_in(folder, name, suffix, replacement_mode(target), temp_path);
}

}  // namespace tempfile
