// Runs one stage command as a child process with piped standard input and merged output,
// on top of the process layer (platform/process).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace core {

struct SpawnOptions {
    std::string app_dir;       // child's current directory
    std::string program_dir;   // folder of the taloria2 executable (lookup before PATH)
    bool old_console = false;  // start through conspawn.exe
    const std::atomic<bool>* stop = nullptr;  // set from another thread: kill the child's group
};

// Runs one command line; `output` gets everything it printed (stdout+stderr merged).
// Returns the exit status (0 success), or -1 when it could not be started or was stopped
// or killed by a signal, with the reason appended to `output`.
int spawn_command(const std::string& command_line, const std::string& input, std::string& output,
                  const SpawnOptions& options);

// Splits a command line into words: blanks separate, double quotes group (and are removed),
// a backslash escapes a double quote.
std::vector<std::string> split_command_line(const std::string& command_line);

// Finds a program: a name without '/' in program_dir, then along PATH; a name with '/'
// relative to app_dir. Empty when not found or not executable.
std::string find_program(const std::string& name, const SpawnOptions& options);

// Feeder state of the running command (only one runs at a time in the front end).
// g_strFeedText views the caller's input, cut at its first NUL byte (a view, so that large
// data are not copied; the input outlives the feeding). g_bFeeding is set before the feeder
// starts and cleared when the output has ended or on a stop. g_nFedBytes counts the bytes
// written so far. spawn_command also hands its feeder the text and flag directly, so calls on
// several threads stay independent; the globals then show the latest call.
extern std::string_view g_strFeedText;
extern std::atomic<bool> g_bFeeding;
extern std::atomic<std::size_t> g_nFedBytes;

// Arguments of one feeder run: the write end of the child's input pipe (the feeder closes
// it), the stop flag that ends the feeding early, how many bytes of the text the caller has
// already written, and the text and feeding flag to use (the globals when null).
struct FeedArgs {
    int fd = -1;
    const std::atomic<bool>* stop = nullptr;
    std::size_t start = 0;
    const std::string_view* text = nullptr;
    const std::atomic<bool>* feeding = nullptr;
};

// Writes the text into args->fd in pieces, then closes the descriptor; no end byte is
// written. Ends early when the feeding flag is cleared, the stop flag is set or the reader
// has gone (EPIPE). Shaped as a thread entry point; returns 1 when all was written, else 0.
unsigned long FeedThreadProc(void* args);

}  // namespace core
