// Chooses the wave-output backend from the environment; the one place that
// knows which backends exist.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "backends.h"

namespace waveout {

namespace {

void set_error(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

// Reads TALORIA_WAVEOUT_SPEED: a factor of real time, 1 when unset.
bool read_speed(double* speed, std::string* error) {
    const char* text = std::getenv("TALORIA_WAVEOUT_SPEED");
    *speed = 1.0;
    if (text == nullptr || text[0] == '\0') return true;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0) {
        set_error(error, std::string("TALORIA_WAVEOUT_SPEED must be a number of 0 or more, not '") +
                             text + "'");
        return false;
    }
    *speed = value;
    return true;
}

}  // namespace

bool supported(const Format& format, std::string* error) {
    if (format.bits_per_sample != 8 && format.bits_per_sample != 16) {
        set_error(error,
                  "unsupported sample size of " + std::to_string(format.bits_per_sample) + " bits");
        return false;
    }
    if (format.channels < 1 || format.channels > 8) {
        set_error(error, "unsupported channel count " + std::to_string(format.channels));
        return false;
    }
    if (format.rate_hz < 1000 || format.rate_hz > 384000) {
        set_error(error, "unsupported sample rate of " + std::to_string(format.rate_hz) + " Hz");
        return false;
    }
    return true;
}

std::unique_ptr<Device> open(const Format& format, DoneCallback on_done, std::string* error) {
    if (!supported(format, error)) return nullptr;
    if (!on_done) {
        set_error(error, "no completion callback given");
        return nullptr;
    }

    const char* choice = std::getenv("TALORIA_WAVEOUT");
    const std::string selected = choice != nullptr ? choice : "";
    if (selected.empty() || selected == "portaudio")
        return open_portaudio(format, std::move(on_done), error);
    if (selected == "none") {
        set_error(error, "no wave-output device (TALORIA_WAVEOUT=none)");
        return nullptr;
    }
    const std::string capture_prefix = "capture:";
    if (selected.compare(0, capture_prefix.size(), capture_prefix) == 0) {
        const std::string path = selected.substr(capture_prefix.size());
        if (path.empty()) {
            set_error(error, "TALORIA_WAVEOUT=capture: needs a file name after the colon");
            return nullptr;
        }
        double speed = 1.0;
        if (!read_speed(&speed, error)) return nullptr;
        return open_capture(format, std::move(on_done), path, speed, error);
    }
    set_error(error, "unknown TALORIA_WAVEOUT value '" + selected +
                         "' (use portaudio, capture:/path/file or none)");
    return nullptr;
}

}  // namespace waveout
