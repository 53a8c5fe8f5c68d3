// Starts stage commands as child processes, feeds their input and collects their merged output.
#include "stage_command.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <thread>

#include "child_process.h"

namespace core {

std::string_view g_strFeedText;
std::atomic<bool> g_bFeeding{false};
std::atomic<std::size_t> g_nFedBytes{0};

namespace {

// Pieces of 64 KiB fill a Linux pipe in one call; 256-byte pieces cost one system call
// (and one wake-up of the child) per 256 bytes, which the runner benchmark shows to be the
// limiting cost for large data.
constexpr std::size_t kFeedPieceBytes = 64 * 1024;
constexpr std::size_t kReadPieceBytes = 64 * 1024;

// How often the feeder looks at the stop flag while the pipe is full.
constexpr int kPollIntervalMs = process::GroupStopper::kPollIntervalMs;

constexpr std::string_view kProgramName = "taloria2";
constexpr std::string_view kConsoleHelper = "conspawn.exe";

void append_line(std::string& output, std::string_view line) {
    if (!output.empty() && output.back() != '\n') output += '\n';
    output += kProgramName;
    output += ": ";
    output += line;
    output += '\n';
}

void append_cannot_start(std::string& output, std::string_view program, std::string_view reason) {
    std::string line = "cannot start '";
    line += program;
    line += "': ";
    line += reason;
    append_line(output, line);
}

process::SearchPlaces search_places(const SpawnOptions& options) {
    return {options.program_dir, options.app_dir};
}

bool stop_requested(const SpawnOptions& options) {
    return options.stop != nullptr && options.stop->load();
}

enum class FeedResult { done, full, ended };

// Writes the text from `fed` on into the non-blocking descriptor. With `wait`, a full pipe
// is waited for in poll() (so that the flags are still read while a reader neither reads
// nor exits); without, a full pipe returns `full`. `ended` means feeding stopped early:
// flag cleared, stop requested, or the reader gone (EPIPE: it wants no more input).
FeedResult feed_pipe(int fd, std::string_view text, std::size_t& fed,
                     const std::atomic<bool>& feeding, const std::atomic<bool>* stop, bool wait) {
    auto keep_feeding = [&feeding, stop] {
        return feeding.load() && !(stop != nullptr && stop->load());
    };
    while (fed < text.size()) {
        if (!keep_feeding()) return FeedResult::ended;
        std::size_t piece = std::min(kFeedPieceBytes, text.size() - fed);
        ssize_t written = ::write(fd, text.data() + fed, piece);
        if (written > 0) {
            fed += static_cast<std::size_t>(written);
            g_nFedBytes = fed;
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            if (!wait) return FeedResult::full;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, kPollIntervalMs);
            continue;
        }
        return FeedResult::ended;
    }
    return FeedResult::done;
}

// The words to start and the program file for one command line; false (with the reason in
// `output`) when there is nothing that can be started.
bool resolve_command(const std::string& command_line, const SpawnOptions& options,
                     std::string& output, std::vector<std::string>& args, std::string& program) {
    // With the old-console option the helper receives the command text unsplit, as one
    // argument, so that the shell it starts sees the quotes and redirections as written.
    args = split_command_line(command_line);
    if (args.empty()) {
        append_line(output, "cannot start an empty command line");
        return false;
    }
    if (options.old_console) args = {std::string(kConsoleHelper), command_line};
    if (stop_requested(options)) {
        append_line(output, "stopped by the user");
        return false;
    }
    int lookup_error = 0;
    program = process::find_program(args[0], search_places(options), &lookup_error);
    if (program.empty()) {
        append_cannot_start(output, args[0], std::strerror(lookup_error));
        return false;
    }
    // The child enters the app directory before exec, so a relative path found from here
    // must not be resolved from there.
    if (program.front() != '/') {
        std::error_code ignored;
        program = std::filesystem::absolute(program, ignored).string();
    }
    return true;
}

// The parent's ends of a running command's pipes.
struct CommandPipes {
    process::Fd input;   // write end of the child's standard input
    process::Fd output;  // read end of its standard output and error
};

// Starts the child in the app directory and a process group of its own, its standard input
// and merged output on two pipes; -1 with the reason in `output` when it cannot start.
pid_t start_command(const std::string& program, std::vector<std::string> args,
                    const SpawnOptions& options, CommandPipes& pipes, std::string& output) {
    process::Fd in_read, out_write;
    if (!process::make_pipe(in_read, pipes.input) || !process::make_pipe(pipes.output, out_write)) {
        append_cannot_start(output, args[0], std::string("no pipe: ") + std::strerror(errno));
        return -1;
    }
    process::ChildSpec launch;
    launch.program = program;
    launch.argv = std::move(args);
    launch.stdin_fd = in_read.get();
    launch.stdout_fd = out_write.get();
    launch.stderr_fd = out_write.get();
    launch.dir = options.app_dir;
    launch.own_group = true;
    std::string reason;
    const pid_t pid = process::start_child(launch, reason);
    if (pid < 0) append_cannot_start(output, launch.argv[0], reason);
    return pid;
}

// Feeds the command its input: whatever fits into the empty pipe is written at once, and a
// feeder thread is started only for the rest, which saves a thread per command for the usual
// small stage data. False (the child killed, the reason in `output`) when no thread starts.
bool start_feeding(pid_t pid, const std::string& program_word, const std::string_view& feed_text,
                   std::atomic<bool>& feeding, const SpawnOptions& options, process::Fd& input,
                   std::thread& feeder, std::string& output) {
    std::size_t fed = 0;
    FeedResult first = FeedResult::full;
    if (process::set_nonblocking(input.get()))
        first = feed_pipe(input.get(), feed_text, fed, feeding, options.stop, false);
    if (first != FeedResult::full) {
        input.reset();
        return true;
    }
    FeedArgs feed_args{input.get(), options.stop, fed, &feed_text, &feeding};
    try {
        feeder = std::thread([feed_args]() mutable { FeedThreadProc(&feed_args); });
        input.release();
        return true;
    } catch (const std::system_error& e) {
        input.reset();
        feeding = false;
        g_bFeeding = false;
        ::kill(-pid, SIGKILL);
        process::wait_for_exit(pid);
        append_cannot_start(output, program_word, std::string("no feeder thread: ") + e.what());
        return false;
    }
}

// Reads the merged output until every holder of the pipe's write end has closed it, looking
// at the stop flag between reads.
void drain_output(int fd, process::GroupStopper& stop, std::string& output) {
    for (;;) {
        if (stop.update()) {
            g_bFeeding = false;
            if (stop.given_up()) break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, stop.poll_timeout_ms());
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const std::size_t old_size = output.size();
        output.resize(old_size + kReadPieceBytes);
        const ssize_t got = ::read(fd, output.data() + old_size, kReadPieceBytes);
        if (got > 0) {
            output.resize(old_size + static_cast<std::size_t>(got));
            continue;
        }
        output.resize(old_size);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;  // end of output (or a read error, which ends it just the same)
    }
}

// The command's result from how it ended: its exit code, or -1 with the reason in `output`.
int command_result(const process::ExitStatus& status, bool stopped, const std::string& word,
                   std::string& output) {
    if (stopped) {
        append_line(output, "stopped by the user");
        return -1;
    }
    if (status.lost) {
        append_line(output, "lost the child process of '" + word + "'");
        return -1;
    }
    if (status.signal_number != 0) {
        append_line(output, "'" + word + "' " + process::describe_signal(status.signal_number));
        return -1;
    }
    return status.exit_code;
}

}  // namespace

