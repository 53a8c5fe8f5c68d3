// The backend of a build without a window toolkit: no window can be opened,
// so the program shows itself in the user's browser instead.
#include "window.h"

namespace platform::window {

const char* backend_name() { return "none"; }

bool available() { return false; }

std::unique_ptr<Window> open_window(WindowOptions, std::string& error) {
    error = "this build has no window layer";
    return nullptr;
}

}  // namespace platform::window
