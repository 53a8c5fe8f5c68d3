// faults_stage: a stage program that misbehaves on request, so the tests can
// see how the front end copes with commands that crash, hang, flood or refuse.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "Usage: faults_stage MODE [ARGUMENT]\n"
    "A stage command for the fault tests of the workbench. Modes:\n"
    "  print TEXT     print TEXT and a line-feed, exit 0\n"
    "  copy MS        copy standard input to standard output, then sleep MS ms, exit 0\n"
    "  count          read standard input and print how many bytes it held\n"
    "  hang           print \"hanging\" and sleep until killed\n"
    "  crash          print \"before the crash\" and kill itself with SIGKILL\n"
    "  flood BYTES    write BYTES bytes of text lines to standard output, exit 0\n"
    "  closein        close standard input at once, print \"closed\", exit 0\n"
    "  --help, --version\n";

bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteText(const std::string& text) { return WriteAll(text.data(), text.size()); }

// Reads standard input to its end; calls `take` with each piece.
template <class Take>
void ReadInput(Take take) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        take(buffer, static_cast<std::size_t>(n));
    }
}

// Lines of 63 letters and a line-feed, the last one cut to make up `bytes`.
bool Flood(unsigned long long bytes) {
    char block[65536];
    for (std::size_t i = 0; i < sizeof block; ++i)
        block[i] = (i % 64 == 63) ? '\n' : static_cast<char>('a' + i % 26);
    while (bytes > 0) {
        const std::size_t piece =
            bytes < sizeof block ? static_cast<std::size_t>(bytes) : sizeof block;
        if (!WriteAll(block, piece)) return false;
        bytes -= piece;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string mode = argv[1];
    const char* argument = argc > 2 ? argv[2] : "";
    if (mode == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (mode == "--version") {
        std::puts("faults_stage 1.0");
        return 0;
    }
    if (mode == "print") return WriteText(std::string(argument) + "\n") ? 0 : 1;
    if (mode == "copy") {
        bool ok = true;
        ReadInput([&ok](const char* data, std::size_t n) { ok = WriteAll(data, n) && ok; });
        ::usleep(static_cast<useconds_t>(std::strtoul(argument, nullptr, 10) * 1000));
        return ok ? 0 : 1;
    }
    if (mode == "count") {
        unsigned long long total = 0;
        ReadInput([&total](const char*, std::size_t n) { total += n; });
        return WriteText(std::to_string(total) + "\n") ? 0 : 1;
    }
    if (mode == "hang") {
        WriteText("hanging\n");
        // Tells a test, through the app directory (the current directory),
        // that the text above is in the pipe before it stops the command.
        if (FILE* mark = std::fopen("hang.ready", "w")) std::fclose(mark);
        for (;;) ::pause();
    }
    if (mode == "crash") {
        WriteText("before the crash\n");
        ::kill(::getpid(), SIGKILL);
        return 1;
    }
    if (mode == "flood") return Flood(std::strtoull(argument, nullptr, 10)) ? 0 : 1;
    if (mode == "closein") {
        ::close(STDIN_FILENO);
        // Long enough for the front end's feeder to find the pipe closed.
        ::usleep(200 * 1000);
        return WriteText("closed\n") ? 0 : 1;
    }
    std::fprintf(stderr, "faults_stage: unknown mode '%s'\n%s", mode.c_str(), kUsage);
    return 2;
}
