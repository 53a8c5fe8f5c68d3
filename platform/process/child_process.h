// Child processes with pipes: close-on-exec pipe ends, the program search,
// starting a program with chosen standard descriptors, waiting for it, and
// stopping it together with everything it started.
//
// Threading: every call may be made from any thread; starting a child is safe
// in a threaded process (nothing between fork and exec allocates).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace process {

// Owns one file descriptor and closes it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    // Gives the descriptor up without closing it.
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Creates a pipe whose two ends are close-on-exec and none of descriptors 0
// to 2, so that a child's dup2 onto its standard descriptors never meets one
// of them. False (errno set) on failure.
bool make_pipe(Fd& read_end, Fd& write_end);
bool set_nonblocking(int fd);

// Where find_program looks.
struct SearchPlaces {
    std::string program_dir;  // looked at first for a name without '/'; empty: skipped
    std::string base_dir;     // a name with '/', and an empty PATH entry, are relative to it
};

// Finds an executable regular file. A name without '/' is looked up in
// program_dir, then in each directory of PATH (the system's default list when
// PATH is unset); a name with '/' is taken relative to base_dir. Returns ""
// when none is found, with `error` (when given) ENOENT when no candidate
// exists and EACCES when one exists but cannot be executed.
std::string find_program(const std::string& name, const SearchPlaces& places, int* error = nullptr);

// The directories a program search goes through: PATH, or the system's
// default list when PATH is unset.
std::string search_path();

// The folder of the running program's executable; "" when it cannot be told.
std::string executable_folder();

// How to start one child.
struct ChildSpec {
    std::string program;            // a path, as find_program gives it
    std::vector<std::string> argv;  // argv[0] included
    int stdin_fd = -1;              // -1: /dev/null
    int stdout_fd = -1;             // -1: this process's own
    int stderr_fd = -1;             // -1: this process's own
    std::string dir;                // the child's current directory; "": this one's
    // A process group of its own, so that the child and everything it starts
    // can be stopped together (GroupStopper).
    bool own_group = false;
};

// Starts a child with the given standard descriptors, every other descriptor
// closed, default signal actions and no signal blocked. Returns its pid, or
// -1 with a one-line `reason` (and `error`, when given, the errno) when it
// could not be started; exec failures are reported here, not as an exit.
pid_t start_child(const ChildSpec& launch, std::string& reason, int* error = nullptr);

// How a child ended.
struct ExitStatus {
    bool lost = false;      // it could not be waited for
    int exit_code = -1;     // its exit code; -1 when it did not exit
    int signal_number = 0;  // the signal that ended it, or 0
};

class GroupStopper;

// Waits for the child to end. With a stopper, its stop flag is honoured while
// waiting (a child may close its output and go on running).
ExitStatus wait_for_exit(pid_t pid, GroupStopper* stopper = nullptr);

// "killed by signal N (name)".
std::string describe_signal(int signal_number);

// Stops a child started with own_group, and everything it started, when a
// flag set from another thread asks for it: SIGTERM to the group at once,
// SIGKILL after a grace time.
class GroupStopper {
public:
    using clock = std::chrono::steady_clock;
    // Time the group gets to end on SIGTERM before it receives SIGKILL.
    static constexpr std::chrono::milliseconds kTermGrace{500};
    // Time to wait for the output to end after SIGKILL; a process that left
    // the group (setsid) may still hold a pipe, and a stop must not hang on it.
    static constexpr std::chrono::milliseconds kKillGrace{1000};
    // How often a waiting caller looks at the flag while nothing happens.
    static constexpr int kPollIntervalMs = 100;

    // `stop` may be null (nothing ever stops the child).
    GroupStopper(pid_t group, const std::atomic<bool>* stop) : group_(group), stop_(stop) {}

    // Looks at the flag and sends whatever signal is due; true once a stop began.
    bool update();
    bool stopped() const { return stopped_; }
    // True when even SIGKILL has had its time: whatever still holds the
    // output has left the group, and reading must not wait for it.
    bool given_up() const;
    // A poll timeout: finite whenever there is a flag to watch or a stop going on.
    int poll_timeout_ms() const;

private:
    pid_t group_;
    const std::atomic<bool>* stop_;
    bool stopped_ = false;
    bool killed_ = false;
    clock::time_point since_{};
};

// Makes writes into a pipe whose reader has gone fail with EPIPE instead of
// ending this process, for the rest of its life.
void ignore_sigpipe();

// The same for the lifetime of the object only; the old action comes back.
class ScopedSigpipeIgnore {
public:
    ScopedSigpipeIgnore();
    ~ScopedSigpipeIgnore();
    ScopedSigpipeIgnore(const ScopedSigpipeIgnore&) = delete;
    ScopedSigpipeIgnore& operator=(const ScopedSigpipeIgnore&) = delete;

private:
    struct sigaction saved_ {};
    bool saved_ok_ = false;
};

}  // namespace process
