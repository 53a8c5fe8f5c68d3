// Child processes with pipes: fork and exec with a failure report pipe, the
// program search, waiting with a stop flag, and stopping a process group.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

extern char** environ;

namespace process {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {

// Moves a close-on-exec descriptor above the standard ones, so that the
// child's dup2 onto 0, 1 or 2 never meets a descriptor that is already in
// place and keeps its close-on-exec.
int lift_above_std(int fd) {
    if (fd > 2) return fd;
    const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return lifted;
}

// The directories searched when PATH is unset.
constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

std::string join(const std::string& dir, const std::string& file) {
    if (dir.empty()) return file;
    return dir.back() == '/' ? dir + file : dir + "/" + file;
}

// Whether `path` is an executable regular file; `error` becomes EACCES when
// something is there that cannot be executed.
bool is_executable(const std::string& path, int& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    if (S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0) return true;
    error = EACCES;
    return false;
}

std::string search_path_dirs(const std::string& name, const std::string& base_dir, int& error) {
    const std::string dirs = search_path();
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        // An empty entry means the current directory: the base directory.
        if (dir.empty()) dir = base_dir.empty() ? "." : base_dir;
        const std::string path = join(dir, name);
        if (is_executable(path, error)) return path;
        start = end + 1;
    }
    return {};
}

// Where in the child's preparation a failure happened, sent back with its errno.
enum class ChildStep : int { descriptors, directory, group, exec };

struct ChildReport {
    ChildStep step;
    int error;
};

// Everything the child needs between fork and exec, prepared beforehand:
// after fork in a threaded process only async-signal-safe calls may run, so
// nothing here allocates.
struct ChildSetup {
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
    int report_fd;  // close-on-exec: closes by itself when exec succeeds
    const char* dir;
    bool own_group;
    const char* path;
    char* const* argv;
};

// Resets every signal to its default action through the system call itself:
// the C library refuses its own internal signals, and its posix_spawn leaves
// them ignored in the child, which a child would inherit across exec.
void reset_all_signals() {
    constexpr int kMaxSignal = 64;
    // A zeroed kernel sigaction is SIG_DFL with no flags and an empty mask on
    // every architecture, whatever the order of its fields.
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

bool place_descriptor(int fd, int target) { return fd < 0 || ::dup2(fd, target) >= 0; }

// Runs in the child after fork: standard descriptors in place, every other one
// closed, the directory, the process group, default signal actions, nothing
// blocked, then exec.
[[noreturn]] void run_child(const ChildSetup& setup) {
    if (!place_descriptor(setup.stdin_fd, 0) || !place_descriptor(setup.stdout_fd, 1) ||
        !place_descriptor(setup.stderr_fd, 2))
        child_fail(setup.report_fd, ChildStep::descriptors);
    const auto report = static_cast<unsigned>(setup.report_fd);
    close_descriptors_from(3, report - 1);
    close_descriptors_from(report + 1, ~0U);
    if (setup.dir[0] != '\0' && ::chdir(setup.dir) != 0)
        child_fail(setup.report_fd, ChildStep::directory);
    if (setup.own_group && ::setpgid(0, 0) != 0) child_fail(setup.report_fd, ChildStep::group);
    reset_all_signals();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(setup.path, setup.argv, environ);
    child_fail(setup.report_fd, ChildStep::exec);
}

// Forks with every signal blocked, so that no handler of this process runs in
// the child before exec; the child unblocks them after resetting their actions.
pid_t fork_child(const ChildSetup& setup, int& fork_error) {
    sigset_t all, old_mask;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old_mask);
    const pid_t pid = ::fork();
    if (pid == 0) run_child(setup);
    fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return pid;
}

// Reads the child's failure report: false when the pipe closed empty (exec
// succeeded).
bool read_report(int report_fd, ChildReport& report) {
    ssize_t got;
    do {
        got = ::read(report_fd, &report, sizeof report);
    } while (got < 0 && errno == EINTR);
    return got > 0;
}

}  // namespace

bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const int r = lift_above_std(fds[0]);
    if (r < 0) {
        ::close(fds[1]);
        return false;
    }
    read_end.reset(r);
    const int w = lift_above_std(fds[1]);
    if (w < 0) {
        read_end.reset();
        return false;
    }
    write_end.reset(w);
    return true;
}

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string search_path() {
    if (const char* path = std::getenv("PATH"); path != nullptr) return path;
    return kDefaultSearchPath;
}

std::string executable_folder() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : exe.parent_path().string();
}

std::string find_program(const std::string& name, const SearchPlaces& places, int* error) {
    int reason = ENOENT;
    std::string found;
    if (name.find('/') != std::string::npos) {
        const std::string path =
            name.front() == '/' || places.base_dir.empty() ? name : join(places.base_dir, name);
        if (is_executable(path, reason)) found = path;
    } else if (!name.empty()) {
        if (!places.program_dir.empty() && is_executable(join(places.program_dir, name), reason))
            found = join(places.program_dir, name);
        else
            found = search_path_dirs(name, places.base_dir, reason);
    }
    if (error != nullptr) *error = found.empty() ? reason : 0;
    return found;
}

pid_t start_child(const ChildSpec& launch, std::string& reason, int* error) {
    auto fail = [&reason, error](int number, const std::string& text) -> pid_t {
        reason = text + std::strerror(number);
        if (error != nullptr) *error = number;
        return -1;
    };
    std::vector<char*> argv;
    argv.reserve(launch.argv.size() + 1);
    for (const std::string& arg : launch.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    Fd null_input;
    if (launch.stdin_fd < 0) null_input.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Fd report_read, report_write;
    if (!make_pipe(report_read, report_write)) return fail(errno, "no pipe: ");
    const ChildSetup setup{launch.stdin_fd >= 0 ? launch.stdin_fd : null_input.get(),
                           launch.stdout_fd,
                           launch.stderr_fd,
                           report_write.get(),
                           launch.dir.c_str(),
                           launch.own_group,
                           launch.program.c_str(),
                           argv.data()};
    int fork_error = 0;
    const pid_t pid = fork_child(setup, fork_error);
    if (pid < 0) return fail(fork_error, "no process: ");
    report_write.reset();

    ChildReport report{};
    if (!read_report(report_read.get(), report)) return pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (report.step == ChildStep::directory)
        return fail(report.error, "cannot enter directory '" + launch.dir + "': ");
    return fail(report.error, "");
}

ExitStatus wait_for_exit(pid_t pid, GroupStopper* stopper) {
    ExitStatus result;
    int status = 0;
    // A pidfd lets the wait sleep in poll() with a time limit; without one,
    // short sleeps between non-blocking waits.
    Fd pidfd(stopper != nullptr ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, stopper != nullptr ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            result.lost = true;
            return result;
        }
        if (stopper == nullptr) continue;
        stopper->update();
        if (pidfd.get() >= 0) {
            pollfd p{pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, stopper->poll_timeout_ms());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal_number = WTERMSIG(status);
    return result;
}

std::string describe_signal(int signal_number) {
    std::string text = "killed by signal " + std::to_string(signal_number);
    if (const char* name = ::strsignal(signal_number); name != nullptr) {
        text += " (";
        text += name;
        text += ")";
    }
    return text;
}

bool GroupStopper::update() {
    if (!stopped_ && stop_ != nullptr && stop_->load()) {
        stopped_ = true;
        ::kill(-group_, SIGTERM);
        since_ = clock::now();
    }
    if (stopped_ && !killed_ && clock::now() - since_ >= kTermGrace) {
        ::kill(-group_, SIGKILL);
        killed_ = true;
    }
    return stopped_;
}

bool GroupStopper::given_up() const {
    return killed_ && clock::now() - since_ >= kTermGrace + kKillGrace;
}

int GroupStopper::poll_timeout_ms() const {
    return stop_ != nullptr || stopped_ ? kPollIntervalMs : -1;
}

void ignore_sigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

ScopedSigpipeIgnore::ScopedSigpipeIgnore() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    saved_ok_ = ::sigaction(SIGPIPE, &ignore, &saved_) == 0;
}

ScopedSigpipeIgnore::~ScopedSigpipeIgnore() {
    if (saved_ok_) ::sigaction(SIGPIPE, &saved_, nullptr);
}

}  // namespace process
