// The WebKitGTK backend: a GTK window holding one WebKit web view. GTK and
// WebKit are used from one thread of their own (the window thread), which
// runs the GTK main loop; the program's message loop stays where it is.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "window.h"
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

namespace platform::window {
namespace {

// The part of an address up to its path ("http://127.0.0.1:8080").
std::string origin_of(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const std::size_t path = url.find('/', scheme + 3);
    return path == std::string::npos ? url : url.substr(0, path);
}

bool same_origin(const std::string& url, const std::string& origin) {
    return url.compare(0, origin.size(), origin) == 0 &&
           (url.size() == origin.size() || url[origin.size()] == '/');
}

GdkPixbuf* pixbuf_from_png(std::string_view png) {
    if (png.empty()) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (loader == nullptr) return nullptr;
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(),
                                nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr) g_object_ref(pixbuf);
    }
    g_object_unref(loader);
    return pixbuf;
}

// True when the rectangle's top-left part lies on one of the display's
// monitors; a position from a monitor that has gone is not restored.
bool position_visible(const Geometry& g) {
    GdkDisplay* display = gdk_display_get_default();
    const int count = gdk_display_get_n_monitors(display);
    for (int i = 0; i < count; ++i) {
        GdkRectangle area;
        gdk_monitor_get_workarea(gdk_display_get_monitor(display, i), &area);
        if (g.x + 48 > area.x && g.x < area.x + area.width - 48 && g.y >= area.y - 8 &&
            g.y < area.y + area.height - 48) {
            return true;
        }
    }
    return false;
}

class WebKitWindow final : public Window {
public:
    explicit WebKitWindow(WindowOptions options) : options_(std::move(options)) {}
    ~WebKitWindow() override { close(); }

    // Starts the window thread; false with the reason when GTK cannot start.
    bool start(std::string& error) {
        std::promise<std::string> started;
        std::future<std::string> result = started.get_future();
        thread_ = std::thread([this, &started] { run(started); });
        error = result.get();
        if (error.empty()) return true;
        thread_.join();
        return false;
    }

    Geometry geometry() const override {
        std::lock_guard lock(mutex_);
        return geometry_;
    }

    // The window thread is never joined: WebKit's run loop cannot end on
    // the thread it started on (it waits for its own workers as the thread
    // exits), so the thread stays parked once its window is gone and ends
    // with the process.
    void close() override {
        if (!thread_.joinable()) return;
        if (std::this_thread::get_id() == thread_.get_id()) return;
        g_main_context_invoke(
            nullptr,
            [](gpointer self) -> gboolean {
                static_cast<WebKitWindow*>(self)->destroy();
                return G_SOURCE_REMOVE;
            },
            this);
        main_loop_ended_.get_future().wait();
        thread_.detach();
    }

private:
    void run(std::promise<std::string>& started) {
        if (!gtk_init_check(nullptr, nullptr)) {
            started.set_value("cannot open the display");
            return;
        }
        build();
        started.set_value("");
        gtk_main();
        main_loop_ended_.set_value();
        for (;;) pause();
    }

    void build() {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window_), options_.title.c_str());
        if (GdkPixbuf* icon = pixbuf_from_png(options_.icon_png)) {
            gtk_window_set_icon(GTK_WINDOW(window_), icon);
            gtk_window_set_default_icon(icon);
            g_object_unref(icon);
        }
        place();

        // An ephemeral context: the token's cookie and the pages' caches stay
        // in memory and end with the program.
        WebKitWebContext* context = webkit_web_context_new_ephemeral();
        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
        g_object_unref(context);
        WebKitSettings* settings = webkit_web_view_get_settings(view_);
        webkit_settings_set_enable_developer_extras(settings, FALSE);
        webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));

        g_signal_connect(window_, "delete-event", G_CALLBACK(on_delete), this);
        g_signal_connect(window_, "configure-event", G_CALLBACK(on_configure), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(on_load_changed), this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(on_load_failed), this);
        g_signal_connect(view_, "decide-policy", G_CALLBACK(on_decide_policy), this);
        g_signal_connect(view_, "create", G_CALLBACK(on_create), this);

        webkit_web_view_load_uri(view_, options_.url.c_str());
        gtk_widget_show_all(window_);
    }

    // Size and position of the last session, within the minimum size and on
    // a monitor that is still there.
    void place() {
        GdkGeometry hints{};
        hints.min_width = options_.min_width;
        hints.min_height = options_.min_height;
        gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &hints, GDK_HINT_MIN_SIZE);
        Geometry g = options_.geometry;
        if (g.width <= 0 || g.height <= 0) {
            g.width = options_.default_width;
            g.height = options_.default_height;
            g.has_position = false;
        }
        g.width = std::max(g.width, options_.min_width);
        g.height = std::max(g.height, options_.min_height);
        gtk_window_set_default_size(GTK_WINDOW(window_), g.width, g.height);
        if (g.has_position && position_visible(g)) {
            gtk_window_move(GTK_WINDOW(window_), g.x, g.y);
        } else {
            gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
            g.has_position = false;
        }
        std::lock_guard lock(mutex_);
        geometry_ = g;
    }

    void remember_geometry() {
        Geometry g;
        gtk_window_get_size(GTK_WINDOW(window_), &g.width, &g.height);
        gtk_window_get_position(GTK_WINDOW(window_), &g.x, &g.y);
        // Wayland gives windows no position of their own.
#ifdef GDK_WINDOWING_WAYLAND
        g.has_position = !GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default());
