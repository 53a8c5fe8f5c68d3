// The HTTP bridge between the browser and the program: serves the shell page
// and the app directory on the loopback address, carries events to the shell
// over one Server-Sent Events stream and takes its replies and commands back.
//
// Threading: every public function is safe from any thread. Handlers are
// called on HTTP worker threads; they must not touch application state
// themselves but post work to the UI loop and wait for it.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace shell {

// URL prefix of the shell's own files and endpoints; nothing else is reserved.
inline constexpr const char* kShellPrefix = "/~shell/";
// Name of the cookie that carries the start-up token.
inline constexpr const char* kTokenCookie = "taloria_token";

struct BridgeOptions {
    std::string app_dir;                         // served folder (resolved before use)
    int port = 0;                                // 0 picks any free port
    std::size_t max_body_bytes = 1024 * 1024;    // larger request bodies get 413
    std::string token;                           // empty: a fresh random token
    int heartbeat_ms = 5000;                     // idle interval of the event stream
    std::size_t max_event_streams = 64;          // more open streams get 503
    std::size_t kept_worker_threads = 8;         // started on demand, kept when idle
    std::size_t max_worker_threads = 4096;       // every open connection holds one
    int head_deadline_ms = 5000;                 // a request head must be complete by then
    std::size_t max_unproven_connections = 256;  // without a valid token yet; the oldest give way
};

class Bridge {
public:
    // A form POST to a non-reserved path: the decoded URL path and the raw body.
    // Returns true when the navigation is cancelled (answered 204, the browser
    // stays), false when it goes ahead (answered 303, the browser fetches the
    // address itself).
    using FormHandler = std::function<bool(const std::string& url, const std::string& body)>;
    // An audio link the shell is about to follow; returns true to cancel it.
    using LinkHandler = std::function<bool(const std::string& url)>;
    // A command by name with the input page's fields as the shell saw them
    // (URL-encoded as the page's form would post them; empty when the input
    // page is not shown); returns false for a name it does not know.
    using CommandHandler = std::function<bool(const std::string& name, const std::string& form)>;
    // The user asked to stop the running stage command.
    using StopHandler = std::function<void()>;

    // The answer of a further endpoint under the reserved prefix.
    struct EndpointReply {
        int status = 200;
        std::string body;
        std::string content_type = "application/json";
        std::map<std::string, std::string> headers;
    };
    // A further endpoint's request: its query parameters and its body.
    struct EndpointRequest {
        std::map<std::string, std::string> params;
        std::string body;
    };
    // Handles an endpoint `/~shell/NAME`. It runs on an HTTP worker thread
    // and must not touch application state.
    using EndpointHandler = std::function<EndpointReply(const EndpointRequest& request)>;

    explicit Bridge(BridgeOptions options);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    void on_form(FormHandler handler);
    void on_link(LinkHandler handler);
    void on_command(CommandHandler handler);
    void on_stop(StopHandler handler);
    // Adds the endpoint `GET /~shell/NAME` or `POST /~shell/NAME`; call before start().
    void on_get_endpoint(const std::string& name, EndpointHandler handler);
    void on_post_endpoint(const std::string& name, EndpointHandler handler);
    // Called (from an HTTP thread) whenever a modal gets its answer.
    void on_modal_answer(std::function<void()> waker);

    // Binds 127.0.0.1 and starts serving on a thread of its own. On failure
    // returns false with the reason in `error`.
    bool start(std::string& error);
    // Ends the event streams and the server; waits for the serving thread.
    void stop();

    int port() const;
    const std::string& token() const;
    const std::string& app_dir() const;  // the resolved app directory
    // The address to open: the shell page with the token.
    std::string start_url() const;

    // A one-time address for opening the user's browser: its ticket stands for
    // the token once, so the token itself never appears in a child's arguments.
    std::string launch_url();

    // Events to every connected shell. Navigation, command states, busy and
    // progress are also remembered and replayed to a shell that connects later.
    void navigate(const std::string& path, const std::string& frame);
    // `paused`: a replay is paused (the Pause button shows itself pressed).
    void set_command_states(bool play, bool pause, bool stop, bool paused = false);
    void set_busy(bool busy);
    void set_progress(const std::string& text);
    // The player's file and replay state, for the signal panel.
    void set_replay(const std::string& file, bool playing, bool paused);
    // The recent-file list of the File menu (at most four paths).
    void set_recent_files(const std::vector<std::string>& files);
    // A message shown while no shell was connected, kept for the next shell.
    void add_notice(const std::string& text);
    // Tells connected shells that the program has ended.
    void send_quit();

    // Modal dialogs. open_modal broadcasts a "modal" event of `kind` with
    // `data` (replayed to late shells) and returns its id; modal_answer gives
    // the reply once it arrived; close_modal forgets it and tells the shells.
    int open_modal(const std::string& kind, nlohmann::json data);
    std::optional<nlohmann::json> modal_answer(int id) const;
    void close_modal(int id);
    // Answers every open modal with {"ok": false}; later modals are answered at
    // once the same way (the program is ending).
    void cancel_modals();

    // True while at least one event stream is open.
    bool shell_connected() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace shell