unsigned long FeedThreadProc(void* args) {
    auto* feed = static_cast<FeedArgs*>(args);
    process::Fd fd(feed->fd);
    const std::string_view text = feed->text != nullptr ? *feed->text : g_strFeedText;
    const std::atomic<bool>& feeding = feed->feeding != nullptr ? *feed->feeding : g_bFeeding;
    std::size_t fed = std::min(feed->start, text.size());
    g_nFedBytes = fed;
    process::set_nonblocking(fd.get());
    // No end byte follows the data: closing the pipe is the end of the input.
    return feed_pipe(fd.get(), text, fed, feeding, feed->stop, true) == FeedResult::done ? 1 : 0;
}

std::vector<std::string> split_command_line(const std::string& command_line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (std::size_t i = 0; i < command_line.size(); ++i) {
        char c = command_line[i];
        if (c == '\\' && i + 1 < command_line.size() && command_line[i + 1] == '"') {
            word += '"';
            in_word = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;  // "" is an empty word of its own
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

std::string find_program(const std::string& name, const SpawnOptions& options) {
    return process::find_program(name, search_places(options));
}

int spawn_command(const std::string& command_line, const std::string& input, std::string& output,
                  const SpawnOptions& options) {
    process::ignore_sigpipe();
    std::vector<std::string> args;
    std::string program;
    if (!resolve_command(command_line, options, output, args, program)) return -1;
    const std::string word = args[0];
    CommandPipes pipes;
    const pid_t pid = start_command(program, std::move(args), options, pipes, output);
    if (pid < 0) return -1;

    // The call keeps its own text and flag and hands them to its feeder, so that calls on
    // several threads cannot disturb each other; the globals mirror the latest call.
    const std::string_view feed_text(input.data(), ::strnlen(input.data(), input.size()));
    std::atomic<bool> feeding{true};
    g_strFeedText = feed_text;
    g_bFeeding = true;
    g_nFedBytes = 0;
    std::thread feeder;
    if (!start_feeding(pid, word, feed_text, feeding, options, pipes.input, feeder, output))
        return -1;

    process::GroupStopper stop(pid, options.stop);
    drain_output(pipes.output.get(), stop, output);
    pipes.output.reset();
    feeding = false;
    g_bFeeding = false;
    if (feeder.joinable()) feeder.join();
    const process::ExitStatus status = process::wait_for_exit(pid, &stop);
    g_strFeedText = {};
    return command_result(status, stop.stopped(), word, output);
}

}  // namespace core