#else
        g.has_position = true;
#endif
        std::lock_guard lock(mutex_);
        geometry_ = g;
    }

    void destroy() {
        if (window_ != nullptr) {
            remember_geometry();
            gtk_widget_destroy(window_);
            window_ = nullptr;
        }
        gtk_main_quit();
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
        auto* self = static_cast<WebKitWindow*>(data);
        self->remember_geometry();
        if (self->options_.on_close_request) self->options_.on_close_request();
        return TRUE;  // the program closes the window when it has ended
    }

    static gboolean on_configure(GtkWidget*, GdkEvent*, gpointer data) {
        auto* self = static_cast<WebKitWindow*>(data);
        const GdkWindowState state = gdk_window_get_state(gtk_widget_get_window(self->window_));
        // A maximised or full-screen size is not the size to come back to.
        if ((state & (GDK_WINDOW_STATE_MAXIMIZED | GDK_WINDOW_STATE_FULLSCREEN)) == 0)
            self->remember_geometry();
        return FALSE;
    }

    static void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        auto* self = static_cast<WebKitWindow*>(data);
        if (event != WEBKIT_LOAD_FINISHED || self->load_reported_) return;
        self->load_reported_ = true;
        if (self->options_.on_loaded) self->options_.on_loaded(true, "");
    }

    static gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                   gpointer data) {
        auto* self = static_cast<WebKitWindow*>(data);
        if (!self->load_reported_ && self->options_.on_loaded) {
            self->load_reported_ = true;
            self->options_.on_loaded(false, std::string(uri) + ": " + error->message);
        }
        return FALSE;
    }

    // Addresses of other sites (the project's web site) open in the
    // system's browser; the window shows only the program's own pages.
    static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, gpointer data) {
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
            type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            return FALSE;
        }
        auto* self = static_cast<WebKitWindow*>(data);
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const std::string origin = origin_of(self->options_.url);
        if (uri == nullptr || same_origin(uri, origin) || g_str_has_prefix(uri, "about:"))
            return FALSE;
        webkit_policy_decision_ignore(decision);
        if (g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://")) {
            gtk_show_uri_on_window(GTK_WINDOW(self->window_), uri, GDK_CURRENT_TIME, nullptr);
        }
        return TRUE;
    }

    // A page of the program's own opened in a new window (an output shown
    // on its own): a second window that shares the first one's session.
    static GtkWidget* on_create(WebKitWebView* view, WebKitNavigationAction*, gpointer data) {
        auto* self = static_cast<WebKitWindow*>(data);
        GtkWidget* popup = webkit_web_view_new_with_related_view(view);
        GtkWidget* frame = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(frame), self->options_.title.c_str());
        gtk_window_set_default_size(GTK_WINDOW(frame), 800, 600);
        gtk_container_add(GTK_CONTAINER(frame), popup);
        g_signal_connect_swapped(popup, "ready-to-show", G_CALLBACK(gtk_widget_show_all), frame);
        g_signal_connect_swapped(popup, "close", G_CALLBACK(gtk_widget_destroy), frame);
        return popup;
    }

    const WindowOptions options_;
    std::thread thread_;
    std::promise<void> main_loop_ended_;
    mutable std::mutex mutex_;
    Geometry geometry_;
    // Used on the window thread only.
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    bool load_reported_ = false;
};

}  // namespace

const char* backend_name() { return "webkitgtk"; }

bool available() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

std::unique_ptr<Window> open_window(WindowOptions options, std::string& error) {
    // GTK can be started once per process.
    static std::atomic<bool> opened{false};
    if (opened.exchange(true)) {
        error = "the window is already open";
        return nullptr;
    }
    auto window = std::make_unique<WebKitWindow>(std::move(options));
    if (!window->start(error)) return nullptr;
    return window;
}

}  // namespace platform::window
