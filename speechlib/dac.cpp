// Replay device layer of parvox: the device table and synchronous replay of
// one sample buffer through the wave-output device.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "waveout.h"
#include "zir.h"

const zir_dac_entry zir_dac_table[zir_dac_table_size] = {
    {"sun", 0, 0},        {"sparc2", 0, 0},     {"sun8", 0, 1},        {"sun8-spkr", 0, 0},
    {"sun8-phone", 0, 1}, {"sun8-line", 0, 2},  {"sparc10", 1, 0},     {"sun16", 1, 0},
    {"dbri", 1, 0},       {"sun16-spkr", 1, 0}, {"sun16-phone", 1, 1}, {"sun16-line", 1, 2},
    {"0", 2, 0},          {"1", 2, 1},          {"2", 2, 2},           {"3", 2, 3},
    {"4", 2, 4},          {"5", 2, 5},          {"6", 2, 6},           {"7", 2, 7},
    {"ansi", 3, 0},       {"ansi16", 3, 0},     {"ansi12", 3, 1},      {"pp", 4, 1},
    {"dt2811", 4, 2},     {"pclx", 4, 3},       {"eb12", 4, 4},        {"sb8", 4, 5},
    {"sb16", 4, 6},       {"extend", 5, 0},     {"pipe", 6, 0},        {"linux", 7, 0},
    {"windows", 8, 0},    {"win32", 8, 0},
};

int zir_dac_class = -1;
int zir_dac_subdevice = 0;

namespace {

// The only classes with a meaning here: 4 accepts replay silently, 8 plays
// through the wave-output device.
constexpr int silent_class = 4;
constexpr int waveout_class = 8;

// The replay messages are fixed texts. The wave-output layer's reason for a
// failure (no sound card, the sound server's refusal) is added on a line of
// its own only when TALORIA_WAVEOUT_DEBUG asks for the sound layer's detail.
// `line_open` says that the message before it has no line end of its own.
void explain(const std::string& reason, bool line_open) {
    const char* debug = std::getenv("TALORIA_WAVEOUT_DEBUG");
    if (debug == nullptr || debug[0] == '\0' || debug[0] == '0' || reason.empty()) return;
    std::fprintf(stderr, "%s%s: %s\n", line_open ? "\n" : "", zir_progname, reason.c_str());
}

}  // namespace

void zir_dac_close(int /*flag*/) {
    zir_dac_class = -1;
    zir_dac_subdevice = 0;
}

int zir_dac_open(const char* name) {
    if (zir_dac_class != -1) zir_dac_close(0);
    if (name == nullptr) {
        name = std::getenv("DAC");
        if (name == nullptr) name = "win32";
    }
    for (const zir_dac_entry& entry : zir_dac_table) {
        if (std::strcmp(entry.name, name) != 0) continue;
        if (entry.dac_class != silent_class && entry.dac_class != waveout_class) return -1;
        zir_dac_class = entry.dac_class;
        zir_dac_subdevice = entry.sub_device;
        return zir_dac_class;
    }
    return -1;
}

int zir_dac_play(const std::int16_t* samples, int count, double rate, int /*bits*/, int channels,
                 int repeats) {
    if (zir_dac_class == silent_class) return 0;
    if (zir_dac_class != waveout_class) return -1;
    // Replay always uses two bytes per sample, whatever the caller states.
    const long long length = (long long)count * 2;
    if (count < 0 || length > 0x7FFFFFFF) return -1;
    // The rate is truncated to whole samples per second; one that no int can
    // hold (or NaN) becomes 0, which the format check refuses.
    const int rate_hz = rate >= 1.0 && rate < 2147483648.0 ? int(rate) : 0;
    for (int i = 0; i < repeats; ++i) zir_waveout_play(samples, int(length), rate_hz, 2, channels);
    return 0;
}

int zir_waveout_play(const void* bytes, int length, int rate, int bytes_per_sample, int channels) {
    if (length < 0 || (length > 0 && bytes == nullptr)) return -1;

    waveout::Format format;
    format.channels = channels;
    format.rate_hz = rate;
    format.bits_per_sample = 8 * bytes_per_sample;
    std::string error;
    if (!waveout::supported(format, &error)) {
        // This message carries no line end of its own: callers that compare
        // standard error byte for byte see exactly this text.
        std::fputs("Unsupported waveform format/rate", stderr);
        explain(error, true);
        return -1;
    }

    // Set by the backend thread when the buffer has been played; the waiting
    // thread sees it through the release/acquire pair.
    std::atomic<bool> done{false};
    auto device = waveout::open(
        format,
        [&done](waveout::Buffer*) {
            done.store(true, std::memory_order_release);
            done.notify_all();
        },
        &error);
    if (!device) {
        std::fputs("Unable to open waveform output device\n", stderr);
        explain(error, false);
        return -1;
    }
    device->reset();

    waveout::Buffer buffer;
    buffer.data = static_cast<const std::uint8_t*>(bytes);
    buffer.size_bytes = std::size_t(length);
    done.store(false, std::memory_order_relaxed);
    if (!device->write(&buffer)) {
        std::fputs("Error on write to wave out device\n", stderr);
        device->close();
        return -1;
    }
    while (!done.load(std::memory_order_acquire)) done.wait(false, std::memory_order_acquire);
    device->close();
    return 0;
}
