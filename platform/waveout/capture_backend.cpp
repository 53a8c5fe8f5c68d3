// Capture backend: appends the PCM of every written buffer to a file and
// completes buffers on a clock, so tests and headless machines need no sound card.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "backends.h"

namespace waveout {

namespace {

using Clock = std::chrono::steady_clock;

class CaptureDevice final : public Device {
public:
    CaptureDevice(const Format& format, DoneCallback on_done, int fd, double speed)
        : format_(format), on_done_(std::move(on_done)), fd_(fd), speed_(speed) {
        thread_ = std::thread([this] { run(); });
    }

    ~CaptureDevice() override { close(); }

    bool write(Buffer* buffer) override {
        if (buffer == nullptr || (buffer->size_bytes > 0 && buffer->data == nullptr)) return false;
        std::unique_lock lock(mutex_);
        if (closed_) return false;
        // The file is written by the owner's thread in call order, so it holds
        // the buffers in queue order.
        if (!append(buffer->data, buffer->size_bytes)) return false;
        queue_.push_back(buffer);
        wake_.notify_all();
        return true;
    }

    bool pause() override {
        std::unique_lock lock(mutex_);
        if (closed_) return false;
        if (!paused_) {
            paused_ = true;
            if (front_started_) {
                const auto left = deadline_ - Clock::now();
                remaining_ = left > Clock::duration::zero() ? left : Clock::duration::zero();
            }
            wake_.notify_all();
        }
        return true;
    }

    bool resume() override {
        std::unique_lock lock(mutex_);
        if (closed_) return false;
        if (paused_) {
            paused_ = false;
            if (front_started_) deadline_ = Clock::now() + remaining_;
            wake_.notify_all();
        }
        return true;
    }

    bool reset() override {
        // A reset from inside the done callback would wait for itself.
        if (std::this_thread::get_id() == thread_.get_id()) return false;
        std::deque<Buffer*> returned;
        {
            std::unique_lock lock(mutex_);
            if (closed_) return false;
            resetting_ = true;
            // A notice already on its way goes out first, so that order holds.
            wake_.wait(lock, [this] { return !delivering_; });
            returned.swap(queue_);
            front_started_ = false;
            paused_ = false;
        }
        for (Buffer* buffer : returned) on_done_(buffer);
        std::unique_lock lock(mutex_);
        resetting_ = false;
        wake_.notify_all();
        return true;
    }

    void close() override {
        if (!thread_.joinable()) return;
        if (std::this_thread::get_id() == thread_.get_id()) return;
        reset();
        {
            std::unique_lock lock(mutex_);
            closed_ = true;
            wake_.notify_all();
        }
        thread_.join();
        ::close(fd_);
    }

private:
    bool append(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            data += written;
            size -= std::size_t(written);
        }
        return true;
    }

    Clock::duration playing_time(const Buffer* buffer) const {
        if (speed_ == 0) return Clock::duration::zero();
        const double bytes_per_second = double(format_.rate_hz) * format_.block_align_bytes();
        const double seconds = double(buffer->size_bytes) / bytes_per_second / speed_;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // Backend thread: completes the front buffer when its time has run out.
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (closed_) return;
            if (queue_.empty() || paused_ || resetting_) {
                wake_.wait(lock);
                continue;
            }
            if (!front_started_) {
                front_started_ = true;
                deadline_ = Clock::now() + playing_time(queue_.front());
            }
            if (Clock::now() < deadline_) {
                wake_.wait_until(lock, deadline_);
                continue;
            }
            Buffer* finished = queue_.front();
            queue_.pop_front();
            front_started_ = false;
            delivering_ = true;
            lock.unlock();
            on_done_(finished);
            lock.lock();
            delivering_ = false;
            wake_.notify_all();
        }
    }

    const Format format_;
    const DoneCallback on_done_;
    const int fd_;
    const double speed_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Buffer*> queue_;
    bool paused_ = false;
    bool resetting_ = false;
    bool delivering_ = false;
    bool closed_ = false;
    // Clock of the front buffer: its deadline while playing, the time it
    // still needs while paused.
    bool front_started_ = false;
    Clock::time_point deadline_{};
    Clock::duration remaining_{};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Device> open_capture(const Format& format, DoneCallback on_done,
                                     const std::string& path, double speed, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error != nullptr)
            *error = "cannot open capture file '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<CaptureDevice>(format, std::move(on_done), fd, speed);
}

}  // namespace waveout
