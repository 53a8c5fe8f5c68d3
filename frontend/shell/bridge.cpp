// HTTP bridge: security checks, file serving, the event stream and the
// shell's replies and commands.
#include "bridge.h"

#include <dirent.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "guarded_server.h"
#include "security.h"
#include "shell_assets.h"
#include "worker_pool.h"

namespace shell {

using nlohmann::json;

namespace {

// One open event stream: the events not yet written to it.
struct StreamClient {
    std::deque<std::string> queue;
    bool closed = false;
};

// Texts from files and commands need not be UTF-8; invalid bytes become
// U+FFFD instead of making the serialisation throw.
std::string to_text(const json& data) {
    return data.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string sse_frame(const std::string& type, const json& data) {
    return "event: " + type + "\ndata: " + to_text(data) + "\n\n";
}

const char* content_type_for(const std::string& path) {
    static const std::pair<const char*, const char*> types[] = {
        {".htm", "text/html; charset=utf-8"},
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".gif", "image/gif"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".xml", "text/xml; charset=utf-8"},
        {".wav", "audio/wav"},
        {".mp3", "audio/mpeg"},
        {".pho", "text/plain; charset=utf-8"},
    };
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && path.find('/', dot) == std::string::npos) {
        std::string ext = path.substr(dot);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        for (const auto& [e, type] : types) {
            if (ext == e) return type;
        }
    }
    return "application/octet-stream";
}

// Data files are shown as they are: XML as text, so that its markup is read, not rendered.
const char* data_content_type_for(const std::string& path) {
    const char* type = content_type_for(path);
    return std::string(type).rfind("text/xml", 0) == 0 ? "text/plain; charset=utf-8" : type;
}

bool read_whole_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return !in.bad();
}

void refuse(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

// The folder to list for `path`: a proposed name that does not exist yet
// (Save As) lists the nearest folder above it that does, and at worst
// `fallback`; a file lists the folder that holds it.
std::string nearest_existing_folder(std::string path, const std::string& fallback) {
    char resolved[PATH_MAX];
    while (realpath(path.c_str(), resolved) == nullptr) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || path == "/") {
            path = fallback;
        } else {
            path = slash == 0 ? "/" : path.substr(0, slash);
        }
    }
    std::string dir(resolved);
    struct stat info {};
    if (stat(dir.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        const std::size_t slash = dir.rfind('/');
        dir = slash == 0 ? "/" : dir.substr(0, slash);
    }
    return dir;
}

// The entries of `dir` as {name, dir} objects, folders first, each group by
// name; false when the folder cannot be read.
bool list_folder(const std::string& dir, std::vector<json>& entries) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) return false;
    while (dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string full = (dir == "/" ? "" : dir) + "/" + name;
        struct stat st {};
        if (stat(full.c_str(), &st) != 0) continue;
        entries.push_back({{"name", name}, {"dir", S_ISDIR(st.st_mode)}});
    }
    closedir(handle);
    std::sort(entries.begin(), entries.end(), [](const json& a, const json& b) {
        if (a["dir"] != b["dir"]) return a["dir"].get<bool>();
        return a["name"].get<std::string>() < b["name"].get<std::string>();
    });
    return true;
}

}  // namespace

struct Bridge::Impl {
    explicit Impl(BridgeOptions bridge_options)
        : options(std::move(bridge_options)),
          server(std::chrono::milliseconds(options.head_deadline_ms),
                 options.max_unproven_connections) {}

    BridgeOptions options;
    std::string app_dir_real;
    std::string token;
    GuardedServer server;
    std::thread server_thread;
    int port = 0;
    int listen_socket = -1;

    FormHandler form_handler;
    LinkHandler link_handler;
    CommandHandler command_handler;
    StopHandler stop_handler;
    std::function<void()> modal_waker;
    std::map<std::string, EndpointHandler> get_endpoints;
    std::map<std::string, EndpointHandler> post_endpoints;

    mutable std::mutex mutex;
    std::condition_variable stream_cv;
    std::vector<std::shared_ptr<StreamClient>> clients;
    bool stopping = false;

    // Remembered state, replayed to a shell that connects.
    std::string view_path;
    std::map<std::string, std::string> frame_paths;
    json commands = {{"play", false}, {"pause", false}, {"stop", false}, {"paused", false}};
    bool busy = false;
    json progress = {{"text", ""}};
    std::vector<std::string> notices;
    std::vector<std::string> tickets;  // one-time stand-ins for the token
    json recent = json::array();
    json replay = {{"file", ""}, {"playing", false}, {"paused", false}};

