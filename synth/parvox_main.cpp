// parvox: reads control frames and synthesizes speech with a six-branch parallel formant
// synthesizer.
#include <cstdio>
#include <cstring>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "control.h"
#include "excitation.h"
#include "filters.h"
#include "params.h"
#include "zir.h"

#ifndef PARVOX_VERSION
#define PARVOX_VERSION "unknown"
#endif

namespace {

// The synthesizer's own version, shown by -I; the build's version comes with --version.
constexpr const char *SYNTH_VERSION = "2.1";
constexpr const char *OPTION_LETTERS = "Ip:g:o:st";
constexpr const char *USAGE =
    "usage : %s (-I) (-p paramfile) (-g glotfile) (-o outfile) (-s) (-t) (controlfile)";
constexpr double REPLAY_RATE_HZ = 11000.0;

void print_help() {
    std::printf(USAGE, "parvox");
    std::printf(
        "\n\n"
        "Synthesizes speech from control frames, one line per frame, read from\n"
        "controlfile or, without it (or with \"-\"), from standard input.\n\n"
        "  -I            print the banner and exit\n"
        "  -p paramfile  synthesizer parameters (default: built-in values)\n"
        "  -g glotfile   glottal pulse shape and phase pattern (with -p only)\n"
        "  -o outfile    write 16-bit mono samples at 11000 Hz: a RIFF/WAVE file\n"
        "                when the name ends in .wav or .WAV, raw samples otherwise;\n"
        "                without -o the speech is played on the audio device\n"
        "  -s            real-time replay (not available)\n"
        "  -t            control lines are in the fixed-column hexadecimal form\n\n"
        "Environment: ZIRPATH (directories searched for controlfile, separated by\n"
        "\";\"), DAC (replay device, default win32).\n");
}

void print_banner() {
    std::fprintf(stderr, "parvox: parallel formant synthesizer, version %s\n", SYNTH_VERSION);
}

// Filter memories that ring down through silence end up as subnormal floats,
// which the processor handles many times slower than normal ones. Treating
// them as zero changes nothing audible: they lie some 300 dB below the
// quarter step that the output keeps.
void flush_subnormals_to_zero() {
#if defined(__SSE__)
    _mm_setcsr(_mm_getcsr() | 0x8040);  // flush-to-zero and denormals-are-zero
#endif
}

// Synthesizes one frame into output_buffer from the frame just read.
void synthesize_control_frame() {
    remove_squeaks();
    convert_controls();
    make_excitation();
    // All 112 samples are cleared whatever the frame length, so nothing of an
    // earlier frame can leak into the sum.
    std::memset(output_buffer, 0, sizeof output_buffer);
    // The six branches are parallel over the whole frame: all get their
    // excitation (the nasal branch losing branch 0's) and are resonated,
    // shaped and summed side by side, and the sum goes through the output
    // filter. This gives exactly the samples of mix_excitation, resonate and
    // shape_branch branch by branch followed by output_filter.
    synthesize_frame();
}

}  // namespace

int main(int argc, char *argv[]) {
    zir_progname = "parvox";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_help();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("parvox %s (Taloria %s)\n", SYNTH_VERSION, PARVOX_VERSION);
        return 0;
    }

    output_file_name = nullptr;
    int option_errors = 0;
    for (int letter; (letter = zir_getopt(argc, argv, OPTION_LETTERS)) != -1;) {
        switch (letter) {
            case 'I':
                print_banner();
                return 0;
            case 'p':
                parameter_file_name = zir_optarg;
                break;
            case 'g':
                glottal_file_name = zir_optarg;
                break;
            case 'o':
                output_file_name = zir_optarg;
                break;
            case 's':
                zir_fatal("Sun real-time replay not configured");
            case 't':
                hex_controls = true;
                break;
            case '?':
                ++option_errors;
                break;
            default:
                break;
        }
    }
    if (option_errors != 0) zir_fatal(USAGE, "parvox");

    FILE *control_stream = stdin;
    if (zir_optind < argc && std::strcmp(argv[zir_optind], "-") != 0) {
        // The search result lives in a buffer that the next search overwrites.
        static char control_file_name[4096];
        const char *found = zir_findfile(argv[zir_optind]);
        if (std::strlen(found) >= sizeof control_file_name) {
            zir_fatal("control file name too long: '%s'", found);
        }
        std::strcpy(control_file_name, found);
        control_stream = std::fopen(control_file_name, "r");
        if (control_stream == nullptr)
            zir_fatal("could not open input file '%s'", control_file_name);
    }

    read_parameters();
    const int fd = open_output_file();
    build_tables();
    reset_excitation(&excitation);
    reset_filter_bank(&filters);
    flush_subnormals_to_zero();

    while (read_control_frame(control_stream)) {
        synthesize_control_frame();
        write_output_frame(fd, output_buffer, params.frame_length);
    }

    if (output_overload == 1) std::fprintf(stderr, "%s: overload detected on output\n", "parvox");
    if (output_overload == 2) {
        std::fprintf(stderr, "%s: severe overload detected on output\n", "parvox");
    }
    if (fd != -1) {
        close_output_file(fd);
    } else if (zir_dac_open(nullptr) >= 0) {
        zir_dac_play(replay_buffer, replay_count_samples, REPLAY_RATE_HZ, 16, 1, 1);
        zir_dac_close(0);
    }
    return 0;
}
