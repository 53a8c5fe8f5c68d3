// Public interface of speechlib, the support library linked into parvox: option
// parser, fatal messages, path search, output sink (WAV/raw file or replay
// buffer) and the replay device layer.
//
// The library is plain procedural code with process-wide state, used from the
// program's single thread (the replay layer alone waits for a backend thread).
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Program name, options, fatal messages and path search
// ---------------------------------------------------------------------------

// Text put in front of every fatal message; "parvox" unless the program sets
// another name before its first call into the library.
extern const char* zir_progname;

// Index in argv of the next word the option parser examines; starts at 1.
extern int zir_optind;
// Argument of the option just returned by zir_getopt, or null.
extern char* zir_optarg;

// Returns the next option letter of argv; '?' (63) for a letter not in
// `optstring` or for an option whose argument is missing (a line naming the
// letter goes to standard error in both cases); -1 when the options end. After
// -1 the first operand, if any, is argv[zir_optind]. A word "-" alone is an
// operand, "--" ends the options and is skipped.
int zir_getopt(int argc, char* const argv[], const char* optstring);

// Puts the option parser back to its starting state (zir_optind 1, no word in
// progress), so that another argument vector can be parsed.
void zir_getopt_reset();

// Writes "<zir_progname>: <message>" as one line to standard error and ends the
// process with exit status 1. The format is printf's; the text before the line
// end is cut to 1023 bytes (the message and the shown text each fit a
// 1024-byte buffer).
[[noreturn]] void zir_fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Looks a relative file name up along the ";"-separated directories of the
// environment variable ZIRPATH and returns the first candidate that exists, or
// the name unchanged. The result is held whole (never cut) in a static buffer
// that the next call overwrites, so callers copy it at once.
const char* zir_findfile(const char* name);

// ---------------------------------------------------------------------------
// Output sink: 16-bit mono samples at 11000 samples per second, written to a
// RIFF/WAVE file (name ending in ".wav" or ".WAV"), a raw file (any other
// name) or, when no name is set, collected in the replay buffer.
// ---------------------------------------------------------------------------

// Sample rate stated in every WAV header written here.
inline constexpr int zir_output_rate_hz = 11000;
// Size of the RIFF/WAVE header written in front of the samples.
inline constexpr std::size_t zir_wav_header_bytes = 44;
// File output goes out in blocks of this many bytes: one write call per
// block instead of one per frame. A reader at the end of a pipe gets each
// block as soon as it is full, and the rest when the file is closed. Small
// enough that the program's peak memory stays as it was with a write per frame.
inline constexpr std::size_t zir_output_block_bytes = 16 * 1024;
// The replay buffer starts with and grows in steps of this many samples.
inline constexpr int zir_replay_step_samples = 32768;

// Name of the output file (the -o argument), set by the driver before
// open_output_file; null or empty selects the replay buffer. Not copied: the
// text must stay valid until close_output_file.
extern const char* output_file_name;
// Descriptor of the open output file, -1 in memory mode (set by open_output_file).
extern int output_fd;
// 0 no overload, 1 overload, 2 severe overload: the kind of the last
// overloaded sample written so far.
extern int output_overload;
// Bytes of sample data written to the output file so far.
extern std::uint64_t output_data_bytes;
// Most sample bytes a WAV file can hold: its RIFF size field (36 + data bytes)
// is 32 bits wide. A WAV output that would grow past it is refused.
inline constexpr std::uint64_t zir_wav_max_data_bytes = 0xFFFFFFFFull - 36;

// Replay buffer of memory mode: replay_count_samples samples are stored, room
// for replay_capacity_samples.
extern std::int16_t* replay_buffer;
extern int replay_count_samples;
extern int replay_capacity_samples;

// Opens the output file named by output_file_name (writing the WAV header when
// the name asks for it) or sets up the replay buffer. Returns output_fd.
// Failures are fatal.
int open_output_file();

// Converts `n` float samples (units of a quarter 16-bit step) to 16-bit
// samples, updates output_overload and writes them to `fd` in blocks of
// zir_output_block_bytes (each block as it fills, the rest at
// close_output_file), or appends them to
// the replay buffer when `fd` is -1. Failures are fatal.
void write_output_frame(int fd, const float* samples, int n);

// Writes the samples still held, completes the WAV header (when the file has
// one) and closes `fd`. Call only when fd is not -1. Failures are fatal.
void close_output_file(int fd);

// Lower layer of the sink, usable on any descriptor.

// Converts one sample as the sink stores it: four times the integer part of
// x, limited to the 16-bit range. Sets *overload to 1 when the value had to be
// limited (|x| of 8192 and more, -8192 itself still fits) and to 2 (storing 0)
// when |x| > 32767; leaves it alone otherwise.
std::int16_t zir_convert_sample(float x, int* overload);

// Fills `header` with the 44-byte mono 16-bit 11000 Hz RIFF/WAVE header for
// `data_bytes` bytes of samples.
void zir_make_wav_header(std::uint8_t header[zir_wav_header_bytes], std::uint32_t data_bytes);

// True when `name` ends in exactly ".wav" or ".WAV" (the text from its last
// "." on, directory part included).
bool zir_is_wav_name(const char* name);

// Writes all `size` bytes to `fd`, retrying after interruptions and partial
// writes. False on any failure.
bool zir_write_all(int fd, const void* data, std::size_t size);

// ---------------------------------------------------------------------------
// Replay device layer
// ---------------------------------------------------------------------------

// One row of the device table: a device name, its class and sub-device.
struct zir_dac_entry {
    const char* name;
    int dac_class;
    int sub_device;
};

// The 34 known device names, searched in order. Only class 4 (silent) and
// class 8 (the wave-output device) can be selected.
inline constexpr int zir_dac_table_size = 34;
extern const zir_dac_entry zir_dac_table[zir_dac_table_size];

// Selected device class (-1 when none) and sub-device number (0 when none).
extern int zir_dac_class;
extern int zir_dac_subdevice;

// Selects a device by name (null: the environment variable DAC, or "win32"
// when DAC is unset). Returns its class, 4 or 8, or -1 with no message.
int zir_dac_open(const char* name);

// Plays `count` 16-bit samples `repeats` times in a row on the selected
// device and waits until the sound has finished. Returns 0, or -1 when no
// device is selected. Class 4 plays nothing.
int zir_dac_play(const std::int16_t* samples, int count, double rate, int bits, int channels,
                 int repeats);

// Forgets the selected device; the flag has no effect.
void zir_dac_close(int flag);

// Plays one buffer of PCM bytes through the wave-output device and returns
// after its completion notice: 0, or -1 with a message on standard error when
// the format is refused, the device cannot be opened or the write fails.
int zir_waveout_play(const void* bytes, int length, int rate, int bytes_per_sample, int channels);