    struct Modal {
        json event;
        std::optional<json> answer;
    };
    std::map<int, Modal> modals;
    int next_modal_id = 1;
    bool modals_cancelled = false;

    // Queues one event for every open stream; the caller holds `mutex`.
    void broadcast_locked(const std::string& type, const json& data) {
        const std::string frame = sse_frame(type, data);
        for (auto& client : clients) client->queue.push_back(frame);
        stream_cv.notify_all();
    }

    void broadcast(const std::string& type, const json& data) {
        std::lock_guard lock(mutex);
        broadcast_locked(type, data);
    }

    bool authorised(const httplib::Request& req) {
        if (req.has_param("token")) {
            const std::string given = req.get_param_value("token");
            if (equal_in_constant_time(given, token)) return true;
            std::lock_guard lock(mutex);
            for (auto it = tickets.begin(); it != tickets.end(); ++it) {
                if (equal_in_constant_time(given, *it)) {
                    tickets.erase(it);
                    return true;
                }
            }
        }
        if (req.has_header("X-Taloria-Token") &&
            equal_in_constant_time(req.get_header_value("X-Taloria-Token"), token)) {
            return true;
        }
        const std::string cookie = cookie_value(req.get_header_value("Cookie"), kTokenCookie);
        return !cookie.empty() && equal_in_constant_time(cookie, token);
    }

    // A request that changes something must come from the program's own
    // pages: its Origin (also an empty one) or, without one, its Referer
    // names this server. The raw head is read because the parsed headers
    // drop a header whose value is empty.
    bool sender_is_own(const httplib::Request& req, const std::string& head) const {
        if (req.method == "GET" || req.method == "HEAD") return true;
        const std::vector<std::string> origins = header_values(head, "Origin");
        if (!origins.empty()) return origins.size() == 1 && origin_is_own(origins[0], port);
        const std::vector<std::string> referers = header_values(head, "Referer");
        return referers.empty() || (referers.size() == 1 && referer_is_own(referers[0], port));
    }

