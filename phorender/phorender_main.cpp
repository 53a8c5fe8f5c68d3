// phorender: renders an MBROLA phoneme file, or phoneme text on standard
// input, into a waveform file through the replay layer.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "input_flags.h"
#include "mbrplay.h"
#include "text_input.h"

namespace {

// The status -1 of the program's contract, as this platform reports it.
constexpr int kFailureStatus = 255;
constexpr int kErrorTextBytes = 200;

constexpr const char* kUsage = "usage: phorender database in.pho out.wav\n";

constexpr const char* kHelp =
    "usage: phorender database in.pho out.wav\n"
    "\n"
    "Renders MBROLA phonemes into a waveform file with the MBROLA engine.\n"
    "\n"
    "  database  path of the MBROLA voice database (for example\n"
    "            /usr/share/mbrola/en1/en1)\n"
    "  in.pho    phoneme file, or \"-\" to read phoneme text from standard input\n"
    "            up to its end or a byte 0x1A; a name ending in \".phs\" is read\n"
    "            as a phoneme script (the same end-mark and CR LF rules)\n"
    "  out.wav   output file; its extension chooses the format\n"
    "            (.wav, .au, .aiff; anything else gives raw 16-bit samples)\n"
    "\n"
    "Errors go to standard error after \"Mbrplay Error :\"; the exit status is\n"
    "0 on success and 255 on any failure.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

int report_error() {
    char text[kErrorTextBytes];
    MBR_LastError(text, kErrorTextBytes);
    std::fprintf(stderr, "Mbrplay Error :\n%s\n", text);
    return kFailureStatus;
}

// A folder named as the phoneme file would reach the engine as an empty
// input and give an empty output with status 0; it is an error instead.
bool report_folder_input(const char* input) {
    struct stat info {};
    if (::stat(input, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    std::fprintf(stderr, "Mbrplay Error :\nCannot read the phoneme file '%s': %s\n", input,
                 std::strerror(EISDIR));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("phorender %s\n", PHORENDER_VERSION);
        return 0;
    }

    if (MBR_LastError(nullptr, 0) < 0) return report_error();
    if (argc < 4) {
        std::fputs(kUsage, stderr);
        return kFailureStatus;
    }
    if (MBR_SetDatabase(argv[1]) < 0) return report_error();

    const std::string input = argv[2];
    if (input == "-") {
        // The whole text is read, however long: cutting it would drop the end
        // of the utterance without a word.
        const std::string text = mbrplay::read_text_stream(stdin);
        MBR_Play(text.c_str(), phorender::kTextFlags, argv[3], nullptr);
    } else {
        if (report_folder_input(argv[2])) return kFailureStatus;
        MBR_Play(argv[2], phorender::flags_for_input_file(input), argv[3], nullptr);
    }
    if (MBR_LastError(nullptr, 0) < 0) return report_error();
    MBR_MBRUnload();
    return 0;
}
