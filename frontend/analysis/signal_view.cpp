// The streaming pass behind the signal panel: waveform columns, spectrogram
// columns and pitch frames from one forward read of the stretch asked for.
#include "signal_view.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sample_window.h"

namespace analysis {

namespace {

constexpr double kPi = 3.14159265358979323846;
// A long column averages at most this many spectrogram frames; beyond it the
// frames are spread evenly over the column (a whole-file view of a long file).
constexpr int kMaxFramesPerColumn = 24;
// How many frames pass between two looks at the cancel check.
constexpr int kFramesPerCancelCheck = 256;

// Where the view lies in samples, and how its frames are laid out.
struct Layout {
    std::int64_t start = 0;  // first sample of column 0
    double column_samples = 1.0;
    int frames_per_column = 1;
    std::size_t spectrum_window = 1;
    std::int64_t pitch_count = 0;
    double pitch_step_samples = 1.0;
    double pitch_first_centre = 0.0;  // in samples
};

// Columns of averaged power spectra, reduced to rows of levels in bytes.
class SpectrogramColumns {
public:
    SpectrogramColumns(std::size_t window_samples, int rows)
        : m_window(window_samples),
          m_rows(rows),
          m_fft(NextPowerOfTwo(std::max<std::size_t>(window_samples, 2 * rows))) {
        double sum = 0.0;
        for (std::size_t i = 0; i < window_samples; ++i) {
            m_window[i] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * (i + 0.5) / window_samples));
            sum += m_window[i];
        }
        // A full-scale sine peaks at (sum / 2)^2 in the power spectrum: 0 dB.
        m_full_scale = (sum / 2.0) * (sum / 2.0);
        m_sum.assign(m_fft.size() / 2 + 1, 0.0);
    }

    // Adds the frame whose window starts at sample `first`.
    void add_frame(const SampleWindow& samples, std::int64_t first) {
        float* input = m_fft.input();
        samples.copy(first, m_window.size(), input);
        for (std::size_t i = 0; i < m_window.size(); ++i) input[i] *= m_window[i];
        std::fill(input + m_window.size(), input + m_fft.size(), 0.0f);
        m_fft.power_spectrum(m_power);
        for (std::size_t k = 0; k < m_power.size(); ++k) m_sum[k] += m_power[k];
        ++m_frames;
    }

    // Writes the rows of the frames added since the last call.
    void finish_column(std::uint8_t* rows_out) {
        const std::size_t bins = m_sum.size() - 1;  // bin `bins` is the Nyquist frequency
        for (int r = 0; r < m_rows; ++r) {
            std::size_t first = static_cast<std::size_t>(r) * bins / m_rows;
            std::size_t last = std::max(first + 1, static_cast<std::size_t>(r + 1) * bins / m_rows);
            double power = 0.0;
            for (std::size_t k = first; k < last; ++k) power += m_sum[k];
            power /= static_cast<double>((last - first) * std::max(m_frames, 1));
            const double db = 10.0 * std::log10(power / m_full_scale + 1e-30);
            const double level = std::round((db - kFloorDb) * 255.0 / -kFloorDb);
            rows_out[r] = static_cast<std::uint8_t>(std::clamp(level, 0.0, 255.0));
        }
        std::fill(m_sum.begin(), m_sum.end(), 0.0);
        m_frames = 0;
    }

private:
    std::vector<float> m_window;
    int m_rows;
    RealFft m_fft;
    double m_full_scale = 1.0;
    std::vector<double> m_sum;
    std::vector<float> m_power;
    int m_frames = 0;
};

