// Starts stage commands as child processes, feeds their input and collects their merged output.
#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

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

// How often the reading loop and the feeder look at the stop flag while nothing happens.
constexpr int kPollIntervalMs = 100;
// Time a stopped command gets to end on SIGTERM before its group receives SIGKILL.
constexpr auto kTermGrace = std::chrono::milliseconds(500);
// Time to wait for the output pipe to close after SIGKILL; a process that left the group
// (setsid) may still hold it, and a stop must not hang on it.
constexpr auto kKillGrace = std::chrono::milliseconds(1000);

constexpr std::string_view kProgramName = "taloria2";
constexpr std::string_view kConsoleHelper = "conspawn.exe";

// The front end writes into pipes whose reader may have gone; it must see EPIPE rather
// than be killed by SIGPIPE.
void ignore_sigpipe_once() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Moves a close-on-exec descriptor above the standard ones, so that the child's dup2 onto
// 0, 1 or 2 never meets a descriptor that is already in place and keeps its close-on-exec.
int lift_above_std(int fd) {
    if (fd > 2) return fd;
    int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return lifted;
}

// Creates a pipe whose two ends are close-on-exec and not among descriptors 0 to 2.
bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    int r = lift_above_std(fds[0]);
    if (r < 0) {
        ::close(fds[1]);
        return false;
    }
    read_end.reset(r);
    int w = lift_above_std(fds[1]);
    if (w < 0) {
        read_end.reset();
        return false;
    }
    write_end.reset(w);
    return true;
}

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

// Looks a program up and says why it was not found: ENOENT when no candidate exists,
// EACCES when a candidate exists but cannot be executed.
std::string lookup_program(const std::string& name, const SpawnOptions& options, int& error) {
    error = ENOENT;
    if (name.empty()) return {};
    auto try_path = [&error](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return false;
        if (S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0) return true;
        error = EACCES;
        return false;
    };
    auto join = [](const std::string& dir, const std::string& file) {
        if (dir.empty()) return file;
        return dir.back() == '/' ? dir + file : dir + "/" + file;
    };

    if (name.find('/') != std::string::npos) {
        std::string path =
            name.front() == '/' || options.app_dir.empty() ? name : join(options.app_dir, name);
        return try_path(path) ? path : std::string{};
    }
    if (!options.program_dir.empty()) {
        std::string path = join(options.program_dir, name);
        if (try_path(path)) return path;
    }
    std::string search;
    if (const char* env_path = std::getenv("PATH"); env_path != nullptr) {
        search = env_path;
    } else {
        search = "/usr/local/bin:/usr/bin:/bin";
    }
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string::npos) end = search.size();
        std::string dir = search.substr(start, end - start);
        // An empty entry means the current directory, which for a child is the app directory.
        if (dir.empty()) dir = options.app_dir.empty() ? "." : options.app_dir;
        std::string path = join(dir, name);
        if (try_path(path)) return path;
        start = end + 1;
    }
    return {};
}

std::string signal_description(int sig) {
    std::string text = "killed by signal " + std::to_string(sig);
    if (const char* name = ::strsignal(sig); name != nullptr) {
        text += " (";
        text += name;
        text += ")";
    }
    return text;
}

// Where in the child's preparation a failure happened, sent back with its errno.
enum class ChildStep : int { descriptors, directory, group, exec };

struct ChildReport {
    ChildStep step;
    int error;
};

// Everything the child needs between fork and exec, prepared beforehand: after fork in a
// threaded process only async-signal-safe calls may run, so nothing here allocates.
struct ChildSetup {
    int stdin_fd;
    int stdout_fd;
    int report_fd;  // close-on-exec: closes by itself when exec succeeds
    const char* dir;
    const char* path;
    char* const* argv;
};

// Resets every signal to its default action through the system call itself: the C
// library refuses its own internal signals, and its posix_spawn leaves them ignored in
// the child, which a child would inherit across exec.
void reset_all_signals() {
    constexpr int kMaxSignal = 64;
    // A zeroed kernel sigaction is SIG_DFL with no flags and an empty mask on every
    // architecture, whatever the order of its fields.
    unsigned long zeroed[4] = {0, 0, 0, 0};
    for (int sig = 1; sig <= kMaxSignal; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        ::syscall(SYS_rt_sigaction, sig, zeroed, nullptr, sizeof(std::uint64_t));
    }
}

void close_descriptors_from(unsigned first, unsigned last) {
    if (first > last) return;
    if (::syscall(SYS_close_range, first, last, 0) == 0) return;
    long limit = ::sysconf(_SC_OPEN_MAX);
    if (limit < 0) limit = 1024;
    for (long fd = first; fd < limit && fd <= static_cast<long>(last); ++fd)
        ::close(static_cast<int>(fd));
}

