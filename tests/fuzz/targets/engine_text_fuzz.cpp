// Fuzz target: phoneme text through the replay layer and the real MBROLA
// engine, and the engine's answer (its output and error text) as the layer
// holds it and hands it out through MBR_LastError.
//
// Input: one flag byte (bit 0: strict, an unknown diphone is an error; bit 1:
// the text comes from a phoneme script file instead of memory), then the
// phoneme text. Each input starts the engine once, so this target runs about a
// hundred inputs a second.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mbrplay.h"

namespace {

constexpr const char* kVoice = "/usr/share/mbrola/en1/en1";

// Copies the held error into buffers of several sizes and checks that each
// copy is a terminated prefix of the longest one.
void check_error_copies(bool expect_error) {
    static std::vector<char> whole(1 << 17);
    const int status = MBR_LastError(whole.data(), static_cast<int>(whole.size()));
    fuzz::check(status == (expect_error ? -1 : 0), "MBR_LastError disagrees with the result");
    const std::size_t length = std::strlen(whole.data());
    fuzz::check(expect_error ? length > 0 : length == 0, "error text presence");
    for (int size : {1, 2, 7, 200}) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 8, '\x55');
        MBR_LastError(buffer.data(), size);
        const std::size_t copied = ::strnlen(buffer.data(), buffer.size());
        fuzz::check(copied < static_cast<std::size_t>(size),
                    "copy not terminated within the buffer");
        fuzz::check(std::memcmp(buffer.data(), whole.data(), copied) == 0, "copy is no prefix");
        fuzz::check(buffer[static_cast<std::size_t>(size)] == '\x55', "written past the buffer");
    }
    fuzz::check(MBR_LastError(nullptr, 0) == status, "status without a buffer differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile script(".phs");
    static const std::string output = fuzz::scratch_folder() + "/engine.wav";
    static const bool ready = MBR_SetDatabase(kVoice) == 0;
    fuzz::check(ready, "the MBROLA voice cannot be selected");
    if (size == 0) return 0;

    const int choice = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    int flags = MBR_FLAG_FORMAT_BY_NAME;
    if (choice & 1) flags |= MBR_FLAG_STRICT;
    int result;
    if (choice & 2) {
        script.write(text);
        result = MBR_Play(script.path().c_str(), flags | MBR_FLAG_FILE_INPUT | MBR_FLAG_SCRIPT,
                          output.c_str(), nullptr);
    } else {
        // Text in memory ends at its first NUL, as a C string does.
        result = MBR_Play(text.c_str(), flags, output.c_str(), nullptr);
    }
    fuzz::check(result == 0 || result == -1, "MBR_Play result");
    check_error_copies(result != 0);
    if (result == 0) {
        struct stat info {};
        fuzz::check(::stat(output.c_str(), &info) == 0, "success without an output file");
    }
    return 0;
}