// Clamps the request to the stream and fills the view's frame of reference.
bool PlanView(const PcmSource& source, const ViewRequest& request, SignalView& view, Layout& layout,
              std::string& error) {
    const int rate = source.rate_hz();
    const std::int64_t length = source.length_samples();
    if (rate <= 0 || length <= 0) {
        error = "it holds no samples";
        return false;
    }
    view.rate_hz = rate;
    view.duration_s = static_cast<double>(length) / rate;
    view.from_s = std::clamp(request.from_s, 0.0, view.duration_s);
    view.to_s =
        request.to_s > view.from_s ? std::min(request.to_s, view.duration_s) : view.duration_s;
    layout.start = static_cast<std::int64_t>(std::floor(view.from_s * rate));
    std::int64_t end = static_cast<std::int64_t>(std::ceil(view.to_s * rate));
    if (end <= layout.start) end = std::min(length, layout.start + 1);
    if (end <= layout.start) {
        error = "the stretch asked for is past the end";
        return false;
    }
    view.columns = static_cast<int>(std::clamp<std::int64_t>(
        request.columns, 1, std::min<std::int64_t>(kMaxColumns, end - layout.start)));
    view.rows = std::clamp(request.rows, 1, kMaxRows);
    layout.column_samples = static_cast<double>(end - layout.start) / view.columns;
    layout.spectrum_window =
        std::max<std::size_t>(4, static_cast<std::size_t>(std::lround(kSpectrogramWindowS * rate)));
    // Frames half a window apart cover every sample of a column.
    const double hop = layout.spectrum_window / 2.0;
    layout.frames_per_column = std::clamp(
        static_cast<int>(std::lround(layout.column_samples / hop)), 1, kMaxFramesPerColumn);

    view.pitch_step_s = std::max(kPitchStepS, (view.to_s - view.from_s) / view.columns);
    layout.pitch_step_samples = view.pitch_step_s * rate;
    layout.pitch_count = std::max<std::int64_t>(
        1, static_cast<std::int64_t>((view.to_s - view.from_s) / view.pitch_step_s));
    view.pitch_start_s = view.from_s + view.pitch_step_s / 2.0;
    layout.pitch_first_centre = view.pitch_start_s * rate;
    return true;
}

// Waveform columns: the minimum and maximum of every sample of each column.
class WaveformColumns {
public:
    WaveformColumns(SignalView& view, const Layout& layout) : m_view(view), m_layout(layout) {
        m_view.wave_min.assign(m_view.columns, 0.0f);
        m_view.wave_max.assign(m_view.columns, 0.0f);
        m_seen.assign(m_view.columns, false);
    }

    // Takes samples as they are read, `first` being the index of the first.
    void take(std::int64_t first, const float* samples, std::size_t count) {
        std::size_t i =
            first < m_layout.start ? static_cast<std::size_t>(m_layout.start - first) : 0;
        while (i < count) {
            const double offset =
                static_cast<double>(first + static_cast<std::int64_t>(i) - m_layout.start);
            const int column = static_cast<int>(offset / m_layout.column_samples);
            if (column >= m_view.columns) return;
            // The samples up to the column's end go to it in one run.
            const auto column_end =
                m_layout.start +
                static_cast<std::int64_t>(std::ceil((column + 1) * m_layout.column_samples));
            const std::size_t run_end = std::min<std::size_t>(
                count, static_cast<std::size_t>(std::max<std::int64_t>(
                           column_end - first, static_cast<std::int64_t>(i) + 1)));
            float low = samples[i];
            float high = samples[i];
            for (std::size_t k = i + 1; k < run_end; ++k) {
                low = std::min(low, samples[k]);
                high = std::max(high, samples[k]);
            }
            merge(column, low, high);
            i = run_end;
        }
    }

    // A column narrower than a sample repeats its left neighbour.
    void finish() {
        for (int c = 1; c < m_view.columns; ++c) {
            if (m_seen[c]) continue;
            m_view.wave_min[c] = m_view.wave_min[c - 1];
            m_view.wave_max[c] = m_view.wave_max[c - 1];
        }
    }

private:
    void merge(int column, float low, float high) {
        if (!m_seen[column]) {
            m_seen[column] = true;
            m_view.wave_min[column] = low;
            m_view.wave_max[column] = high;
            return;
        }
        m_view.wave_min[column] = std::min(m_view.wave_min[column], low);
        m_view.wave_max[column] = std::max(m_view.wave_max[column], high);
    }

    SignalView& m_view;
    const Layout& m_layout;
    std::vector<bool> m_seen;
};

// One forward pass over the stretch. Spectrogram and pitch frames are taken
// in the order their windows end, so the sample window keeps only the
// samples between the earliest pending start and the latest end.
class ViewPass {
public:
    ViewPass(PcmSource& source, SignalView& view, const Layout& layout, PitchAnalyzer& pitch)
        : m_view(view),
          m_layout(layout),
          m_pitch(pitch),
          m_waveform(view, layout),
          m_window(source, layout.start - Margin(layout, pitch),
                   [this](std::int64_t first, const float* samples, std::size_t count) {
                       m_waveform.take(first, samples, count);
                   }),
          m_spectrogram(layout.spectrum_window, view.rows),
          m_spectrum_count(static_cast<std::int64_t>(view.columns) * layout.frames_per_column),
          m_pitch_samples(pitch.window_samples()) {
        m_view.spectrogram.assign(static_cast<std::size_t>(view.columns) * view.rows, 0);
        m_pitch_frames.reserve(static_cast<std::size_t>(layout.pitch_count));
    }