    // The checks every request passes before it is routed.
    httplib::Server::HandlerResponse check(const httplib::Request& req, httplib::Response& res) {
        const std::string head = GuardedServer::current_head();
        if (header_values(head, "Host").size() > 1) {
            refuse(res, 400, "Bad Request: Host given more than once");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!host_is_own(req.get_header_value("Host"), port)) {
            refuse(res, 403, "Forbidden: foreign or missing Host");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!sender_is_own(req, head)) {
            refuse(res, 403, "Forbidden: foreign Origin or Referer");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!authorised(req)) {
            refuse(res, 403, "Forbidden: missing or wrong token");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Shown the token: this connection no longer counts against the cap.
        server.mark_current_proven();
        // A valid token in the address becomes the cookie, so the pages and the
        // shell's own requests carry it without showing it in their URLs.
        if (req.has_param("token")) {
            res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        // Addresses never leave for other sites; within the program's own
        // origin the browser keeps sending its true Origin, which a form post
        // made by the browser itself needs (with "no-referrer" it says "null").
        res.set_header("Referrer-Policy", "same-origin");
        res.set_header("X-Frame-Options", "SAMEORIGIN");
        return httplib::Server::HandlerResponse::Unhandled;
    }

    bool run_in_progress() const {
        std::lock_guard lock(mutex);
        return !progress.value("text", std::string()).empty();
    }

    bool file_modal_open() const {
        std::lock_guard lock(mutex);
        for (const auto& [id, modal] : modals) {
            const std::string kind = modal.event.value("kind", "");
            if (!modal.answer && (kind == "fileNeeded" || kind == "fileOpen" || kind == "fileSave"))
                return true;
        }
        return false;
    }

    // Registers one handler per route; each does one job.
    void install_routes();
    void serve_events(httplib::Response& res);
    void queue_replay_locked(StreamClient& client);
    void serve_folder_listing(const httplib::Request& req, httplib::Response& res);
    void take_reply(const httplib::Request& req, httplib::Response& res);
    void take_command(const httplib::Request& req, httplib::Response& res);
    void take_link(const httplib::Request& req, httplib::Response& res);
    void take_stop(httplib::Response& res);
    static void serve_shell_asset(const httplib::Request& req, httplib::Response& res);
    // Calls the endpoint of `endpoints` named by the route's match; false when
    // there is none of that name.
    static bool serve_endpoint(const std::map<std::string, EndpointHandler>& endpoints,
                               const httplib::Request& req, httplib::Response& res);
    void serve_app_file(const httplib::Request& req, httplib::Response& res);
    void take_form(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& content_reader);
};

// Queues the remembered state for a shell that connects; the caller holds `mutex`.
void Bridge::Impl::queue_replay_locked(StreamClient& client) {
    client.queue.push_back("retry: 1000\n\n");
    client.queue.push_back(sse_frame(
        "hello", {{"title", "Taloria 2"}, {"version", TALORIA_VERSION}, {"appDir", app_dir_real}}));
    if (!view_path.empty())
        client.queue.push_back(sse_frame("navigate", {{"path", view_path}, {"frame", ""}}));
    for (const auto& [frame, path] : frame_paths) {
        client.queue.push_back(sse_frame("navigate", {{"path", path}, {"frame", frame}}));
    }
    client.queue.push_back(sse_frame("commands", commands));
    client.queue.push_back(sse_frame("busy", {{"busy", busy}}));
    client.queue.push_back(sse_frame("recent", {{"files", recent}}));
    client.queue.push_back(sse_frame("replay", replay));
    client.queue.push_back(sse_frame("progress", progress));
    for (const std::string& text : notices)
        client.queue.push_back(sse_frame("notice", {{"text", text}}));
    notices.clear();
    for (const auto& [id, modal] : modals) {
        if (!modal.answer) client.queue.push_back(sse_frame("modal", modal.event));
    }
}

void Bridge::Impl::serve_events(httplib::Response& res) {
    auto client = std::make_shared<StreamClient>();
    {
        std::lock_guard lock(mutex);
        if (stopping) {
            refuse(res, 503, "Ending");
            return;
        }
        // Every open stream holds a worker thread, so their number is capped
        // to keep workers free for pages, forms and replies.
        if (clients.size() >= options.max_event_streams) {
            refuse(res, 503, "Too many event streams");
            return;
        }
        queue_replay_locked(*client);
        clients.push_back(client);
    }
    res.set_header("X-Accel-Buffering", "no");
    const auto heartbeat = std::chrono::milliseconds(options.heartbeat_ms);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client, heartbeat](std::size_t, httplib::DataSink& sink) {
            std::unique_lock lock(mutex);
            stream_cv.wait_for(lock, heartbeat, [&] {
                return stopping || client->closed || !client->queue.empty();
            });
            if (stopping || client->closed) {
                lock.unlock();
                sink.done();
                return true;
            }
            std::string out;
            if (client->queue.empty()) {
                out = ":\n\n";  // keeps the connection alive and finds dead ones
            }
            while (!client->queue.empty()) {
                out += client->queue.front();
                client->queue.pop_front();
            }
            lock.unlock();
            if (!sink.write(out.data(), out.size())) {
                std::lock_guard relock(mutex);
                client->closed = true;
                return false;
            }
            return true;
        },
        [this, client](bool) {
            std::lock_guard lock(mutex);
            client->closed = true;
            clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
        });
}

void Bridge::Impl::install_routes() {
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return check(req, res); });
    server.set_payload_max_length(options.max_body_bytes);

    using Req = const httplib::Request&;
    using Res = httplib::Response&;
    const std::string prefix = kShellPrefix;
    server.Get(prefix + "events", [this](Req, Res res) { serve_events(res); });
    server.Get(prefix + "fs", [this](Req req, Res res) { serve_folder_listing(req, res); });
    server.Post(prefix + "reply", [this](Req req, Res res) { take_reply(req, res); });
    server.Post(prefix + "command", [this](Req req, Res res) { take_command(req, res); });
    server.Post(prefix + "link", [this](Req req, Res res) { take_link(req, res); });
    server.Post(prefix + "stop", [this](Req, Res res) { take_stop(res); });
    server.Get(prefix + "(.*)", [this](Req req, Res res) {
        if (!serve_endpoint(get_endpoints, req, res)) serve_shell_asset(req, res);
    });
    // The rest of the reserved prefix answers nothing.
    server.Post(prefix + "(.*)", [this](Req req, Res res) {
        if (!serve_endpoint(post_endpoints, req, res)) refuse(res, 404, "Not found");
    });
    // Any other GET is a file of the app directory.
    server.Get(".*", [this](Req req, Res res) { serve_app_file(req, res); });
    // Any other POST is a form submitted from a page. Content-reader routes
    // are matched before all others, so this one leaves the shell's reserved
    // prefix to the routes above.
    const std::string outside_prefix = "(?!" + prefix + ").*";
    server.Post(outside_prefix,
                [this](Req req, Res res, const httplib::ContentReader& content_reader) {
                    take_form(req, res, content_reader);
                });
}

