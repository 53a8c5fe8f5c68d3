// The progress line of a corpus run.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace headless {

Progress::Progress(int total, bool quiet)
    : m_total(total),
      m_quiet(quiet),
      m_terminal(::isatty(STDERR_FILENO) != 0),
      m_start(std::chrono::steady_clock::now()) {}

void Progress::ItemDone(int number, bool completed) {
    ++m_done;
    if (!completed) ++m_failed;
    if (m_quiet) return;
    if (m_terminal) {
        DrawLine();
    } else {
        std::fprintf(stderr, "taloria2: item %05d %s (%d/%d)\n", number,
                     completed ? "completed" : "failed", m_done, m_total);
    }
}

void Progress::Message(const std::string& text) {
    if (m_terminal && !m_quiet) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "taloria2: %s\n", text.c_str());
    if (m_terminal && !m_quiet && m_done > 0) DrawLine();
}

void Progress::Finish() {
    if (m_terminal && !m_quiet && m_done > 0) std::fputc('\n', stderr);
}

void Progress::DrawLine() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const double rate = seconds > 0 ? m_done / seconds : 0;
    const int left = rate > 0 ? static_cast<int>((m_total - m_done) / rate + 0.5) : 0;
    std::fprintf(stderr, "\r\033[K%d/%d done, %d failed, %.1f/s, %d:%02d left", m_done, m_total,
                 m_failed, rate, left / 60, left % 60);
    std::fflush(stderr);
}

}  // namespace headless
