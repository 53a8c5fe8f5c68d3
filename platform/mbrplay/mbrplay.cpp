// The replay layer's four calls: database check, rendering through the engine
// program, the held error report and unloading.
#include "mbrplay.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine_process.h"
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
    std::string engine = mbrplay::find_on_path(kEngineName);
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

// Where the engine writes: a fresh temporary file beside the output, renamed
// over it only after success, so that a failed conversion leaves an earlier
// output as it was and never a truncated one. Outputs that are not regular
// files (devices, pipes, links) are written directly.
struct OutputTarget {
    std::string engine_path;  // the name the engine is given
    std::string temp_path;    // empty when writing directly
};

OutputTarget prepare_output(const std::string& output, bool format_by_name) {
    struct stat info {};
    const bool exists = ::lstat(output.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) return {engine_path_arg(output), {}};

    const std::size_t slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : output.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? output : output.substr(slash + 1);
    if (base.empty()) return {engine_path_arg(output), {}};

    // The engine picks its format from the name's extension, so the temporary
    // name carries the output's extension, or ".raw" for plain samples (also
    // when the output has no extension, which gives raw samples as well).
    std::string extension = ".raw";
    const std::size_t dot = base.rfind('.');
    if (format_by_name && dot != std::string::npos) extension = base.substr(dot);
    const std::string pattern = dir + "." + base + ".XXXXXX" + extension;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemps(buffer.data(), static_cast<int>(extension.size()));
    if (fd < 0) return {engine_path_arg(output), {}};

    // mkstemps creates the file private; give it the mode the output has or
    // would get when created normally.
    mode_t mode = 0;
    if (exists) {
        mode = info.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    ::close(fd);
    const std::string temp(buffer.data());
    return {temp, temp};
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
    std::vector<std::string> argv = {kEngineName};
    // Without the strict bit the engine replaces missing diphones by silence.
    if ((flags & MBR_FLAG_STRICT) == 0) argv.push_back("-e");
    argv.push_back(engine_path_arg(layer().database));
    argv.push_back(input_arg);
    argv.push_back(target.engine_path);

    const bool ok = run_engine(engine, argv, feed, text);
    if (!target.temp_path.empty()) {
        if (!ok) {
            ::unlink(target.temp_path.c_str());
            return -1;
        }
        if (std::rename(target.temp_path.c_str(), output) != 0) {
            const int error = errno;
            ::unlink(target.temp_path.c_str());
            return fail(std::string("Cannot write '") + output + "': " + std::strerror(error));
        }
    }
    if (!ok) return -1;
    clear_error();
    return 0;
}

void MBR_MBRUnload() {
    layer().database.clear();
    clear_error();
}
