// Measures the stage runner's process layer: a chain of commands against a shell pipeline, and bulk
// throughput.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stage_command.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kChainLength = 30;
constexpr const char* kVersion = "runner_bench 2.0.0";

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long peak_rss_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Text of a few kilobytes, like the data a stage passes on.
std::string sample_text() {
    std::string text;
    for (int line = 0; line < 64; ++line)
        text += "the quick brown fox jumps over the lazy dog " + std::to_string(line) + "\n";
    return text;
}

bool run_chain(const std::string& input, const core::SpawnOptions& options, double& seconds) {
    auto start = clock_type::now();
    std::string data = input;
    for (int i = 0; i < kChainLength; ++i) {
        std::string output;
        if (core::spawn_command("cat", data, output, options) != 0) {
            std::fprintf(stderr, "runner_bench: chain command %d failed: %s\n", i, output.c_str());
            return false;
        }
        data = std::move(output);
    }
    seconds = seconds_since(start);
    if (data != input) {
        std::fprintf(stderr, "runner_bench: the chain changed the data\n");
        return false;
    }
    return true;
}

bool run_pipeline(const std::string& input, const core::SpawnOptions& options, double& seconds) {
    std::string pipeline;
    for (int i = 0; i < kChainLength; ++i) pipeline += i == 0 ? "cat" : " | cat";
    auto start = clock_type::now();
    std::string output;
    int status = core::spawn_command("/bin/sh -c \"" + pipeline + "\"", input, output, options);
    seconds = seconds_since(start);
    if (status != 0 || output != input) {
        std::fprintf(stderr, "runner_bench: the shell pipeline failed (status %d)\n", status);
        return false;
    }
    return true;
}

int bench_chain(int repetitions) {
    core::SpawnOptions options;
    const std::string input = sample_text();
    std::vector<double> chain_s, pipeline_s;
    for (int rep = 0; rep < repetitions; ++rep) {
        double chain = 0, pipeline = 0;
        if (!run_chain(input, options, chain) || !run_pipeline(input, options, pipeline)) return 1;
        chain_s.push_back(chain);
        pipeline_s.push_back(pipeline);
    }
    double chain = median(chain_s), pipeline = median(pipeline_s);
    std::printf("chain of %d commands (%zu bytes, median of %d):\n", kChainLength, input.size(),
                repetitions);
    std::printf("  one spawn_command after another: %8.2f ms\n", chain * 1e3);
    std::printf("  one shell pipeline:              %8.2f ms\n", pipeline * 1e3);
    std::printf("  ratio: %.2f (target at most 2)\n", chain / pipeline);
    return 0;
}

int bench_throughput(std::size_t megabytes) {
    core::SpawnOptions options;
    const std::size_t bytes = megabytes * 1000 * 1000;
    long baseline_kib = peak_rss_kib();
    std::string input(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i) input[i] = static_cast<char>('a' + i % 26);
    std::string output;
    auto start = clock_type::now();
    int status = core::spawn_command("cat", input, output, options);
    double seconds = seconds_since(start);
    if (status != 0 || output != input) {
        std::fprintf(stderr, "runner_bench: cat failed or changed the data (status %d)\n", status);
        return 1;
    }
    long peak_kib = peak_rss_kib();
    double peak_mb = peak_kib * 1024.0 / 1e6;
    std::printf("%zu MB through cat:\n", megabytes);
    std::printf("  %.0f MB/s (target at least 200), %.2f s\n", megabytes / seconds, seconds);
    std::printf(
        "  peak resident memory %.0f MB (%.0f MB before the data) = %.2f times the data (target "
        "under 3)\n",
        peak_mb, baseline_kib * 1024.0 / 1e6, peak_mb / static_cast<double>(megabytes));
    return 0;
}

void print_help() {
    std::printf(
        "Usage: runner_bench [--repetitions N] [--megabytes N]\n"
        "Times a chain of %d commands through spawn_command against one shell pipeline of\n"
        "the same commands, then the throughput and peak memory of N megabytes through cat.\n"
        "Prints figures only; the targets are a ratio of at most 2, at least 200 MB/s and a\n"
        "peak memory under 3 times the data.\n"
        "\n"
        "  --repetitions N  runs of each chain, the median is reported (default 10)\n"
        "  --megabytes N    size of the throughput data (default 200)\n"
        "  --help           show this help and exit\n"
        "  --version        show the version and exit\n",
        kChainLength);
}

}  // namespace

int main(int argc, char** argv) {
    int repetitions = 10;
    std::size_t megabytes = 200;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            print_help();
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s\n", kVersion);
            return 0;
        }
        if ((arg == "--repetitions" || arg == "--megabytes") && i + 1 < argc) {
            char* end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 1 || value > 100000) {
                std::fprintf(stderr, "runner_bench: bad value '%s' for %s\n", argv[i], arg.c_str());
                return 2;
            }
            if (arg == "--repetitions")
                repetitions = static_cast<int>(value);
            else
                megabytes = static_cast<std::size_t>(value);
            continue;
        }
        std::fprintf(stderr, "runner_bench: unknown argument '%s' (try --help)\n", arg.c_str());
        return 2;
    }
    if (int status = bench_chain(repetitions); status != 0) return status;
    return bench_throughput(megabytes);
}
