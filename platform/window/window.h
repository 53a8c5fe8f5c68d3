// A native top-level window whose whole content is a web view showing one
// address. The program keeps its own message loop: the window runs on a
// thread of its own, and every call here is safe from any thread.
//
// The address is handed over in memory only, so a token in it never appears
// in a process's arguments or environment.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform::window {

// Size and position of the window in screen pixels. A position is only
// known where the display reports one (X11; not Wayland).
struct Geometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool has_position = false;
};

struct WindowOptions {
    std::string title;
    std::string url;
    std::string_view icon_png;  // PNG bytes of the window icon; empty for none
    Geometry geometry;          // of the last session; width 0 takes the default size
    int default_width = 1100;
    int default_height = 760;
    int min_width = 640;
    int min_height = 440;
    // The user asked to close the window (its close button, Alt+F4, the
    // window manager). Called on the window thread; the window stays until
    // close() is called, so the program can end in its own order.
    std::function<void()> on_close_request;
    // The page finished loading (or failed: `ok` false with the reason).
    std::function<void(bool ok, const std::string& detail)> on_loaded;
};

class Window {
public:
    virtual ~Window() = default;
    // The window's current size and position (the last known, after close).
    virtual Geometry geometry() const = 0;
    // Destroys the window and ends its thread; later calls do nothing.
    virtual void close() = 0;
};

// The name of the backend this program was built with ("webkitgtk", "none").
const char* backend_name();

// True when a window can be opened here: a backend was built and a display
// is present ($DISPLAY or $WAYLAND_DISPLAY).
bool available();

// Opens the window and starts loading `options.url`. Returns null with the
// reason in `error` when no window can be opened.
std::unique_ptr<Window> open_window(WindowOptions options, std::string& error);

}  // namespace platform::window
