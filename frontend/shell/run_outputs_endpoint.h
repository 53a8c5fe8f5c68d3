// GET /~shell/outputs: the text and audio outputs of the last run, so that
// the signal panel can offer a control-frame output of the run that made the
// audio it shows for its overlay.
// The list is application state: the request waits for the UI loop to read
// it (after a run in progress has ended).
#pragma once

#include "bridge.h"

namespace shell {

// Registers the endpoint; call before the bridge starts.
void InstallRunOutputsEndpoint(Bridge& bridge);

}  // namespace shell
