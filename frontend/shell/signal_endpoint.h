// The signal panel's endpoint, GET /~shell/signal: waveform, spectrogram and
// pitch of an audio file of the app directory for a time range and a
// resolution. Computed on the HTTP worker thread of the request (it touches
// no application state), cached per file state, and abandoned when a newer
// request for the same panel arrives.
#pragma once

#include <cstddef>

#include "bridge.h"

namespace shell {

// Registers the endpoint with `bridge` (before the bridge starts). Views up
// to `cache_bytes` in total are kept.
void InstallSignalEndpoint(Bridge& bridge, std::size_t cache_bytes = 16 * 1024 * 1024);

}  // namespace shell
