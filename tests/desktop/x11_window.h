// What a window manager does to a top-level window, for tests on a virtual
// display: find it by title, read its geometry, ask it to close.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <string>

namespace test_x11 {

struct FoundWindow {
    Window id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class XConnection {
public:
    explicit XConnection(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~XConnection() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    bool open() const { return display_ != nullptr; }

    // The mapped top-level window titled `title`, with its place on the screen.
    bool Find(const std::string& title, FoundWindow& found) {
        ::Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return false;
        bool ok = false;
        for (unsigned i = 0; i < count && !ok; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(display_, children[i], &attributes) ||
                attributes.map_state != IsViewable || Title(children[i]) != title) {
                continue;
            }
            ::Window child = 0;
            found.id = children[i];
            XTranslateCoordinates(display_, children[i], root, 0, 0, &found.x, &found.y, &child);
            found.width = attributes.width;
            found.height = attributes.height;
            ok = true;
        }
        if (children != nullptr) XFree(children);
        return ok;
    }

    // Sends WM_DELETE_WINDOW, as a window manager's close button does.
    void AskToClose(::Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
        XFlush(display_);
    }

private:
    std::string Title(::Window window) {
        XTextProperty property{};
        if (!XGetWMName(display_, window, &property) || property.value == nullptr) return "";
        std::string title(reinterpret_cast<const char*>(property.value), property.nitems);
        XFree(property.value);
        return title;
    }

    ::Display* display_;
};

}  // namespace test_x11
