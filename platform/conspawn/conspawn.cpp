// conspawn.exe: runs its command line through the shell with the standard handles it was given.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process.h"

namespace {

constexpr const char* kVersion = "conspawn.exe 2.0.0";
constexpr const char* kShell = "/bin/sh";

void print_help() {
    std::printf(
        "Usage: conspawn.exe COMMAND [WORD...]\n"
        "Runs the command line formed by joining its arguments with blanks through %s -c,\n"
        "with the same standard input, output and error, and exits with the command's status.\n"
        "The folder of conspawn.exe comes first in the PATH the shell searches, so the\n"
        "programs installed beside it are found as a direct start finds them.\n"
        "The stage runner of taloria2 starts every stage command through it when the\n"
        "OldConsole setting is on, which gives stage commands the shell's pipes and redirection.\n"
        "\n"
        "  --help     show this help and exit\n"
        "  --version  show the version and exit\n",
        kShell);
}

// A direct start of a stage command looks in the program folder (where taloria2 and the
// stage programs are installed) before PATH; the shell searches PATH only, so the folder
// goes in front of it to find the same programs. An unset PATH stands for the same
// default directories the process layer's search goes through.
void put_own_folder_first_in_path() {
    const std::string folder = process::executable_folder();
    if (folder.empty()) return;
    const std::string path = folder + ':' + process::search_path();
    ::setenv("PATH", path.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_help();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "conspawn.exe: no command line given (try --help)\n");
        return 2;
    }
    std::string command_line = argv[1];
    for (int i = 2; i < argc; ++i) {
        command_line += ' ';
        command_line += argv[i];
    }
    put_own_folder_first_in_path();
    // Replacing this process keeps the standard handles and makes the command's status
    // (or the signal that ended it) this process's own.
    ::execl(kShell, "sh", "-c", command_line.c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "conspawn.exe: cannot start %s: %s\n", kShell, std::strerror(errno));
    return 127;
}