// Directory listing for the shell's file chooser: answered only while a
// dialog that chooses a file is open, never as a way to browse at will.
void Bridge::Impl::serve_folder_listing(const httplib::Request& req, httplib::Response& res) {
    if (!file_modal_open()) return refuse(res, 403, "Forbidden: no file dialog is open");
    std::string path = req.has_param("path") ? req.get_param_value("path") : app_dir_real;
    if (path.empty()) path = app_dir_real;
    const std::string dir = nearest_existing_folder(path, app_dir_real);
    std::vector<json> entries;
    if (!list_folder(dir, entries)) return refuse(res, 404, "Cannot list this folder");
    const std::size_t slash = dir.rfind('/');
    const std::string parent = dir == "/" ? "" : (slash == 0 ? "/" : dir.substr(0, slash));
    res.set_content(to_text(json{{"path", dir}, {"parent", parent}, {"entries", entries}}),
                    "application/json");
}

void Bridge::Impl::take_reply(const httplib::Request& req, httplib::Response& res) {
    const json body = json::parse(req.body, nullptr, false);
    // The waiting side reads these fields with their types, so a reply of
    // another shape is refused here rather than trusted.
    const bool well_formed = body.is_object() && body.contains("id") &&
                             body["id"].is_number_integer() &&
                             (!body.contains("ok") || body["ok"].is_boolean()) &&
                             (!body.contains("path") || body["path"].is_string()) &&
                             (!body.contains("oldConsole") || body["oldConsole"].is_boolean()) &&
                             (!body.contains("showOutput") || body["showOutput"].is_boolean());
    if (!well_formed) return refuse(res, 400, "Bad reply");
    std::function<void()> waker;
    {
        std::lock_guard lock(mutex);
        auto it = modals.find(body["id"].get<int>());
        if (it == modals.end() || it->second.answer) return refuse(res, 404, "No such dialog");
        it->second.answer = body;
        broadcast_locked("modalClosed", {{"id", it->first}});
        waker = modal_waker;
    }
    if (waker) waker();
    res.status = 204;
}

void Bridge::Impl::take_command(const httplib::Request& req, httplib::Response& res) {
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("command") || !body["command"].is_string() ||
        (body.contains("form") && !body["form"].is_string())) {
        return refuse(res, 400, "Bad command");
    }
    // Commands wait for the UI loop, which is inside the run: taken now, they
    // would pop up once it ended. Only the stop reaches a run.
    if (run_in_progress()) return refuse(res, 409, "A run is in progress");
    const std::string form = body.contains("form") ? body["form"].get<std::string>() : "";
    if (!command_handler || !command_handler(body["command"].get<std::string>(), form)) {
        return refuse(res, 404, "Unknown command");
    }
    res.status = 204;
}

void Bridge::Impl::take_link(const httplib::Request& req, httplib::Response& res) {
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("url") || !body["url"].is_string()) {
        return refuse(res, 400, "Bad link");
    }
    const bool cancel = link_handler ? link_handler(body["url"].get<std::string>()) : false;
    res.set_content(to_text(json{{"cancel", cancel}}), "application/json");
}

void Bridge::Impl::take_stop(httplib::Response& res) {
    if (stop_handler) stop_handler();
    res.status = 204;
}

bool Bridge::Impl::serve_endpoint(const std::map<std::string, EndpointHandler>& endpoints,
                                  const httplib::Request& req, httplib::Response& res) {
    const auto endpoint = endpoints.find(req.matches[1]);
    if (endpoint == endpoints.end()) return false;
    EndpointRequest request;
    for (const auto& [key, value] : req.params) request.params.emplace(key, value);
    request.params.erase("token");
    request.body = req.body;
    const EndpointReply reply = endpoint->second(request);
    res.status = reply.status;
    for (const auto& [key, value] : reply.headers) res.set_header(key, value);
    res.set_content(reply.body, reply.content_type);
    return true;
}