    // False when the source could not be positioned or the pass was cancelled.
    bool run(const CancelCheck& cancelled, std::string& error) {
        if (!m_window.ok()) {
            error = "cannot read from that time on";
            return false;
        }
        int since_check = 0;
        while (m_next_spectrum < m_spectrum_count || m_next_pitch < m_layout.pitch_count) {
            if (cancelled && ++since_check >= kFramesPerCancelCheck) {
                since_check = 0;
                if (cancelled()) return false;
            }
            take_next_frame();
        }
        // The waveform needs every sample up to the end of the last column.
        const std::int64_t end =
            m_layout.start +
            static_cast<std::int64_t>(std::ceil(m_view.columns * m_layout.column_samples));
        m_window.fill_to(end, end);
        m_waveform.finish();
        float global_peak = 0.0f;
        for (const PitchFrame& frame : m_pitch_frames)
            global_peak = std::max(global_peak, frame.peak);
        m_view.pitch_hz = FindPitchPath(m_pitch_frames, global_peak, m_view.pitch_step_s);
        return true;
    }

private:
    static std::int64_t Margin(const Layout& layout, const PitchAnalyzer& pitch) {
        return static_cast<std::int64_t>(std::max(pitch.window_samples(), layout.spectrum_window));
    }

    std::int64_t spectrum_start(std::int64_t frame) const {
        const double column = static_cast<double>(frame / m_layout.frames_per_column);
        const double within =
            (frame % m_layout.frames_per_column + 0.5) / m_layout.frames_per_column;
        const auto centre =
            m_layout.start +
            static_cast<std::int64_t>(std::floor((column + within) * m_layout.column_samples));
        return centre - static_cast<std::int64_t>(m_layout.spectrum_window / 2);
    }

    std::int64_t pitch_start(std::int64_t frame) const {
        const auto centre = static_cast<std::int64_t>(
            std::floor(m_layout.pitch_first_centre + frame * m_layout.pitch_step_samples));
        return centre - static_cast<std::int64_t>(m_pitch_samples.size() / 2);
    }

    void take_next_frame() {
        constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
        const std::int64_t spectrum =
            m_next_spectrum < m_spectrum_count ? spectrum_start(m_next_spectrum) : kNone;
        const std::int64_t pitch =
            m_next_pitch < m_layout.pitch_count ? pitch_start(m_next_pitch) : kNone;
        const auto spectrum_end =
            spectrum == kNone ? kNone
                              : spectrum + static_cast<std::int64_t>(m_layout.spectrum_window);
        const auto pitch_end =
            pitch == kNone ? kNone : pitch + static_cast<std::int64_t>(m_pitch_samples.size());
        const std::int64_t keep_from = std::min(spectrum, pitch);
        if (spectrum_end <= pitch_end) {
            m_window.fill_to(spectrum_end, keep_from);
            m_spectrogram.add_frame(m_window, spectrum);
            const std::int64_t column = m_next_spectrum / m_layout.frames_per_column;
            if (++m_next_spectrum % m_layout.frames_per_column == 0) {
                m_spectrogram.finish_column(m_view.spectrogram.data() + column * m_view.rows);
            }
        } else {
            m_window.fill_to(pitch_end, keep_from);
            m_window.copy(pitch, m_pitch_samples.size(), m_pitch_samples.data());
            m_pitch_frames.push_back(m_pitch.analyse(m_pitch_samples.data()));
            ++m_next_pitch;
        }
    }

    SignalView& m_view;
    const Layout& m_layout;
    PitchAnalyzer& m_pitch;
    WaveformColumns m_waveform;
    SampleWindow m_window;
    SpectrogramColumns m_spectrogram;
    std::int64_t m_spectrum_count;
    std::int64_t m_next_spectrum = 0;
    std::int64_t m_next_pitch = 0;
    std::vector<float> m_pitch_samples;
    std::vector<PitchFrame> m_pitch_frames;
};

}  // namespace

bool ComputeSignalView(PcmSource& source, const ViewRequest& request, SignalView& view,
                       std::string& error, const CancelCheck& cancelled) {
    view = SignalView{};
    Layout layout;
    if (!PlanView(source, request, view, layout, error)) return false;
    PitchAnalyzer pitch(source.rate_hz());
    ViewPass pass(source, view, layout, pitch);
    return pass.run(cancelled, error);
}

}  // namespace analysis
