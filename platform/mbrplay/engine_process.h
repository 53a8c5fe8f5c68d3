// Starts the engine program as a child process with pipes, feeds it text and
// collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace mbrplay {

// What one run of a child program gave back.
struct ChildRun {
    bool started = false;   // false when the program could not be started at all
    int start_errno = 0;    // the reason when it could not be started
    int exit_status = -1;   // exit code; -1 when the child ended through a signal
    int signal_number = 0;  // the signal that ended the child, or 0
    std::string messages;   // standard output and standard error together, capped
};

// The most bytes of child messages kept; the rest is read and dropped so the
// child never blocks on a full pipe.
constexpr std::size_t kMaxMessageBytes = 64 * 1024;

// Runs program (a path) with argv (argv[0] included) and the caller's
// environment. With feed_stdin the child reads stdin_text from a pipe;
// without it the child's standard input is /dev/null. Waits for the child
// to end; there is no time limit.
ChildRun run_child(const std::string& program, const std::vector<std::string>& argv,
                   bool feed_stdin, const std::string& stdin_text);

}  // namespace mbrplay
