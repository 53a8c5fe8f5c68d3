// PortAudio backend: plays queued buffers on the default output device and
// hands each back once its last sample has reached the speaker.
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "backends.h"

namespace waveout {

namespace {

// Longest wait for a finished buffer's last sample to be heard; guards
// against hosts that report odd stream times.
constexpr double max_output_delay_s = 2.0;

// Silences standard error while it lives. The sound libraries below PortAudio
// print dozens of diagnostic lines while they probe for devices (on a machine
// without a sound card all of them are expected failures); parvox's callers
// capture its standard error, so that noise would end up in their output.
// PortAudio's own error text still reaches the caller through the error
// string. TALORIA_WAVEOUT_DEBUG=1 keeps the messages.
class QuietStderr {
public:
    QuietStderr() {
        const char* debug = std::getenv("TALORIA_WAVEOUT_DEBUG");
        if (debug != nullptr && debug[0] != '\0' && debug[0] != '0') return;
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd < 0) return;
        saved_fd_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_fd_ >= 0) ::dup2(null_fd, STDERR_FILENO);
        ::close(null_fd);
    }
    ~QuietStderr() {
        if (saved_fd_ < 0) return;
        ::dup2(saved_fd_, STDERR_FILENO);
        ::close(saved_fd_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_fd_ = -1;
};

std::string pa_error(PaError code) { return std::string("PortAudio: ") + Pa_GetErrorText(code); }

class PortAudioDevice final : public Device {
public:
    PortAudioDevice(const Format& format, DoneCallback on_done)
        : format_(format), on_done_(std::move(on_done)) {}

    ~PortAudioDevice() override { close(); }

    // Opens and starts the stream; false with `error` filled on failure.
    bool start(std::string* error) {
        QuietStderr quiet;
        PaError result = Pa_Initialize();
        if (result != paNoError) {
            *error = pa_error(result);
            return false;
        }
        initialized_ = true;
        PaStreamParameters output{};
        output.device = Pa_GetDefaultOutputDevice();
        if (output.device == paNoDevice) {
            *error = pa_error(paDeviceUnavailable) + " (no default output device)";
            return false;
        }
        const PaDeviceInfo* info = Pa_GetDeviceInfo(output.device);
        output.channelCount = format_.channels;
        output.sampleFormat = format_.bits_per_sample == 8 ? paUInt8 : paInt16;
        output.suggestedLatency = info != nullptr ? info->defaultHighOutputLatency : 0.1;
        result =
            Pa_OpenStream(&stream_, nullptr, &output, format_.rate_hz, paFramesPerBufferUnspecified,
                          paNoFlag, &PortAudioDevice::fill, this);
        if (result != paNoError) {
            stream_ = nullptr;
            *error = pa_error(result);
            return false;
        }
        Pa_SetStreamFinishedCallback(stream_, &PortAudioDevice::stream_finished);
        result = Pa_StartStream(stream_);
        if (result != paNoError) {
            *error = pa_error(result);
            return false;
        }
        notifier_ = std::thread([this] { run(); });
        return true;
    }

    bool write(Buffer* buffer) override {
        if (buffer == nullptr || (buffer->size_bytes > 0 && buffer->data == nullptr)) return false;
        std::unique_lock lock(mutex_);
        if (closed_ || stream_dead_) return false;
        queue_.push_back(Entry{buffer, 0, false, 0});
        return true;
    }

    bool pause() override {
        std::unique_lock lock(mutex_);
        paused_ = true;
        return !closed_;
    }

    bool resume() override {
        std::unique_lock lock(mutex_);
        paused_ = false;
        return !closed_;
    }

    bool reset() override {
        if (std::this_thread::get_id() == notifier_.get_id()) return false;
        std::deque<Entry> returned;
        {
            std::unique_lock lock(mutex_);
            if (closed_) return false;
            resetting_ = true;
            wake_.wait(lock, [this] { return !delivering_; });
            returned.swap(queue_);
            paused_ = false;
        }
        for (const Entry& entry : returned) on_done_(entry.buffer);
        std::unique_lock lock(mutex_);
        resetting_ = false;
        wake_.notify_all();
        return true;
    }

    void close() override {
        if (notifier_.joinable() && std::this_thread::get_id() != notifier_.get_id()) {
            reset();
            {
                std::unique_lock lock(mutex_);
                closed_ = true;
                wake_.notify_all();
            }
            notifier_.join();
        }
        if (stream_ != nullptr) {
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
            stream_ = nullptr;
        }
        if (initialized_) {
            Pa_Terminate();
            initialized_ = false;
        }
        closed_ = true;
    }

private:
    struct Entry {
        Buffer* buffer;
        std::size_t consumed_bytes;
        bool finished;
        // Stream time at which the buffer's last sample is heard.
        PaTime end_time_s;
    };

    // PortAudio's audio thread: copies queued PCM into the device buffer.
    static int fill(const void*, void* output, unsigned long frames,
                    const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<PortAudioDevice*>(user);
        const std::size_t frame_bytes = std::size_t(self->format_.block_align_bytes());
        const std::size_t wanted = frames * frame_bytes;
        auto* out = static_cast<std::uint8_t*>(output);
        std::size_t filled = 0;
        bool finished_any = false;
        {
            std::unique_lock lock(self->mutex_);
            if (!self->paused_ && !self->resetting_) {
                for (Entry& entry : self->queue_) {
                    if (entry.finished) continue;
                    const std::size_t left = entry.buffer->size_bytes - entry.consumed_bytes;
                    const std::size_t take = std::min(left, wanted - filled);
                    if (take > 0)
                        std::memcpy(out + filled, entry.buffer->data + entry.consumed_bytes, take);
                    filled += take;
                    entry.consumed_bytes += take;
                    if (entry.consumed_bytes < entry.buffer->size_bytes) break;
                    entry.finished = true;
                    entry.end_time_s = time->outputBufferDacTime +
                                       double(filled / frame_bytes) / self->format_.rate_hz;
                    finished_any = true;
                }
            }
        }
        // Silence for whatever the queue did not fill (8-bit PCM is unsigned).
        std::memset(out + filled, self->format_.bits_per_sample == 8 ? 0x80 : 0, wanted - filled);
        if (finished_any) self->wake_.notify_all();
        return paContinue;
    }

    // Called when the stream stops on its own (a lost device): nothing more
    // will be played, so every queued buffer counts as finished.
    static void stream_finished(void* user) {
        auto* self = static_cast<PortAudioDevice*>(user);
        std::unique_lock lock(self->mutex_);
        self->stream_dead_ = true;
        for (Entry& entry : self->queue_) {
            entry.finished = true;
            entry.end_time_s = 0;
        }
        self->wake_.notify_all();
    }

    // Notifier thread: hands back finished buffers in queue order once heard.
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (closed_) return;
            if (queue_.empty() || !queue_.front().finished || resetting_) {
                wake_.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            const PaTime now_s = stream_dead_ ? 0 : Pa_GetStreamTime(stream_);
            const PaTime wait_s = queue_.front().end_time_s - now_s;
            if (now_s > 0 && wait_s > 0 && wait_s < max_output_delay_s) {
                wake_.wait_for(lock, std::chrono::duration<double>(wait_s));
                continue;
            }
            Buffer* done = queue_.front().buffer;
            queue_.pop_front();
            delivering_ = true;
            lock.unlock();
            on_done_(done);
            lock.lock();
            delivering_ = false;
            wake_.notify_all();
        }
    }

    const Format format_;
    const DoneCallback on_done_;
    bool initialized_ = false;
    PaStream* stream_ = nullptr;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    bool paused_ = false;
    bool resetting_ = false;
    bool delivering_ = false;
    bool closed_ = false;
    bool stream_dead_ = false;
    std::thread notifier_;
};

}  // namespace

std::unique_ptr<Device> open_portaudio(const Format& format, DoneCallback on_done,
                                       std::string* error) {
    auto device = std::make_unique<PortAudioDevice>(format, std::move(on_done));
    std::string reason;
    if (!device->start(&reason)) {
        if (error != nullptr) *error = reason;
        return nullptr;
    }
    return device;
}

}  // namespace waveout
