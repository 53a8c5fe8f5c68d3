// The idle end of the browser mode.
#include "idle_end.h"

#include <cstdlib>

namespace shell {
namespace {

// How often the watch looks at the shells' event streams.
constexpr auto kPollInterval = std::chrono::milliseconds(200);

}  // namespace

IdleEnd::IdleEnd(std::function<bool()> shell_connected, Clock::duration idle,
                 std::function<void(const IdleEnd&)> end)
    : shell_connected_(std::move(shell_connected)), idle_(idle), end_(std::move(end)) {
    thread_ = std::thread([this] { Watch(); });
}

IdleEnd::~IdleEnd() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
    thread_.join();
}

bool IdleEnd::expired() const {
    const bool connected = shell_connected_();
    std::lock_guard lock(mutex_);
    return !connected && closed_at_ && Clock::now() - *closed_at_ >= idle_;
}

IdleEnd::Clock::duration IdleEnd::IdleFromEnvironment() {
    const char* text = std::getenv("TALORIA_IDLE_END_SECONDS");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (*end == '\0' && seconds >= 0 && seconds <= 86400) {
            return std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(seconds));
        }
    }
    return std::chrono::seconds(30);
}

void IdleEnd::Watch() {
    std::unique_lock lock(mutex_);
    while (!stop_cv_.wait_for(lock, kPollInterval, [this] { return stopping_; })) {
        lock.unlock();
        const bool connected = shell_connected_();
        lock.lock();
        if (connected) {
            seen_shell_ = true;
            closed_at_.reset();
            fired_ = false;
            continue;
        }
        if (!seen_shell_) continue;
        if (!closed_at_) closed_at_ = Clock::now();
        if (!fired_ && Clock::now() - *closed_at_ >= idle_) {
            fired_ = true;
            lock.unlock();
            end_(*this);
            lock.lock();
        }
    }
}

}  // namespace shell
