// What the signal panel draws for one stretch of a file: waveform columns
// (minimum and maximum per column), a wideband spectrogram (one column of
// rows per waveform column) and the pitch track. Computed in one streaming
// pass, so memory depends on the number of columns, not on the file length.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pcm_source.h"
#include "pitch.h"

namespace analysis {

struct ViewRequest {
    double from_s = 0.0;
    double to_s = -1.0;  // below or at from_s: the end of the file
    int columns = 800;   // 1 to kMaxColumns
    int rows = 128;      // spectrogram rows from 0 Hz to the Nyquist frequency, 1 to kMaxRows
};

inline constexpr int kMaxColumns = 8192;
inline constexpr int kMaxRows = 1024;
// Spectrogram levels: byte 0 is kFloorDb or less, byte 255 full scale (0 dB).
inline constexpr double kFloorDb = -100.0;
// Analysis window of the wideband spectrogram.
inline constexpr double kSpectrogramWindowS = 0.005;
// Pitch frames are at least this far apart.
inline constexpr double kPitchStepS = 0.01;

struct SignalView {
    int rate_hz = 0;
    double duration_s = 0.0;
    double from_s = 0.0;
    double to_s = 0.0;
    int columns = 0;
    int rows = 0;
    std::vector<float> wave_min;  // per column, in [-1, 1]
    std::vector<float> wave_max;
    std::vector<std::uint8_t> spectrogram;  // columns * rows, column by column, row 0 at 0 Hz
    double pitch_start_s = 0.0;             // time of the first pitch frame's centre
    double pitch_step_s = kPitchStepS;
    std::vector<float> pitch_hz;  // per frame; 0 where unvoiced
};

// Asked now and then during the pass; returning true abandons it.
using CancelCheck = std::function<bool()>;

// Computes the view of `request` over `source`. Returns false when the
// request was cancelled or the source could not be positioned (then `error`
// says why).
bool ComputeSignalView(PcmSource& source, const ViewRequest& request, SignalView& view,
                       std::string& error, const CancelCheck& cancelled = {});

}  // namespace analysis
