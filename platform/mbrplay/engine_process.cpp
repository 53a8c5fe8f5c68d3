// Child-process plumbing of the replay layer: the engine started through the
// process layer, and a poll loop that writes the input while it drains the output.
#include "engine_process.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "child_process.h"

namespace mbrplay {
namespace {

constexpr std::size_t kChunkBytes = 4096;

// Writes `text` into `input` while it reads `output` into `messages` (capped),
// until the child closes its output. A child that stops reading ends the
// feeding; the input is closed once all of it is written.
void exchange(process::Fd& input, process::Fd& output, const std::string& stdin_text,
              std::string& messages) {
    process::ScopedSigpipeIgnore sigpipe_guard;
    std::size_t fed_bytes = 0;
    if (input.get() >= 0) {
        process::set_nonblocking(input.get());
        if (stdin_text.empty()) input.reset();
    }

    char chunk[kChunkBytes];
    while (output.get() >= 0) {
        pollfd fds[2] = {{output.get(), POLLIN, 0}, {input.get(), POLLOUT, 0}};
        const nfds_t count = input.get() >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (count == 2 && fds[1].revents != 0) {
            const std::size_t left = stdin_text.size() - fed_bytes;
            const ssize_t written = ::write(input.get(), stdin_text.data() + fed_bytes,
                                            left < kChunkBytes ? left : kChunkBytes);
            if (written > 0) {
                fed_bytes += static_cast<std::size_t>(written);
                if (fed_bytes == stdin_text.size()) input.reset();
            } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
                // The engine no longer reads (it stopped at an error): stop feeding.
                input.reset();
            }
        }
        if (fds[0].revents != 0) {
            const ssize_t got = ::read(output.get(), chunk, sizeof chunk);
            if (got > 0) {
                const std::size_t room = kMaxMessageBytes - messages.size();
                const std::size_t keep =
                    static_cast<std::size_t>(got) < room ? static_cast<std::size_t>(got) : room;
                messages.append(chunk, keep);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                output.reset();
            }
        }
    }
}

}  // namespace

ChildRun run_child(const std::string& program, const std::vector<std::string>& argv,
                   bool feed_stdin, const std::string& stdin_text) {
    ChildRun run;
    process::Fd in_read, in_write, out_read, out_write;
    if (!process::make_pipe(out_read, out_write) ||
        (feed_stdin && !process::make_pipe(in_read, in_write))) {
        run.start_errno = errno;
        return run;
    }
    process::ChildSpec launch;
    launch.program = program;
    launch.argv = argv;
    launch.stdin_fd = feed_stdin ? in_read.get() : -1;  // without input: /dev/null
    launch.stdout_fd = out_write.get();
    launch.stderr_fd = out_write.get();
    std::string reason;
    const pid_t pid = process::start_child(launch, reason, &run.start_errno);
    in_read.reset();
    out_write.reset();
    if (pid < 0) return run;
    run.started = true;

    exchange(in_write, out_read, stdin_text, run.messages);
    // The engine closed its output, so it has ended or is about to: its input
    // is of no use any more.
    in_write.reset();
    const process::ExitStatus status = process::wait_for_exit(pid);
    run.exit_status = status.exit_code;
    run.signal_number = status.signal_number;
    return run;
}

}  // namespace mbrplay
