// Wave-output device: queue PCM buffers, get one completion notice per buffer
// in queue order, pause, resume, reset and close.
//
// Backends (chosen once, in waveout.cpp, from the environment):
//   TALORIA_WAVEOUT unset or "portaudio"  -> PortAudio (real sound card)
//   TALORIA_WAVEOUT="capture:/path/file"  -> appends exactly the PCM it is handed
//                                            to the file; completes buffers on a
//                                            clock running at real time multiplied
//                                            by TALORIA_WAVEOUT_SPEED (default 1;
//                                            0 means "complete at once")
//   TALORIA_WAVEOUT="none"                -> every open fails (no sound card)
//
// Threading: every call may come from any one thread at a time (the owner).
// The done callback runs on a backend thread, never inside a call of the owner
// except reset() and close(), which deliver the notices of every buffer still
// queued before they return. Notices never overlap and keep queue order. The
// callback must not call back into the device.
//
// The capture backend appends a buffer's bytes to its file when write()
// accepts it. A buffer that write() refuses gets no notice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace waveout {

struct Format {
    int channels = 1;
    int rate_hz = 11000;
    int bits_per_sample = 16;  // 8 (unsigned) or 16 (signed little-endian)
    int block_align_bytes() const { return channels * bits_per_sample / 8; }
};

// One queued buffer. The device does not copy the data: it stays owned by the
// caller and must stay valid until its done notice.
struct Buffer {
    const std::uint8_t* data = nullptr;
    std::size_t size_bytes = 0;
    void* user = nullptr;  // free for the caller
};

using DoneCallback = std::function<void(Buffer*)>;

class Device {
public:
    virtual ~Device() = default;
    // Queues a buffer behind those already queued. False if the device refused it.
    virtual bool write(Buffer* buffer) = 0;
    // Stops playing without losing the position; queued buffers stay queued.
    virtual bool pause() = 0;
    // Continues after pause().
    virtual bool resume() = 0;
    // Stops at once and hands back every queued buffer, each with its notice,
    // in queue order, before returning. The device stays open and unpaused.
    virtual bool reset() = 0;
    // Resets and releases the device; called by the destructor too.
    virtual void close() = 0;
};

// Checks a format before opening: 8- or 16-bit PCM, 1 to 8 channels, 1000 to
// 384000 samples per second. False with `error` filled when it cannot be played.
bool supported(const Format& format, std::string* error);

// Opens the device chosen by the environment for the format. Returns null and
// fills `error` (one line of text) when no device can be opened.
std::unique_ptr<Device> open(const Format& format, DoneCallback on_done, std::string* error);

}  // namespace waveout