void Bridge::Impl::serve_shell_asset(const httplib::Request& req, httplib::Response& res) {
    std::string name = req.matches[1];
    if (name.empty()) name = "index.html";
    const ShellAsset* asset = find_shell_asset(name);
    if (asset == nullptr) return refuse(res, 404, "Not found");
    // The shell page loads only its own files and may not be framed by
    // any other page (the app's pages are framed by it, same origin).
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
                   "frame-ancestors 'none'");
    res.set_content(std::string(asset->body), asset->content_type);
}

void Bridge::Impl::serve_app_file(const httplib::Request& req, httplib::Response& res) {
    const auto file = resolve_served_file(app_dir_real, req.path);
    std::string body;
    if (!file || !read_whole_file(*file, body)) return refuse(res, 404, "Not found");
    if (is_app_page(app_dir_real, *file)) {
        res.set_content(std::move(body), content_type_for(*file));
        return;
    }
    // Outputs and every other file are data from outside: no scripts, an
    // opaque origin, and XML shown as its source instead of as markup.
    res.set_header("Content-Security-Policy", "sandbox");
    res.set_content(std::move(body), data_content_type_for(*file));
}

// A form submitted from a page: a navigation with posted data. A cancelled
// one is answered 204 so the browser stays on its page; one that goes ahead
// (a form without fields, say) sends the browser to the address as an
// ordinary navigation.
//
// The body is read through a content reader: the library's own reading of
// URL-encoded bodies stops at 8 KiB, which would refuse any longer text.
void Bridge::Impl::take_form(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& content_reader) {
    std::string body;
    bool too_large = false;
    const bool complete = content_reader([&](const char* data, std::size_t length) {
        if (body.size() + length > options.max_body_bytes) {
            too_large = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    // A body over the limit (found by the library or here) or one that
    // ended early is never handled as a form.
    if (too_large || res.status == 413) return refuse(res, 413, "Payload too large");
    if (!complete) return refuse(res, 400, "Incomplete request body");
    const bool cancel = form_handler ? form_handler(req.path, body) : true;
    if (cancel) {
        res.status = 204;
        return;
    }
    res.status = 303;
    res.set_header("Location", req.target);
}

Bridge::Bridge(BridgeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->token = impl_->options.token.empty() ? make_token() : impl_->options.token;
    char resolved[PATH_MAX];
    impl_->app_dir_real =
        realpath(impl_->options.app_dir.c_str(), resolved) ? resolved : impl_->options.app_dir;
    // Every open connection holds a worker, so the pool grows with them
    // instead of making new clients wait behind idle or slow ones.
    const std::size_t kept = impl_->options.kept_worker_threads;
    const std::size_t most = impl_->options.max_worker_threads;
    impl_->server.new_task_queue = [kept, most] {
        return new WorkerPool(kept, most, std::chrono::seconds(30));
    };
    // The library listens with a queue of 5 connections; a burst of clients
    // would wait for retransmitted handshakes. The socket is remembered here
    // and listened on again with the system's largest queue after binding.
    impl_->server.set_socket_options([this](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        impl_->listen_socket = socket;
    });
    impl_->install_routes();
}

Bridge::~Bridge() { stop(); }

void Bridge::on_form(FormHandler handler) { impl_->form_handler = std::move(handler); }
void Bridge::on_link(LinkHandler handler) { impl_->link_handler = std::move(handler); }
void Bridge::on_command(CommandHandler handler) { impl_->command_handler = std::move(handler); }
void Bridge::on_stop(StopHandler handler) { impl_->stop_handler = std::move(handler); }
void Bridge::on_get_endpoint(const std::string& name, EndpointHandler handler) {
    impl_->get_endpoints[name] = std::move(handler);
}

void Bridge::on_post_endpoint(const std::string& name, EndpointHandler handler) {
    impl_->post_endpoints[name] = std::move(handler);
}

void Bridge::on_modal_answer(std::function<void()> waker) {
    std::lock_guard lock(impl_->mutex);
    impl_->modal_waker = std::move(waker);
}

bool Bridge::start(std::string& error) {
    Impl& d = *impl_;
    if (d.options.port == 0) {
        d.port = d.server.bind_to_any_port("127.0.0.1");
    } else {
        d.port = d.server.bind_to_port("127.0.0.1", d.options.port) ? d.options.port : -1;
    }
    if (d.port <= 0) {
        error = "cannot listen on 127.0.0.1 port " + std::to_string(d.options.port);
        return false;
    }
    if (d.listen_socket >= 0) ::listen(d.listen_socket, SOMAXCONN);
    d.server_thread = std::thread([&d] { d.server.listen_after_bind(); });
    // stop() only reaches a server that is already running, so wait until it is.
    for (int i = 0; i < 5000 && !d.server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Bridge::stop() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
        d.stream_cv.notify_all();
    }
    d.server.drop_unproven();
    d.server.stop();
    if (d.server_thread.joinable()) d.server_thread.join();
}

int Bridge::port() const { return impl_->port; }
const std::string& Bridge::token() const { return impl_->token; }
const std::string& Bridge::app_dir() const { return impl_->app_dir_real; }

std::string Bridge::start_url() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + kShellPrefix +
           "?token=" + impl_->token;
}

std::string Bridge::launch_url() {
    const std::string ticket = make_token();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->tickets.push_back(ticket);
    }
    return "http://127.0.0.1:" + std::to_string(impl_->port) + kShellPrefix + "?token=" + ticket;
}

void Bridge::navigate(const std::string& path, const std::string& frame) {
    std::lock_guard lock(impl_->mutex);
    if (frame.empty()) {
        impl_->view_path = path;
        impl_->frame_paths.clear();
    } else {
        impl_->frame_paths[frame] = path;
    }
    impl_->broadcast_locked("navigate", {{"path", path}, {"frame", frame}});
}

void Bridge::set_command_states(bool play, bool pause, bool stop, bool paused) {
    std::lock_guard lock(impl_->mutex);
    json states = {{"play", play}, {"pause", pause}, {"stop", stop}, {"paused", paused}};
    if (states == impl_->commands) return;
    impl_->commands = states;
    impl_->broadcast_locked("commands", states);
}

void Bridge::set_busy(bool busy) {
    std::lock_guard lock(impl_->mutex);
    impl_->busy = busy;
    impl_->broadcast_locked("busy", {{"busy", busy}});
}

void Bridge::set_progress(const std::string& text) {
    std::lock_guard lock(impl_->mutex);
    impl_->progress = {{"text", text}};
    impl_->broadcast_locked("progress", impl_->progress);
}

void Bridge::set_replay(const std::string& file, bool playing, bool paused) {
    std::lock_guard lock(impl_->mutex);
    json replay = {{"file", file}, {"playing", playing}, {"paused", paused}};
    if (replay == impl_->replay) return;
    impl_->replay = replay;
    impl_->broadcast_locked("replay", replay);
}

void Bridge::set_recent_files(const std::vector<std::string>& files) {
    std::lock_guard lock(impl_->mutex);
    json list = files;
    if (list == impl_->recent) return;
    impl_->recent = list;
    impl_->broadcast_locked("recent", {{"files", list}});
}

void Bridge::add_notice(const std::string& text) {
    std::lock_guard lock(impl_->mutex);
    impl_->notices.push_back(text);
}

void Bridge::send_quit() { impl_->broadcast("quit", json::object()); }

int Bridge::open_modal(const std::string& kind, json data) {
    std::lock_guard lock(impl_->mutex);
    const int id = impl_->next_modal_id++;
    if (!data.is_object()) data = json::object();
    data["id"] = id;
    data["kind"] = kind;
    Impl::Modal modal{data, std::nullopt};
    if (impl_->modals_cancelled) modal.answer = json{{"id", id}, {"ok", false}};
    impl_->modals[id] = modal;
    if (!modal.answer) impl_->broadcast_locked("modal", data);
    return id;
}

std::optional<json> Bridge::modal_answer(int id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->modals.find(id);
    if (it == impl_->modals.end()) return json{{"id", id}, {"ok", false}};
    return it->second.answer;
}

void Bridge::close_modal(int id) {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->modals.find(id);
    if (it == impl_->modals.end()) return;
    if (!it->second.answer) impl_->broadcast_locked("modalClosed", {{"id", id}});
    impl_->modals.erase(it);
}

void Bridge::cancel_modals() {
    std::function<void()> waker;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->modals_cancelled = true;
        for (auto& [id, modal] : impl_->modals) {
            if (!modal.answer) {
                modal.answer = json{{"id", id}, {"ok", false}};
                impl_->broadcast_locked("modalClosed", {{"id", id}});
            }
        }
        waker = impl_->modal_waker;
    }
    if (waker) waker();
}

bool Bridge::shell_connected() const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& client : impl_->clients) {
        if (!client->closed) return true;
    }
    return false;
}

}  // namespace shell
