// Test helper: runs a program with given standard input, collects standard
// output and standard error apart, and kills it when it overruns its time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace testutil {

struct ProgramRun {
    int status = -1;  // exit code, or -1 after a signal or a time-out
    bool timed_out = false;
    std::string out;
    std::string err;
};

inline ProgramRun run_program(const std::vector<std::string>& argv, const std::string& input,
                              int timeout_ms = 30000) {
    ProgramRun run;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    int in_fd = in[1];
    std::size_t fed = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int open_outputs = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (open_outputs > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            run.timed_out = true;
            break;
        }
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                (i == 0 ? run.out : run.err).append(chunk, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                (i == 0 ? out[0] : err[0]) = -1;
                --open_outputs;
            }
        }
        if (in_fd >= 0 && fds[2].revents != 0) {
            const ssize_t put = write(in_fd, input.data() + fed, input.size() - fed);
            if (put > 0) fed += static_cast<std::size_t>(put);
            if ((put < 0 && errno != EAGAIN) || fed == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    if (out[0] >= 0) close(out[0]);
    if (err[0] >= 0) close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = !run.timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace testutil
