// Shared helpers of the fuzz targets: the input file, the scratch folder, the
// quiet user-interface host and the parts splitter.
#include "fuzz_support.h"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fuzz {

namespace {

void remove_scratch_folder();

std::string make_scratch_folder() {
    // The run script names a folder of its own, which it removes even after a
    // crash has skipped the removal at exit.
    const char* chosen = std::getenv("TALORIA_FUZZ_SCRATCH");
    std::string base = chosen != nullptr && chosen[0] != '\0' ? chosen
                       : ::access("/dev/shm", W_OK) == 0
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/taloria-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot create the scratch folder");
    std::atexit(remove_scratch_folder);
    return pattern;
}

void remove_scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_folder(), ignored);
}

}  // namespace

const std::string& scratch_folder() {
    // Never destroyed: the removal at exit still needs the name.
    static const std::string* folder = new std::string(make_scratch_folder());
    return *folder;
}

InputFile::InputFile(std::string_view suffix) {
    static int count = 0;
    path_ = scratch_folder() + "/input" + std::to_string(++count) + std::string(suffix);
}

InputFile::~InputFile() { ::unlink(path_.c_str()); }

void InputFile::write(const std::uint8_t* data, std::size_t size) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create the input file");
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot write the input file");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void split_parts(const std::uint8_t* data, std::size_t size, char separator, std::string* parts,
                 std::size_t count) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = i + 1 < count ? rest.find(separator) : std::string_view::npos;
        parts[i] = std::string(rest.substr(0, at));
        rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    }
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    // libFuzzer may have closed standard error (-close_fd_mask); the
    // sanitizers' report channel stays open, so the reason is shown there too.
    const std::string summary = std::string("fuzz check failed: ") + what;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

}  // namespace fuzz
