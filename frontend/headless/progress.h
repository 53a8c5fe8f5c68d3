// Progress of a corpus run on standard error: on a terminal one line that is
// rewritten (items done, failed, items per second, time left); otherwise one
// line per finished item.
#pragma once

#include <chrono>
#include <string>

namespace headless {

class Progress {
public:
    // `total`: the items this run will do; `quiet` silences progress, but not messages.
    Progress(int total, bool quiet);

    // One item has finished.
    void ItemDone(int number, bool completed);
    // A message about an item, printed in any case, above the progress line.
    void Message(const std::string& text);
    // Ends the progress line.
    void Finish();

    int done() const { return m_done; }
    int failed() const { return m_failed; }

private:
    void DrawLine();

    int m_total;
    bool m_quiet;
    bool m_terminal;
    int m_done = 0;
    int m_failed = 0;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace headless
