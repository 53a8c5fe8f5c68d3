// Constructors of the wave-output backends, called only by waveout::open.
#pragma once

#include <memory>
#include <string>

#include "waveout.h"

namespace waveout {

// Real sound through PortAudio's default output device.
std::unique_ptr<Device> open_portaudio(const Format& format, DoneCallback on_done,
                                       std::string* error);

// Appends the PCM of every written buffer to `path` and completes buffers on a
// clock running `speed` times real time (0: at once).
std::unique_ptr<Device> open_capture(const Format& format, DoneCallback on_done,
                                     const std::string& path, double speed, std::string* error);

}  // namespace waveout
