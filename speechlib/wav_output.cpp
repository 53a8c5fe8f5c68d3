// Output sink of parvox: float samples to 16-bit PCM in a RIFF/WAVE or raw
// file, or in the growing replay buffer.
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "zir.h"

const char* output_file_name = nullptr;
int output_fd = -1;
int output_overload = 0;
std::uint64_t output_data_bytes = 0;

std::int16_t* replay_buffer = nullptr;
int replay_count_samples = 0;
int replay_capacity_samples = 0;

namespace {

// The block being filled, and the descriptor it belongs to.
std::uint8_t pending[zir_output_block_bytes];
std::size_t pending_bytes = 0;
int pending_fd = -1;

const char* shown_name() { return output_file_name != nullptr ? output_file_name : ""; }

void put_u16(std::uint8_t* at, unsigned value) {
    at[0] = std::uint8_t(value & 0xFF);
    at[1] = std::uint8_t((value >> 8) & 0xFF);
}

void put_u32(std::uint8_t* at, std::uint32_t value) {
    put_u16(at, value & 0xFFFF);
    put_u16(at + 2, value >> 16);
}

// Makes room for `more` samples behind the stored ones, in steps of
// zir_replay_step_samples, keeping the contents and zero-filling the new room.
void grow_replay_buffer(int more) {
    long long needed = (long long)replay_count_samples + more;
    long long capacity = replay_capacity_samples;
    while (needed >= capacity) capacity += zir_replay_step_samples;
    if (capacity == replay_capacity_samples && replay_buffer != nullptr) return;
    if (capacity > INT_MAX) zir_fatal("out of memory");
    void* grown = std::realloc(replay_buffer, std::size_t(capacity) * sizeof(std::int16_t));
    if (grown == nullptr) zir_fatal("out of memory");
    replay_buffer = static_cast<std::int16_t*>(grown);
    std::memset(replay_buffer + replay_capacity_samples, 0,
                std::size_t(capacity - replay_capacity_samples) * sizeof(std::int16_t));
    replay_capacity_samples = int(capacity);
}

}  // namespace

std::int16_t zir_convert_sample(float x, int* overload) {
    // NaN fails every comparison below, so it is caught here with the values
    // that are far out of range: a sample that cannot be stored at all.
    if (!(x >= -32767.0f && x <= 32767.0f)) {
        *overload = 2;
        return 0;
    }
    // Four times the integer part; values that leave the 16-bit range are
    // limited to it, since wrapping them would turn peaks into loud clicks.
    // A limited sample is clipped, so it counts as an overload.
    const long quadrupled = long(x) * 4;
    if (quadrupled > INT16_MAX) {
        *overload = 1;
        return INT16_MAX;
    }
    if (quadrupled < INT16_MIN) {
        *overload = 1;
        return INT16_MIN;
    }
    return std::int16_t(quadrupled);
}

void zir_make_wav_header(std::uint8_t header[zir_wav_header_bytes], std::uint32_t data_bytes) {
    const unsigned channels = 1;
    const unsigned bytes_per_sample = 2;
    std::memcpy(header + 0, "RIFF", 4);
    put_u32(header + 4, 36 + data_bytes);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    put_u32(header + 16, 16);
    put_u16(header + 20, 1);
    put_u16(header + 22, channels);
    put_u32(header + 24, zir_output_rate_hz);
    put_u32(header + 28, zir_output_rate_hz * bytes_per_sample * channels);
    put_u16(header + 32, bytes_per_sample * channels);
    put_u16(header + 34, 8 * bytes_per_sample);
    std::memcpy(header + 36, "data", 4);
    put_u32(header + 40, data_bytes);
}

bool zir_is_wav_name(const char* name) {
    if (name == nullptr) return false;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr && (std::strcmp(dot, ".wav") == 0 || std::strcmp(dot, ".WAV") == 0);
}

bool zir_write_all(int fd, const void* data, std::size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        at += written;
        size -= std::size_t(written);
    }
    return true;
}

int open_output_file() {
    output_data_bytes = 0;
    if (output_file_name == nullptr || output_file_name[0] == '\0') {
        output_fd = -1;
        std::free(replay_buffer);
        replay_buffer = nullptr;
        replay_count_samples = 0;
        replay_capacity_samples = 0;
        grow_replay_buffer(0);
        return output_fd;
    }

    pending_bytes = 0;
    pending_fd = -1;
    output_fd = ::open(output_file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output_fd < 0) zir_fatal("could not open output file '%s'", output_file_name);
    if (zir_is_wav_name(output_file_name)) {
        std::uint8_t header[zir_wav_header_bytes];
        zir_make_wav_header(header, 0);
        if (!zir_write_all(output_fd, header, sizeof header))
            zir_fatal("write error on '%s'", output_file_name);
    }
    return output_fd;
}

