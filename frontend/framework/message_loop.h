// The UI message loop: one thread owns all application state and runs tasks in
// the order they were posted. Other threads post tasks, or post and wait.
//
// Two kinds of task: requests (user commands, page requests, navigation) and
// device notifications (e.g. replay buffers done). A modal wait (message box,
// dialog, the player's stop pump) dispatches device notifications only; requests
// stay queued until the modal wait ends.
#pragma once

#include <functional>
#include <future>
#include <thread>
#include <type_traits>

namespace framework {

enum class TaskKind { Request, Device };

class MessageLoop {
public:
    using Task = std::function<void()>;

    MessageLoop();
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // Queues a task; safe from any thread.
    void post(Task task, TaskKind kind = TaskKind::Request);

    // Posts a request and waits for its result; must not be called on the loop
    // thread. Exceptions thrown by the task reach the caller.
    template <class F>
    auto call(F&& f) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        auto job = std::make_shared<std::packaged_task<R()>>(std::forward<F>(f));
        auto result = job->get_future();
        post([job] { (*job)(); });
        return result.get();
    }

    // Runs tasks on the calling thread (which becomes the loop thread) until quit().
    void run();
    // Makes run() return once the task in hand is finished; safe from any thread.
    void quit();

    // Modal wait on the loop thread: dispatches device notifications only, until
    // done() is true. done() is checked after every notification and after
    // every wake(); call wake() from another thread after changing what done() reads.
    void run_modal_until(const std::function<bool()>& done);
    void wake();

    // Dispatches the device notifications queued now, waiting at most
    // `timeout_ms` for the first one. Returns the number dispatched.
    int pump_device_notifications(int timeout_ms);

    // True on the thread that runs the loop.
    bool on_loop_thread() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The application's loop; created on first use.
MessageLoop& ui_loop();

}  // namespace framework
