// The replay layer's four calls: database check, rendering through the engine
// program, the held error report and unloading.
#include "mbrplay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "engine_process.h"
#include "temp_file.h"
#include "text_input.h"

namespace {

constexpr const char* kEngineName = "mbrola";
constexpr const char* kEnginePackage = "mbrola";

// Everything the layer remembers between calls.
struct LayerState {
    std::string database;  // empty until MBR_SetDatabase succeeded
    bool has_error = false;
    std::string error;
};

LayerState& layer() {
    static LayerState state;
    return state;
}

int fail(std::string text) {
    layer().has_error = true;
    layer().error = std::move(text);
    return -1;
}

void clear_error() {
    layer().has_error = false;
    layer().error.clear();
}

std::string trimmed(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && std::strchr(" \t\r\n", text[end - 1]) != nullptr) --end;
    std::size_t start = 0;
    while (start < end && std::strchr(" \t\r\n", text[start]) != nullptr) ++start;
    return text.substr(start, end - start);
}

// The engine takes any word that starts with "-" as an option (and "-" alone
// as a standard stream), so such relative names are written with "./" in front.
std::string engine_path_arg(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

// Finds the engine, or records why it cannot be used and returns "".
std::string locate_engine() {
    std::string engine = process::find_program(kEngineName, {});
    if (engine.empty()) {
        fail(std::string("The MBROLA engine program '") + kEngineName +
             "' is not installed or not on PATH (install the Debian package '" + kEnginePackage +
             "').");
    }
    return engine;
}

// Runs the engine and turns a failure into the held error. Returns true when
// the engine ended with status 0.
bool run_engine(const std::string& engine, const std::vector<std::string>& argv, bool feed,
                const std::string& text) {
    const mbrplay::ChildRun run = mbrplay::run_child(engine, argv, feed, text);
    if (!run.started) {
        fail("Cannot start the MBROLA engine '" + engine + "': " + std::strerror(run.start_errno));
        return false;
    }
    if (run.exit_status == 0) return true;
    std::string report = trimmed(run.messages);
    if (report.empty()) {
        report = run.signal_number != 0
                     ? "The MBROLA engine was ended by signal " + std::to_string(run.signal_number)
                     : "The MBROLA engine failed with status " + std::to_string(run.exit_status);
    }
    fail(report);
    return false;
}

// Where the engine writes: always a fresh regular file, so that the layer can
// check what the engine wrote before the output sees any of it (the engine
// itself does not report a failing write). A regular output, or a new one,
// gets the file beside it, renamed over it only after success, so that a
// failed conversion leaves an earlier output as it was and never a truncated
// one. Any other output (a device, a pipe, a link) gets the file in the
// system's temporary folder, and the layer copies it into the output.
struct OutputTarget {
    std::string temp_path;  // the file the engine writes; empty when none could be made
    std::string extension;  // the temporary file's extension, which sets the engine's format
    bool copy_into_output = false;
};

// The output's extension as the engine reads it, or ".raw" for plain samples
// (also when the output has no extension, which gives raw samples as well).
std::string engine_extension(const std::string& base, bool format_by_name) {
    const std::size_t dot = base.rfind('.');
    if (!format_by_name || dot == std::string::npos) return ".raw";
    return base.substr(dot);
}

// A new empty file "<dir>.<base>.XXXXXX<extension>" with the given mode, or "".
std::string make_temp_file(const std::string& dir, const std::string& base,
                           const std::string& extension, mode_t mode) {
    std::string path;
    const int fd = tempfile::create_in(dir, base, extension, mode, path);
    if (fd < 0) return {};
    ::close(fd);
    return path;
}

std::string system_temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
    if (path.back() != '/') path += '/';
    return path;
}

OutputTarget prepare_output(const std::string& output, bool format_by_name) {
    const std::size_t slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : output.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? output : output.substr(slash + 1);
    const std::string extension = engine_extension(base, format_by_name);

    struct stat info {};
    const bool exists = ::lstat(output.c_str(), &info) == 0;
    const mode_t mode = tempfile::replacement_mode(output);
    if ((!exists || S_ISREG(info.st_mode)) && !base.empty()) {
        const std::string beside = make_temp_file(dir, base, extension, mode);
        if (!beside.empty()) return {beside, extension, false};
    }
    // Not a regular file, or its folder takes no new file: the copy goes
    // through the output's own name.
    if (base.empty()) base = "output";
    return {make_temp_file(system_temp_dir(), "mbrplay-" + base, extension, 0600), extension, true};
}

std::uint32_t little_endian_32(const unsigned char* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 |
           std::uint32_t(at[3]) << 24;
}

std::uint32_t big_endian_32(const unsigned char* at) {
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 |
           std::uint32_t(at[3]);
}

