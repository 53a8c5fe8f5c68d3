// The end of the browser mode: once the last shell page has been closed for a
// while, the program ends by itself, so that no server is left behind without
// a page. The watch runs on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace shell {

class IdleEnd {
public:
    using Clock = std::chrono::steady_clock;

    // Watches `shell_connected` and calls `end` (on the watch thread) once no
    // shell has been connected for `idle` after one had been. `end` is called
    // once per such period; it should post the end to the UI loop and check
    // expired() there, since a shell may have come back in the meantime.
    IdleEnd(std::function<bool()> shell_connected, Clock::duration idle,
            std::function<void(const IdleEnd&)> end);
    ~IdleEnd();
    IdleEnd(const IdleEnd&) = delete;
    IdleEnd& operator=(const IdleEnd&) = delete;

    // True while no shell is connected and the last one closed at least
    // `idle` ago.
    bool expired() const;

    // The idle time: TALORIA_IDLE_END_SECONDS when set (for tests), else 30 s.
    static Clock::duration IdleFromEnvironment();

private:
    void Watch();

    const std::function<bool()> shell_connected_;
    const Clock::duration idle_;
    const std::function<void(const IdleEnd&)> end_;
    mutable std::mutex mutex_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
    bool seen_shell_ = false;
    std::optional<Clock::time_point> closed_at_;
    bool fired_ = false;
    std::thread thread_;
};

}  // namespace shell
