// analysis_bench: the signal panel's whole-file view of a 60-second and a
// 10-minute 16 kHz WAVE file (time on one core and peak memory), beside
// `sox FILE -n spectrogram` on the same files in the same run.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pcm_source.h"
#include "signal_view.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRateHz = 16000;
constexpr int kColumns = 1600;  // a wide panel
constexpr int kRows = 256;

void PutLe(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Speech-like sound, written block by block: voiced stretches (a pulse train
// with a moving pitch through two moving resonances), hiss and pauses.
void WriteSpeechLikeWave(const fs::path& path, double seconds) {
    const auto count = static_cast<std::uint32_t>(seconds * kRateHz);
    std::ofstream out(path, std::ios::binary);
    out << "RIFF";
    PutLe(out, 36 + count * 2, 4);
    out << "WAVEfmt ";
    for (auto [value, bytes] : std::vector<std::pair<std::uint32_t, int>>{
             {16, 4}, {1, 2}, {1, 2}, {kRateHz, 4}, {kRateHz * 2, 4}, {2, 2}, {16, 2}}) {
        PutLe(out, value, bytes);
    }
    out << "data";
    PutLe(out, count * 2, 4);
    double phase = 0.0, y1 = 0.0, y2 = 0.0, z1 = 0.0, z2 = 0.0;
    std::uint32_t noise = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / kRateHz;
        const double cycle = std::fmod(t, 1.0);
        const double f0 = 110.0 + 40.0 * std::sin(2.0 * M_PI * 0.7 * t);
        phase += f0 / kRateHz;
        double excitation = 0.0;
        if (cycle < 0.6) {
            if (phase >= 1.0) excitation = 1.0;
        } else if (cycle < 0.8) {
            noise = noise * 1103515245u + 12345u;
            excitation = (static_cast<double>((noise >> 16) & 0x7FFF) / 16384.0 - 1.0) * 0.1;
        }
        if (phase >= 1.0) phase -= 1.0;
        // Two resonators: F1 and F2 glide with the syllable.
        auto resonate = [](double x, double freq, double& a, double& b) {
            const double r = 0.97, c = 2.0 * r * std::cos(2.0 * M_PI * freq / kRateHz);
            const double y = x + c * a - r * r * b;
            b = a;
            a = y;
            return y;
        };
        const double v1 = resonate(excitation, 500.0 + 300.0 * cycle, y1, y2);
        const double v2 = resonate(excitation, 1500.0 + 600.0 * cycle, z1, z2);
        const double sample = std::clamp(0.05 * (v1 + 0.5 * v2), -1.0, 1.0);
        PutLe(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(sample * 32000)), 2);
    }
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Figures {
    double seconds = 0.0;
    double peak_mb = 0.0;
    bool ok = false;
};

// Runs `work` in a child pinned to one core; its wall time and peak memory.
template <class Work>
Figures InChild(Work work) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        sched_setaffinity(0, sizeof one, &one);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Figures figures;
    figures.seconds = Seconds(start);
    figures.peak_mb = usage.ru_maxrss / 1024.0;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

Figures TimeAnalysis(const fs::path& wave) {
    return InChild([&] {
        std::string error;
        auto source = analysis::OpenAudioFile(wave.string(), error);
        analysis::SignalView view;
        if (!source ||
            !analysis::ComputeSignalView(*source, {0.0, -1.0, kColumns, kRows}, view, error)) {
            std::fprintf(stderr, "analysis_bench: %s\n", error.c_str());
            return false;
        }
        return true;
    });
}

Figures TimeSox(const fs::path& wave, const fs::path& png) {
    return InChild([&] {
        const std::string command =
            "sox '" + wave.string() + "' -n spectrogram -o '" + png.string() + "'";
        return std::system(command.c_str()) == 0;
    });
}

void Report(const char* label, const fs::path& wave, double goal_s, const fs::path& work) {
    const Figures ours = TimeAnalysis(wave);
    const Figures sox = TimeSox(wave, work / "sox.png");
    std::printf(
        "%s: whole-file view %.0f ms (goal at most %.0f ms), peak memory %.1f MB (goal under 64 "
        "MB)%s\n",
        label, ours.seconds * 1000.0, goal_s * 1000.0, ours.peak_mb, ours.ok ? "" : " FAILED");
    if (sox.ok) {
        std::printf(
            "%s: sox spectrogram %.0f ms, peak memory %.1f MB; analysis/sox time ratio %.2f\n",
            label, sox.seconds * 1000.0, sox.peak_mb, ours.seconds / sox.seconds);
    } else {
        std::printf("%s: sox spectrogram did not run (is sox installed?)\n", label);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 &&
        (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0)) {
        std::puts(std::strcmp(argv[1], "--help") == 0
                      ? "Usage: analysis_bench\nTimes the signal panel's whole-file view of "
                        "generated 60 s and "
                        "10 min 16 kHz WAVE files\non one core, with its peak memory, beside sox's "
                        "spectrogram."
                      : "analysis_bench 1");
        return 0;
    }
    const fs::path work =
        fs::temp_directory_path() / ("taloria-analysis-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    std::printf(
        "whole-file view: %d columns x %d rows, pitch, one core; files of generated speech-like "
        "sound\n",
        kColumns, kRows);
    WriteSpeechLikeWave(work / "one-minute.wav", 60.0);
    Report("60 s", work / "one-minute.wav", 0.3, work);
    WriteSpeechLikeWave(work / "ten-minutes.wav", 600.0);
    Report("10 min", work / "ten-minutes.wav", 2.0, work);
    fs::remove_all(work);
    return 0;
}
