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
#include <memory>
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

    // Posts a request and waits for its result. On the loop thread itself the
    // task runs at once, since waiting there for the queue would never end.
    // Exceptions thrown by the task reach the caller; a task dropped unrun
    // (the loop destroyed first) raises std::future_error.
    template <class F>
    auto call(F&& f) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (on_loop_thread()) return std::forward<F>(f)();
        auto job = std::make_shared<std::packaged_task<R()>>(std::forward<F>(f));
        auto result = job->get_future();
        // The queue holds the only reference, so a task dropped unrun breaks
        // the promise and the waiter sees an error instead of waiting forever.
        post([job = std::move(job)] { (*job)(); });
        return result.get();
    }

    // Runs tasks on the calling thread (which becomes the loop thread) until quit().
    // A quit() that came before run() makes it return at once; after run()
    // returns, the loop may be run again.
    void run();
    // Makes run() return once the task in hand is finished; safe from any thread.
    void quit();
    // True once quit() was called and run() has not yet returned.
    bool quitting() const;

    // Modal wait on the loop thread: dispatches device notifications only, until
    // done() is true. done() is checked after every notification and after
    // every wake(); call wake() from another thread after changing what done() reads.
    // The wait also ends when quit() is called, so that a program that is asked
    // to end is never held by a dialog nobody answers; the caller then sees
    // done() still false and takes it as Cancel.
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