// Writes the block filled so far. A failing write is fatal.
static void flush_pending() {
    if (pending_bytes == 0) return;
    const std::size_t size = pending_bytes;
    pending_bytes = 0;
    if (!zir_write_all(pending_fd, pending, size)) zir_fatal("write error on '%s'", shown_name());
}

typedef float float_lanes __attribute__((vector_size(4 * sizeof(float))));
typedef std::int32_t int_lanes __attribute__((vector_size(4 * sizeof(std::int32_t))));
typedef std::int16_t short_lanes __attribute__((vector_size(4 * sizeof(std::int16_t))));

// Converts four samples that lie inside +-8192 (exclusive) into `to`, as
// zir_convert_sample would: four times the integer part. Returns false,
// converting nothing, when one of them lies outside.
static inline bool convert_four_plain(const float* samples, std::uint8_t* to) {
    float_lanes x;
    std::memcpy(&x, samples, sizeof x);
    const float_lanes low = {-8192.0f, -8192.0f, -8192.0f, -8192.0f};
    const float_lanes high = {8192.0f, 8192.0f, 8192.0f, 8192.0f};
    const int_lanes inside = (x > low) & (x < high);
    if ((inside[0] & inside[1] & inside[2] & inside[3]) == 0) return false;
    const short_lanes converted =
        __builtin_convertvector(__builtin_convertvector(x, int_lanes) * 4, short_lanes);
    std::memcpy(to, &converted, sizeof converted);
    return true;
}

// The 16-bit little-endian bytes of n samples (the same bytes on every
// host). Samples inside +-8192, nearly all of them, cannot be limited or
// overload, so groups of four such samples are converted in vector lanes.
static void convert_to_bytes(const float* samples, int n, std::uint8_t* bytes) {
    auto convert_one = [&](int i) {
        const std::uint16_t bits = std::uint16_t(zir_convert_sample(samples[i], &output_overload));
        bytes[2 * i] = std::uint8_t(bits & 0xFF);
        bytes[2 * i + 1] = std::uint8_t(bits >> 8);
    };
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const bool plain = std::endian::native == std::endian::little &&
                           convert_four_plain(samples + i, bytes + 2 * i);
        if (!plain) {
            for (int k = i; k < i + 4; ++k) convert_one(k);
        }
    }
    for (; i < n; ++i) convert_one(i);
}

// Converts n samples into the block, writing each block as it fills.
static void append_converted(int fd, const float* samples, int n) {
    if (fd != pending_fd) {
        flush_pending();
        pending_fd = fd;
    }
    while (n > 0) {
        const std::size_t room = (zir_output_block_bytes - pending_bytes) / 2;
        const int count = n < int(room) ? n : int(room);
        convert_to_bytes(samples, count, pending + pending_bytes);
        pending_bytes += std::size_t(count) * 2;
        if (pending_bytes == zir_output_block_bytes) flush_pending();
        samples += count;
        n -= count;
    }
}

void write_output_frame(int fd, const float* samples, int n) {
    if (n <= 0) return;
    if (fd == -1) {
        grow_replay_buffer(n);
        for (int i = 0; i < n; ++i)
            replay_buffer[replay_count_samples + i] =
                zir_convert_sample(samples[i], &output_overload);
        replay_count_samples += n;
        return;
    }
    const std::size_t size = std::size_t(n) * 2;
    if (zir_is_wav_name(output_file_name) && output_data_bytes + size > zir_wav_max_data_bytes)
        zir_fatal("output file '%s' would exceed the 4 GiB size limit of a WAV file", shown_name());
    append_converted(fd, samples, n);
    output_data_bytes += size;
}

void close_output_file(int fd) {
    // Memory mode has no file to close.
    if (fd < 0) return;
    if (fd == pending_fd) {
        flush_pending();
        pending_fd = -1;
    }
    if (zir_is_wav_name(output_file_name)) {
        std::uint8_t header[zir_wav_header_bytes];
        zir_make_wav_header(header, std::uint32_t(output_data_bytes));
        // The header is rewritten in place through the descriptor the samples
        // went to. An output that cannot seek (a pipe) keeps its first header.
        std::size_t done = 0;
        while (done < sizeof header) {
            const ssize_t written = ::pwrite(fd, header + done, sizeof header - done, off_t(done));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0 && errno == ESPIPE) break;
            if (written <= 0) zir_fatal("write error on '%s'", shown_name());
            done += std::size_t(written);
        }
    }
    // Closing can report a delayed write failure (a full disk, a network file
    // system); the file is then incomplete, so it is an error too.
    if (::close(fd) != 0 && errno != EINTR) zir_fatal("write error on '%s'", shown_name());
    if (fd == output_fd) output_fd = -1;
}