// False when a file the engine wrote in a format with a header (WAVE, AU,
// AIFF) is shorter than its header states, or has no header at all: a write
// failed on the way, as on a full disk. Raw samples carry nothing to check.
bool engine_file_is_whole(const std::string& path, const std::string& extension) {
    std::string kind = extension;
    for (char& c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (kind != ".wav" && kind != ".au" && kind != ".aiff") return true;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    unsigned char head[12] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (got < sizeof head) return false;
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (kind == ".wav") {
        return std::memcmp(head, "RIFF", 4) == 0 && size >= little_endian_32(head + 4) + 8ull;
    }
    if (kind == ".aiff") {
        return std::memcmp(head, "FORM", 4) == 0 && size >= big_endian_32(head + 4) + 8ull;
    }
    const std::uint32_t data_bytes = big_endian_32(head + 8);
    const bool unknown_length = data_bytes == 0xFFFFFFFFu;
    return std::memcmp(head, ".snd", 4) == 0 &&
           (unknown_length || size >= std::uint64_t(big_endian_32(head + 4)) + data_bytes);
}

bool write_whole(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies the file at `from` into `to`, checking every write and the close.
// Returns 0 or the errno of the failure.
int copy_into(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) error = errno;
            break;
        }
        if (!write_whole(out, buffer, static_cast<std::size_t>(got))) {
            error = errno != 0 ? errno : EIO;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 && error == 0 && errno != EINTR) error = errno;
    return error;
}

// Moves what the engine wrote into the output. The temporary file is gone
// afterwards, whatever happened.
int deliver_output(const OutputTarget& target, const std::string& output) {
    const std::string& temp = target.temp_path;
    if (!engine_file_is_whole(temp, target.extension)) {
        ::unlink(temp.c_str());
        return fail("Cannot write '" + output + "': the output was cut short (is the disk full?)");
    }
    if (target.copy_into_output) {
        const int error = copy_into(temp, output);
        ::unlink(temp.c_str());
        if (error != 0) return fail("Cannot write '" + output + "': " + std::strerror(error));
        return 0;
    }
    if (std::rename(temp.c_str(), output.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return fail("Cannot write '" + output + "': " + std::strerror(error));
    }
    return 0;
}

}  // namespace

int MBR_LastError(char* buffer, int size) {
    if (buffer != nullptr && size > 0) {
        const std::string& text = layer().has_error ? layer().error : std::string();
        const std::size_t room = static_cast<std::size_t>(size) - 1;
        const std::size_t count = text.size() < room ? text.size() : room;
        std::memcpy(buffer, text.data(), count);
        buffer[count] = '\0';
    }
    return layer().has_error ? -1 : 0;
}

int MBR_SetDatabase(const char* path) {
    if (path == nullptr || *path == '\0') return fail("No voice database was given.");
    const std::string engine = locate_engine();
    if (engine.empty()) return -1;
    // Loading the database on an empty phoneme input makes the engine report a
    // missing or unreadable database now, before any phoneme is read.
    const std::vector<std::string> argv = {kEngineName, engine_path_arg(path), "/dev/null",
                                           "/dev/null"};
    if (!run_engine(engine, argv, false, {})) {
        layer().database.clear();
        return -1;
    }
    layer().database = path;
    clear_error();
    return 0;
}

int MBR_Play(const char* input, int flags, const char* output, MBR_Callback callback) {
    if (callback != nullptr) return fail("MBR_Play takes no callback; pass null.");
    if (layer().database.empty()) return fail("No voice database is selected.");
    if (input == nullptr) return fail("No phoneme input was given.");
    if (output == nullptr || *output == '\0') return fail("No output file was given.");
    const std::string engine = locate_engine();
    if (engine.empty()) return -1;

    const bool from_file = (flags & MBR_FLAG_FILE_INPUT) != 0;
    const bool as_script = from_file && (flags & MBR_FLAG_SCRIPT) != 0;
    std::string text;
    bool feed = false;
    std::string input_arg = "-";
    if (!from_file) {
        text = input;
        feed = true;
    } else if (as_script) {
        std::FILE* script = std::fopen(input, "rb");
        if (script == nullptr) {
            return fail(std::string("Cannot open the phoneme script '") + input +
                        "': " + std::strerror(errno));
        }
        text = mbrplay::read_text_stream(script);
        std::fclose(script);
        feed = true;
    } else {
        input_arg = engine_path_arg(input);
    }

    const OutputTarget target = prepare_output(output, (flags & MBR_FLAG_FORMAT_BY_NAME) != 0);
    if (target.temp_path.empty()) {
        return fail(std::string("Cannot write '") + output + "': " + std::strerror(errno));
    }
    std::vector<std::string> argv = {kEngineName};
    // Without the strict bit the engine replaces missing diphones by silence.
    if ((flags & MBR_FLAG_STRICT) == 0) argv.push_back("-e");
    argv.push_back(engine_path_arg(layer().database));
    argv.push_back(input_arg);
    argv.push_back(engine_path_arg(target.temp_path));

    const bool ok = run_engine(engine, argv, feed, text);
    if (!ok) {
        ::unlink(target.temp_path.c_str());
        return -1;
    }
    if (deliver_output(target, output) != 0) return -1;
    clear_error();
    return 0;
}

void MBR_MBRUnload() {
    layer().database.clear();
    clear_error();
}
