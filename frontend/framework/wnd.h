// A window as the player and the main frame see it: something that receives
// messages. PostMessage queues the message on the UI loop as a device
// notification, so it is delivered even during modal waits, in posting order.
#pragma once

#include "message_loop.h"

namespace framework {

// Message number of the replay device's buffer-done notice.
constexpr unsigned MM_WOM_DONE = 0x3BD;

class CWnd {
public:
    virtual ~CWnd() = default;

    // Handles one message on the loop thread; returns the handler's result.
    virtual long WindowProc(unsigned message) = 0;

    // Safe from any thread. The window must outlive the queued messages.
    void PostMessage(unsigned message) {
        ui_loop().post([this, message] { WindowProc(message); }, TaskKind::Device);
    }
};

}  // namespace framework
