// The UI message loop: a queue of tasks run in order on the one thread that owns
// the application state, with modal waits that let device notifications through.
#include "message_loop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace framework {

struct MessageLoop::State {
    struct Entry {
        Task task;
        TaskKind kind;
    };

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;
    bool quit_requested = false;
    // Counts wake() calls so that a modal wait notices a wake that happened
    // between its check of done() and its sleep.
    unsigned long wake_count = 0;
    // The thread that runs the loop (run() or a modal wait on a loop that is not
    // running); default-constructed while nobody does.
    std::thread::id owner;
    int owner_depth = 0;

    // Takes the first queued task, or the first device notification when
    // `device_only`; the others keep their order.
    bool take(bool device_only, Task& out) {
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (!device_only || it->kind == TaskKind::Device) {
                out = std::move(it->task);
                queue.erase(it);
                return true;
            }
        }
        return false;
    }
};

namespace {

// Marks the calling thread as the loop thread while a run or modal wait lasts.
class OwnerScope {
public:
    explicit OwnerScope(std::unique_lock<std::mutex>&, std::thread::id& owner, int& depth)
        : owner_(owner), depth_(depth) {
        if (depth_++ == 0) owner_ = std::this_thread::get_id();
    }
    ~OwnerScope() {
        if (--depth_ == 0) owner_ = std::thread::id();
    }

private:
    std::thread::id& owner_;
    int& depth_;
};

}  // namespace

MessageLoop::MessageLoop() : state_(std::make_unique<State>()) {}

MessageLoop::~MessageLoop() = default;

void MessageLoop::post(Task task, TaskKind kind) {
    {
        std::lock_guard lock(state_->mutex);
        state_->queue.push_back({std::move(task), kind});
    }
    state_->changed.notify_all();
}

void MessageLoop::run() {
    std::unique_lock lock(state_->mutex);
    OwnerScope scope(lock, state_->owner, state_->owner_depth);
    for (;;) {
        state_->changed.wait(lock,
                             [&] { return state_->quit_requested || !state_->queue.empty(); });
        if (state_->quit_requested) break;
        Task task;
        state_->take(false, task);
        lock.unlock();
        task();
        task = nullptr;  // Destroy what the task captured before taking the lock again.
        lock.lock();
    }
    state_->quit_requested = false;
}

void MessageLoop::quit() {
    {
        std::lock_guard lock(state_->mutex);
        state_->quit_requested = true;
    }
    state_->changed.notify_all();
}

bool MessageLoop::quitting() const {
    std::lock_guard lock(state_->mutex);
    return state_->quit_requested;
}

void MessageLoop::run_modal_until(const std::function<bool()>& done) {
    std::unique_lock lock(state_->mutex);
    OwnerScope scope(lock, state_->owner, state_->owner_depth);
    for (;;) {
        unsigned long seen_wakes = state_->wake_count;
        lock.unlock();
        bool finished = done();
        lock.lock();
        if (finished) return;
        Task task;
        state_->changed.wait(lock, [&] {
            return state_->quit_requested || state_->wake_count != seen_wakes ||
                   state_->take(true, task);
        });
        if (task) {
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        } else if (state_->quit_requested) {
            return;
        }
    }
}

void MessageLoop::wake() {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->wake_count;
    }
    state_->changed.notify_all();
}

int MessageLoop::pump_device_notifications(int timeout_ms) {
    std::unique_lock lock(state_->mutex);
    OwnerScope scope(lock, state_->owner, state_->owner_depth);
    int dispatched = 0;
    Task task;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!state_->changed.wait_until(lock, deadline, [&] { return state_->take(true, task); })) {
        return 0;
    }
    // Dispatch what is queued now, but not what the dispatched tasks queue in
    // turn, so that one call always ends.
    size_t pending = 0;
    for (const auto& entry : state_->queue) {
        if (entry.kind == TaskKind::Device) ++pending;
    }
    for (;;) {
        lock.unlock();
        task();
        task = nullptr;
        ++dispatched;
        lock.lock();
        if (pending == 0 || !state_->take(true, task)) break;
        --pending;
    }
    return dispatched;
}

bool MessageLoop::on_loop_thread() const {
    std::lock_guard lock(state_->mutex);
    return state_->owner_depth > 0 && state_->owner == std::this_thread::get_id();
}

MessageLoop& ui_loop() {
    static MessageLoop loop;
    return loop;
}

}  // namespace framework
