// The signal panel's own state in the settings file (section [Signal]:
// Shown, Height, ControlTracks), read by the shell over GET /~shell/panel and
// changed over POST /~shell/panel. The HTTP side keeps a copy, so a shell
// asking during a run is answered at once; changes reach the settings on the
// UI loop.
#pragma once

#include "app.h"
#include "bridge.h"

namespace shell {

// Registers both endpoints and queues the first read of the settings on the
// UI loop: call after the application's start-up has been queued and before
// the bridge starts.
void InstallSignalPanelSettings(Bridge& bridge, framework::CWinApp& app);

}  // namespace shell
