// Stage commands that crash, hang until stopped, flood their output or close
// their input at once: the front end stays responsive, shows the failure and
// keeps every earlier result.
#include <dirent.h>

#include "program_fixture.h"

namespace faults {
namespace {

// A page fetched beside a misbehaving command must come within this time.
constexpr long long kPromptMs = 3000;

// Processes whose command line is `faults_stage MODE`, by their full argument list.
int CountStageProcesses(const std::string& mode) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::string cmdline = ReadFile(fs::path("/proc") / entry->d_name / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find("faults_stage " + mode) != std::string::npos) ++count;
    }
    closedir(proc);
    return count;
}

constexpr unsigned long long kFloodBytes = 1ULL << 30;

class faults_stage_commands : public Program {
protected:
    std::map<std::string, std::string> Configurations() override {
        return {
            {"1Crash.txt",
             "faults_stage print first-output $TEXT\nfaults_stage crash $TEXT\n"
             "faults_stage print never $TEXT\n"},
            {"1Hang.txt", "faults_stage print before-hang $TEXT\nfaults_stage hang $TEXT\n"},
            {"1Flood.txt", "faults_stage flood " + std::to_string(kFloodBytes) +
                               " $TEXT\nfaults_stage count $TEXT\n"},
            // Far more than a pipe holds, so the feeder is still writing when the
            // command closes its end.
            {"1Closein.txt",
             "faults_stage flood 600000 $TEXT\nfaults_stage closein $TEXT\n"
             "faults_stage print after $TEXT\n"},
            {"2None.txt", "; no command\n"},
            {"3None.txt", "; no command\n"},
        };
    }
};

TEST_F(faults_stage_commands, CrashedCommandIsReportedAndEarlierOutputKept) {
    // A result of an older run at the position the failed run never reaches.
    std::ofstream(Output(0, 2)) << "older run";
    auto run = PostRun("Crash");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 204);

    EXPECT_EQ(ReadFile(Output(0, 0)), "first-output\n");
    const std::string report = ReadFile(Output(0, 1));
    EXPECT_NE(report.find("before the crash"), std::string::npos) << report;
    EXPECT_NE(report.find("killed by signal 9"), std::string::npos) << report;
    EXPECT_EQ(ReadFile(Output(0, 2)), "older run");
    // The results page marks where the run stopped.
    EXPECT_NE(ReadFile(fs::path(app_dir_) / "html/system.htm").find("error.gif"),
              std::string::npos);

    // No shell was connected: the message went to standard error and waits for
    // the next shell as a notice.
    const std::string message = "Command 'faults_stage crash' fails";
    EXPECT_NE(ReadFile(stderr_path_).find(message), std::string::npos);
    EventReader events(port_, token_);
    EXPECT_TRUE(events.WaitFor("\"text\":\"" + message + "\"", 5000));

    const long long fetch_ms = TimedPageFetch();
    EXPECT_GE(fetch_ms, 0);
    EXPECT_LT(fetch_ms, kPromptMs);
    EXPECT_TRUE(Alive());
}

TEST_F(faults_stage_commands, HangingCommandStaysResponsiveUntilStopped) {
    EventReader events(port_, token_);
    ASSERT_TRUE(events.WaitFor("event: hello", 5000));
    std::atomic<int> run_status{-1};
    std::jthread runner([&] {
        auto run = PostRun("Hang");
        run_status = run ? run->status : -static_cast<int>(run.error());
    });
    ASSERT_TRUE(events.WaitFor(": faults_stage hang\"", 10000));

    // Pages are served while the UI thread waits for the command.
    long long slowest_ms = 0;
    for (int i = 0; i < 10; ++i) {
        const long long ms = TimedPageFetch(i % 2 ? "/html/input.htm" : "/help/index.html");
        ASSERT_GE(ms, 0) << "fetch " << i << " failed";
        slowest_ms = std::max(slowest_ms, ms);
    }
    EXPECT_LT(slowest_ms, kPromptMs);
    EXPECT_EQ(run_status.load(), -1) << "the run ended although the command hangs";

    // Stop only once the command has printed what it prints before hanging.
    const fs::path ready = fs::path(app_dir_) / "hang.ready";
    for (int i = 0; i < 500 && !fs::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(ready)) << "the hanging command never got going";

    auto c = Client();
    const auto stop_sent = Clock::now();
    auto stop = c.Post("/~shell/stop", "", "application/json");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->status, 204);

    // The failure is a message box in the shell; the run ends once it is answered.
    std::string seen;
    ASSERT_TRUE(events.WaitFor("Command 'faults_stage hang' fails", 5000, &seen)) << seen;
    EXPECT_LT(Millis(stop_sent), 3000);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(seen, match, std::regex(R"(event: modal\ndata: \{[^\n]*"id":(\d+))")));
    auto reply = c.Post("/~shell/reply", "{\"id\": " + match[1].str() + ", \"ok\": true}",
                        "application/json");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 204);
    runner.join();
    EXPECT_EQ(run_status.load(), 204);

    EXPECT_EQ(ReadFile(Output(0, 0)), "before-hang\n");
    const std::string report = ReadFile(Output(0, 1));
    EXPECT_NE(report.find("hanging"), std::string::npos) << report;
    EXPECT_NE(report.find("stopped by the user"), std::string::npos) << report;
    EXPECT_EQ(CountStageProcesses("hang"), 0);
    // The next run is not stopped by the old request.
    auto again = PostRun("Closein", "next");
    ASSERT_TRUE(again);
    EXPECT_EQ(ReadFile(Output(0, 2)), "after\n");
}

TEST_F(faults_stage_commands, FloodOfOutputIsKeptWholeWhilePagesAreServed) {
    std::atomic<int> run_status{-1};
    const auto start = Clock::now();
    std::jthread runner([&] {
        auto run = PostRun("Flood", "x", 100);
        run_status = run ? run->status : -static_cast<int>(run.error());
    });
    long long slowest_ms = 0;
    int fetches = 0;
    while (run_status.load() == -1 && Millis(start) < 90000) {
        const long long ms = TimedPageFetch();
        ASSERT_GE(ms, 0);
        slowest_ms = std::max(slowest_ms, ms);
        ++fetches;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    runner.join();
    const long long run_ms = Millis(start);
    RecordProperty("flood_run_ms", static_cast<int>(run_ms));
    EXPECT_EQ(run_status.load(), 204);
    EXPECT_GT(fetches, 0);
    EXPECT_LT(slowest_ms, kPromptMs);

    // The whole flood reached the file and the next command.
    std::error_code error;
    EXPECT_EQ(fs::file_size(Output(0, 0), error), kFloodBytes);
    EXPECT_EQ(ReadFile(Output(0, 1)), std::to_string(kFloodBytes) + "\n");
    EXPECT_EQ(ReadFile(stderr_path_).find("fails"), std::string::npos);
    fs::remove(Output(0, 0), error);
}

TEST_F(faults_stage_commands, CommandThatClosesItsInputAtOnceSucceeds) {
    auto run = PostRun("Closein");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 204);
    EXPECT_EQ(ReadFile(Output(0, 0)).size(), 600000u);
    EXPECT_EQ(ReadFile(Output(0, 1)), "closed\n");
    EXPECT_EQ(ReadFile(Output(0, 2)), "after\n");
    EXPECT_EQ(ReadFile(stderr_path_).find("fails"), std::string::npos) << ReadFile(stderr_path_);
    EXPECT_TRUE(Alive());
}

}  // namespace
}  // namespace faults
