// Child-process plumbing of the replay layer: posix_spawn with two pipes and a
// poll loop that writes the input while it drains the output.
#include "engine_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace mbrplay {
namespace {

constexpr std::size_t kChunkBytes = 4096;

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Ignores SIGPIPE for its lifetime, so that an engine that stops reading early
// makes our writes fail with EPIPE instead of ending this process.
class SigpipeIgnored {
public:
    SigpipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        saved_ok_ = ::sigaction(SIGPIPE, &ignore, &saved_) == 0;
    }
    ~SigpipeIgnored() {
        if (saved_ok_) ::sigaction(SIGPIPE, &saved_, nullptr);
    }
    SigpipeIgnored(const SigpipeIgnored&) = delete;
    SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

private:
    struct sigaction saved_ {};
    bool saved_ok_ = false;
};

}  // namespace

ChildRun run_child(const std::string& program, const std::vector<std::string>& argv,
                   bool feed_stdin, const std::string& stdin_text) {
    ChildRun run;
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || (feed_stdin && ::pipe2(in_pipe, O_CLOEXEC) != 0)) {
        run.start_errno = errno;
        close_fd(out_pipe[0]);
        close_fd(out_pipe[1]);
        return run;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (feed_stdin) {
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDERR_FILENO);

    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int spawn_error =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    if (spawn_error != 0) {
        run.start_errno = spawn_error;
        close_fd(in_pipe[1]);
        close_fd(out_pipe[0]);
        return run;
    }
    run.started = true;

    SigpipeIgnored sigpipe_guard;
    std::size_t fed_bytes = 0;
    if (in_pipe[1] >= 0) {
        ::fcntl(in_pipe[1], F_SETFL, ::fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);
        if (stdin_text.empty()) close_fd(in_pipe[1]);
    }

    char chunk[kChunkBytes];
    while (out_pipe[0] >= 0) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
        const nfds_t count = in_pipe[1] >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (count == 2 && fds[1].revents != 0) {
            const std::size_t left = stdin_text.size() - fed_bytes;
            const ssize_t written = ::write(in_pipe[1], stdin_text.data() + fed_bytes,
                                            left < kChunkBytes ? left : kChunkBytes);
            if (written > 0) {
                fed_bytes += static_cast<std::size_t>(written);
                if (fed_bytes == stdin_text.size()) close_fd(in_pipe[1]);
            } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
                // The engine no longer reads (it stopped at an error): stop feeding.
                close_fd(in_pipe[1]);
            }
        }
        if (fds[0].revents != 0) {
            const ssize_t got = ::read(out_pipe[0], chunk, sizeof chunk);
            if (got > 0) {
                const std::size_t room = kMaxMessageBytes - run.messages.size();
                const std::size_t keep =
                    static_cast<std::size_t>(got) < room ? static_cast<std::size_t>(got) : room;
                run.messages.append(chunk, keep);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                close_fd(out_pipe[0]);
            }
        }
    }
    // The engine closed its output, so it has ended or is about to: its input
    // is of no use any more.
    close_fd(in_pipe[1]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            run.exit_status = -1;
            return run;
        }
    }
    if (WIFEXITED(status)) {
        run.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal_number = WTERMSIG(status);
    }
    return run;
}

std::string find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty entry of PATH means the current directory.
        std::string candidate =
            end > start ? dirs.substr(start, end - start) + "/" + name : "./" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

}  // namespace mbrplay
