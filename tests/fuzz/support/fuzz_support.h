// Shared helpers of the fuzz targets: fatal messages as refusals, fuzz input as
// a file, and a quiet user-interface host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// Thrown in place of ending the process when the code under test calls
// zir_fatal: a fatal message is how parvox refuses input, not a crash.
struct Refusal {
    std::string message;
};

// Runs `parse`; returns true when it finished, false when it refused through
// zir_fatal. Streams that the parse opened with fopen and left open when it
// refused are closed, as the process end would have closed them.
template <class F>
bool survives_refusal(F&& parse);

// Called by survives_refusal; exposed so that the template stays in the header.
void begin_guarded_parse();
void end_guarded_parse(bool refused);

// One file per process whose content is replaced for every input. Its path
// stays the same, so the code under test opens it like any user file.
class InputFile {
public:
    // `suffix` becomes the end of the file name (".wav", ".txt", ...).
    explicit InputFile(std::string_view suffix = "");
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Replaces the file's content with `size` bytes.
    void write(const std::uint8_t* data, std::size_t size);
    void write(std::string_view text) {
        write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A private folder, made in $TALORIA_FUZZ_SCRATCH when set, else in /dev/shm
// (memory) when it exists, else in the temporary folder; removed with
// everything in it when the process ends normally.
const std::string& scratch_folder();

// Installs, once, a user-interface host that shows nothing and answers every
// dialog with Cancel, except the File Needed dialog, which answers OK with
// `answered_file` so that the code after it runs too.
void install_quiet_ui_host(const std::string& answered_file = "asked-file.txt");

// Splits fuzz data at the byte `separator` into at most `count` parts (the last
// part keeps any further separators). Missing parts are empty.
void split_parts(const std::uint8_t* data, std::size_t size, char separator, std::string* parts,
                 std::size_t count);

// Aborts with a message; used for checks that a fault would break, so that
// libFuzzer reports the input.
[[noreturn]] void fail(const char* what);
inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

template <class F>
bool survives_refusal(F&& parse) {
    begin_guarded_parse();
    try {
        parse();
    } catch (const Refusal&) {
        end_guarded_parse(true);
        return false;
    }
    end_guarded_parse(false);
    return true;
}

}  // namespace fuzz
