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
        "\";\"), DAC (replay device, default win32).\n\n"
        "Replay: the DAC names win32 and windows play the speech; sb16, sb8, pp,\n"
        "dt2811, pclx and eb12 accept it silently; other names play nothing. The\n"
        "sound goes to the device that TALORIA_WAVEOUT chooses:\n"
        "  (unset) or portaudio  the default output device, through PortAudio\n"
        "  capture:/path/file    the 16-bit samples appended to that file\n"
        "  none                  no device: nothing is played\n");
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

// Reads the options; returns false when a -I banner ends the run at once.
bool read_options(int argc, char *argv[]) {
    output_file_name = nullptr;
    int option_errors = 0;
    for (int letter; (letter = zir_getopt(argc, argv, OPTION_LETTERS)) != -1;) {
        switch (letter) {
            case 'I':
                print_banner();
                return false;
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
    return true;
}

// The control file found along ZIRPATH, or null for standard input.
const char *control_file_name = nullptr;

// Opens the control file named by the first operand, or standard input. A
// name that opens but cannot be read (a folder, a failing device) is refused
// here, before any output is made, like one that does not open.
FILE *open_control_stream(int argc, char *argv[]) {
    if (zir_optind >= argc || std::strcmp(argv[zir_optind], "-") == 0) return stdin;
    // The search result lives in a buffer that the next search overwrites.
    static char found_name[4096];
    const char *found = zir_findfile(argv[zir_optind]);
    if (std::strlen(found) >= sizeof found_name) {
        zir_fatal("control file name too long: '%s'", found);
    }
    std::strcpy(found_name, found);
    control_file_name = found_name;
    FILE *stream = std::fopen(found_name, "r");
    if (stream == nullptr) zir_fatal("could not open input file '%s'", found_name);
    const int first = std::getc(stream);
    if (first == EOF && std::ferror(stream)) {
        zir_fatal("could not open input file '%s'", found_name);
    }
    if (first != EOF) std::ungetc(first, stream);
    return stream;
}

// Warnings after the last frame: text lines among the frames, then overload.
void report_end_of_run(FILE *control_stream) {
    if (std::ferror(control_stream)) {
        zir_fatal("read error on '%s'",
                  control_file_name != nullptr ? control_file_name : "standard input");
    }
    if (control_lines.without_values > 0 && control_lines.with_values > 0) {
        std::fprintf(stderr, "%s: %ld lines are not control frames (first: line %ld)\n", "parvox",
                     control_lines.without_values, control_lines.first_without_values);
    }
    if (output_overload == 1) std::fprintf(stderr, "%s: overload detected on output\n", "parvox");
    if (output_overload == 2) {
        std::fprintf(stderr, "%s: severe overload detected on output\n", "parvox");
    }
}

// Completes the output file, or plays the replay buffer.
void deliver_output(int fd) {
    if (fd != -1) {
        close_output_file(fd);
    } else if (zir_dac_open(nullptr) >= 0) {
        zir_dac_play(replay_buffer, replay_count_samples, REPLAY_RATE_HZ, 16, 1, 1);
        zir_dac_close(0);
    }
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
    if (!read_options(argc, argv)) return 0;
    FILE *control_stream = open_control_stream(argc, argv);

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

    report_end_of_run(control_stream);
    deliver_output(fd);
    return 0;
}