[[noreturn]] void child_fail(int report_fd, ChildStep step) {
    ChildReport report{step, errno};
    [[maybe_unused]] ssize_t ignored = ::write(report_fd, &report, sizeof report);
    ::_exit(127);
}

// Runs in the child after fork: standard descriptors from the pipes, every other one
// closed, the app directory, a process group of its own, default signal actions, nothing
// blocked, then exec.
[[noreturn]] void run_child(const ChildSetup& setup) {
    if (::dup2(setup.stdin_fd, 0) < 0 || ::dup2(setup.stdout_fd, 1) < 0 ||
        ::dup2(setup.stdout_fd, 2) < 0)
        child_fail(setup.report_fd, ChildStep::descriptors);
    const auto report = static_cast<unsigned>(setup.report_fd);
    close_descriptors_from(3, report - 1);
    close_descriptors_from(report + 1, ~0U);
    if (setup.dir[0] != '\0' && ::chdir(setup.dir) != 0)
        child_fail(setup.report_fd, ChildStep::directory);
    if (::setpgid(0, 0) != 0) child_fail(setup.report_fd, ChildStep::group);
    reset_all_signals();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(setup.path, setup.argv, environ);
    child_fail(setup.report_fd, ChildStep::exec);
}

// Forks and execs the child; returns its pid, or -1 with `reason` filled in.
pid_t start_child(const std::string& program, std::vector<std::string>& args, int stdin_fd,
                  int stdout_fd, const std::string& dir, std::string& reason) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    Fd report_read, report_write;
    if (!make_pipe(report_read, report_write)) {
        reason = std::string("no pipe: ") + std::strerror(errno);
        return -1;
    }
    ChildSetup setup{stdin_fd,    stdout_fd,       report_write.get(),
                     dir.c_str(), program.c_str(), argv.data()};

    // No handler of this process may run in the child before exec, so every signal stays
    // blocked across fork; the child unblocks them after resetting their actions.
    sigset_t all, old_mask;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old_mask);
    pid_t pid = ::fork();
    if (pid == 0) run_child(setup);
    int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid < 0) {
        reason = std::string("no process: ") + std::strerror(fork_error);
        return -1;
    }
    report_write.reset();

    // The report pipe closes empty when exec succeeded; otherwise it carries the failure.
    ChildReport report{};
    ssize_t got;
    do {
        got = ::read(report_read.get(), &report, sizeof report);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return pid;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reason = std::strerror(report.error);
    if (report.step == ChildStep::directory)
        reason = "cannot enter directory '" + dir + "': " + reason;
    return -1;
}

bool stop_requested(const SpawnOptions& options) {
    return options.stop != nullptr && options.stop->load();
}

// Carries out a stop: SIGTERM to the child's group at once, SIGKILL after a grace time.
class StopControl {
public:
    using clock = std::chrono::steady_clock;
    StopControl(pid_t pid, const SpawnOptions& options) : pid_(pid), options_(options) {}

    // Looks at the stop flag and sends whatever signal is due; true once a stop began.
    bool update() {
        if (!stopped_ && stop_requested(options_)) {
            stopped_ = true;
            g_bFeeding = false;
            ::kill(-pid_, SIGTERM);
            since_ = clock::now();
        }
        if (stopped_ && !killed_ && clock::now() - since_ >= kTermGrace) {
            ::kill(-pid_, SIGKILL);
            killed_ = true;
        }
        return stopped_;
    }
    bool stopped() const { return stopped_; }
    // True when even SIGKILL has had its time: whatever still holds the output pipe has
    // left the group, and reading must not wait for it.
    bool given_up() const { return killed_ && clock::now() - since_ >= kTermGrace + kKillGrace; }
    // The poll timeout: finite whenever there is a flag to watch or a stop in progress.
    int poll_timeout_ms() const {
        return options_.stop != nullptr || stopped_ ? kPollIntervalMs : -1;
    }

private:
    pid_t pid_;
    const SpawnOptions& options_;
    bool stopped_ = false;
    bool killed_ = false;
    clock::time_point since_{};
};

// Waits for the child to end and returns its wait status (-1 when it cannot be waited
// for). The stop flag is still honoured, because a command may close its output and go on
// running.
int wait_for_child(pid_t pid, StopControl& stop) {
    int status = 0;
    // A pidfd lets the wait sleep in poll() with a time limit; without one, fall back to
    // short sleeps between non-blocking waits.
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        stop.update();
        if (pidfd.get() >= 0) {
            pollfd p{pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, stop.poll_timeout_ms());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
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

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

unsigned long FeedThreadProc(void* args) {
    auto* feed = static_cast<FeedArgs*>(args);
    Fd fd(feed->fd);
    const std::string_view text = feed->text != nullptr ? *feed->text : g_strFeedText;
    const std::atomic<bool>& feeding = feed->feeding != nullptr ? *feed->feeding : g_bFeeding;
    std::size_t fed = std::min(feed->start, text.size());
    g_nFedBytes = fed;
    set_nonblocking(fd.get());
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
    int error = 0;
    return lookup_program(name, options, error);
}

int spawn_command(const std::string& command_line, const std::string& input, std::string& output,
                  const SpawnOptions& options) {
    ignore_sigpipe_once();

    // With the old-console option the helper receives the command text unsplit, as one
    // argument, so that the shell it starts sees the quotes and redirections as written.
    std::vector<std::string> args = split_command_line(command_line);
    if (args.empty()) {
        append_line(output, "cannot start an empty command line");
        return -1;
    }
    if (options.old_console) args = {std::string(kConsoleHelper), command_line};
    if (stop_requested(options)) {
        append_line(output, "stopped by the user");
        return -1;
    }

    int lookup_error = 0;
    std::string program = lookup_program(args[0], options, lookup_error);
    if (program.empty()) {
        append_cannot_start(output, args[0], std::strerror(lookup_error));
        return -1;
    }
    // The child enters the app directory before exec, so a relative path found from here
    // must not be resolved from there.
    if (program.front() != '/') {
        std::error_code ignored;
        program = std::filesystem::absolute(program, ignored).string();
    }

    Fd in_read, in_write, out_read, out_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(out_read, out_write)) {
        append_cannot_start(output, args[0], std::string("no pipe: ") + std::strerror(errno));
        return -1;
    }

    std::string reason;
    pid_t pid = start_child(program, args, in_read.get(), out_write.get(), options.app_dir, reason);
    if (pid < 0) {
        append_cannot_start(output, args[0], reason);
        return -1;
    }
    in_read.reset();
    out_write.reset();

    // The call keeps its own text and flag and hands them to its feeder, so that calls on
    // several threads cannot disturb each other; the globals mirror the latest call.
    const std::string_view feed_text(input.data(), ::strnlen(input.data(), input.size()));
    std::atomic<bool> feeding{true};
    g_strFeedText = feed_text;
    g_bFeeding = true;
    g_nFedBytes = 0;
    // Whatever fits into the empty pipe is written at once; a feeder thread is started
    // only for the rest, which saves a thread per command for the usual small stage data.
    std::size_t fed = 0;
    FeedResult first = FeedResult::full;
    if (set_nonblocking(in_write.get()))
        first = feed_pipe(in_write.get(), feed_text, fed, feeding, options.stop, false);
    std::thread feeder;
    if (first != FeedResult::full) {
        in_write.reset();
    } else {
        FeedArgs feed_args{in_write.get(), options.stop, fed, &feed_text, &feeding};
        try {
            feeder = std::thread([feed_args]() mutable { FeedThreadProc(&feed_args); });
            in_write.release();
        } catch (const std::system_error& e) {
            in_write.reset();
            out_read.reset();
            feeding = false;
            g_bFeeding = false;
            ::kill(-pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            append_cannot_start(output, args[0], std::string("no feeder thread: ") + e.what());
            return -1;
        }
    }

    // Read until every holder of the write end has closed it, looking at the stop flag
    // between reads.
    StopControl stop(pid, options);
    for (;;) {
        if (stop.update() && stop.given_up()) break;
        pollfd p{out_read.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, stop.poll_timeout_ms());
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        std::size_t old_size = output.size();
        output.resize(old_size + kReadPieceBytes);
        ssize_t got = ::read(out_read.get(), output.data() + old_size, kReadPieceBytes);
        if (got > 0) {
            output.resize(old_size + static_cast<std::size_t>(got));
            continue;
        }
        output.resize(old_size);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;  // end of output (or a read error, which ends it just the same)
    }
    out_read.reset();

    feeding = false;
    g_bFeeding = false;
    if (feeder.joinable()) feeder.join();
    int status = wait_for_child(pid, stop);
    g_strFeedText = {};

    if (stop.stopped()) {
        append_line(output, "stopped by the user");
        return -1;
    }
    if (status < 0) {
        append_line(output, "lost the child process of '" + args[0] + "'");
        return -1;
    }
    if (WIFSIGNALED(status)) {
        append_line(output, "'" + args[0] + "' " + signal_description(WTERMSIG(status)));
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace core
