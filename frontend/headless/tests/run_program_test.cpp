// taloria2 --run as a whole program: real stage commands, real files, real signals.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<missing>";
}

class headless_program : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-run-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "app/config");
        fs::create_directories(root_ / "home");
        fs::copy(fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata/html", root_ / "app/html",
                 fs::copy_options::recursive);
        Config("1Typed.txt", "$INPUT $TEXT\n");
        // Fails for a line holding "bad"; otherwise writes the text into its own work
        // directory, waits a little and reads it back, so shared directories would mix.
        Config("2Check.txt",
               "sh -c \"grep -v bad > html/mine.txt && sleep 0.05 && cat html/mine.txt\" $TEXT "
               "$TEE(html/copy.txt)\n");
        Config("3None.txt", "; nothing\n");
    }
    void TearDown() override { fs::remove_all(root_); }

    void Config(const std::string& name, const std::string& text) {
        std::ofstream(root_ / "app/config" / name) << text;
    }

    std::vector<std::string> Stages(const std::string& second = "Check") {
        return {"--stage1", "Typed", "--stage2", second, "--stage3", "None"};
    }

    // Starts taloria2 --run with `args`, `input` on its standard input.
    pid_t Start(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"taloria2", "--run", "--appdir", (root_ / "app").string()});
        const fs::path in_file = root_ / "stdin.txt";
        std::ofstream(in_file) << input;
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Relative --input and --out are taken from here, not from the app directory.
            if (chdir(root_.c_str()) != 0) _exit(126);
            setenv("XDG_CONFIG_HOME", (root_ / "home").c_str(), 1);
            freopen(in_file.c_str(), "r", stdin);
            freopen((root_ / "stderr.txt").c_str(), "w", stderr);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv((std::string(TALORIA_BIN_DIR) + "/taloria2").c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }

    int Wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int Run(std::vector<std::string> args, const std::string& input = "") {
        return Wait(Start(std::move(args), input));
    }

    std::vector<std::string> Corpus(const std::string& out, std::vector<std::string> more = {}) {
        std::vector<std::string> args = Stages();
        for (const char* word : {"--input", "-", "--each-line", "--out"}) args.push_back(word);
        args.push_back(out);
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    // The last manifest line of every item.
    std::map<int, json> Manifest(const std::string& out) {
        std::map<int, json> items;
        std::ifstream in(root_ / out / "manifest.jsonl");
        for (std::string line; std::getline(in, line);) {
            const json entry = json::parse(line);  // every line whole
            items[entry["item"].get<int>()] = entry;
        }
        return items;
    }

    std::string Err() { return Slurp(root_ / "stderr.txt"); }

    fs::path root_;
};

TEST_F(headless_program, OneTextRunsInTheAppDirectoryAndReportsFailures) {
    std::vector<std::string> args = Stages();
    args.insert(args.end(), {"--text", "hello"});
    ASSERT_EQ(Run(args), 0) << Err();
    EXPECT_EQ(Slurp(root_ / "app/html/output0-0.txt"), "hello");
    EXPECT_EQ(Slurp(root_ / "app/html/output1-0.txt"), "hello\n");
    EXPECT_EQ(Slurp(root_ / "app/html/copy.txt"), "hello\n");
    EXPECT_THAT(Slurp(root_ / "app/html/system.htm"), HasSubstr("grep -v bad"));
    EXPECT_THAT(Slurp(root_ / "app/html/input.htm"), HasSubstr("<option selected>Check</option>"));
    EXPECT_TRUE(fs::is_empty(root_ / "home"));  // the settings are not touched

    args.back() = "bad";
    EXPECT_EQ(Run(args), 1);
    EXPECT_THAT(Err(), HasSubstr("taloria2: Command 'sh -c \"grep -v bad > html/mine.txt"));
    EXPECT_THAT(Err(), HasSubstr("' fails\n"));

    EXPECT_EQ(Run({"--stage1", "Typed", "--stage2", "Nope", "--stage3", "None", "--text", "x"}), 2);
    EXPECT_THAT(Err(),
                HasSubstr("stage 2 has no configuration 'Nope'; its configurations are: 'Check'"));

    Config("3Ask.txt", "cat $ASK(Control file) $TEXT\n");
    EXPECT_EQ(Run({"--stage1", "Typed", "--stage2", "", "--stage3", "Ask", "--text", "x"}), 1);
    EXPECT_THAT(Err(),
                HasSubstr("configuration 'Ask' of stage 3 asks for a file ($ASK(Control file))"));
    std::ofstream(root_ / "app/ctl.txt") << "from the file\n";
    EXPECT_EQ(Run({"--stage1", "Typed", "--stage2", "", "--stage3", "Ask", "--text", "x", "--ask",
                   "ctl.txt"}),
              0);
    EXPECT_EQ(Slurp(root_ / "app/html/output2-0.txt"), "from the file\n");
}

TEST_F(headless_program, EachLineRecordsEveryItemAndResumesOnlyWhatIsNotComplete) {
    const std::string corpus = "one\n\nbad line\nthree\n";
    ASSERT_EQ(Run(Corpus("out", {"--jobs", "2"}), corpus), 1) << Err();
    std::map<int, json> items = Manifest("out");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1]["status"], "completed");
    EXPECT_EQ(items[1]["text"], "one");
    EXPECT_THAT(items[1]["outputs"], testing::Contains("00001/output0-0.txt"));
    EXPECT_EQ(Slurp(root_ / "out/00001/copy.txt"), "one\n");
    EXPECT_EQ(Slurp(root_ / "out/00004/copy.txt"), "three\n");
    EXPECT_THAT(Slurp(root_ / "out/00004/system.htm"), HasSubstr("grep -v bad"));
    EXPECT_GE(items[4]["wall_seconds"].get<double>(), 0.05);
    const json& failed = items[3];
    EXPECT_EQ(failed["status"], "failed");
    EXPECT_THAT(failed["failed_command"].get<std::string>(), HasSubstr("grep -v bad"));
    EXPECT_THAT(failed["outputs"], testing::Contains("00003/output1-0.txt"));  // the failure report
    EXPECT_FALSE(fs::exists(root_ / "out/.work"));
    EXPECT_THAT(Err(), HasSubstr("item 00003: Command 'sh -c"));

    // Again: only the failed item runs; after mending it, the run completes.
    fs::remove(root_ / "out/00001/copy.txt");
    EXPECT_EQ(Run(Corpus("out", {"--jobs", "2"}), corpus), 1);
    EXPECT_FALSE(fs::exists(root_ / "out/00001/copy.txt"));
    EXPECT_EQ(Run(Corpus("out"), "one\n\nmended\nthree\n"), 0);
    items = Manifest("out");
    EXPECT_EQ(items[3]["status"], "completed");
    EXPECT_EQ(Slurp(root_ / "out/00003/copy.txt"), "mended\n");
    EXPECT_EQ(Slurp(root_ / "out/00003/output1-0.txt"), "mended\n");  // not the old report
    EXPECT_TRUE(items[3]["failed_command"].is_null());
}

TEST_F(headless_program, ShardsTogetherRunEveryItemOnceAndParallelItemsKeepTheirOwnFiles) {
    std::string corpus;
    for (int i = 1; i <= 12; ++i) corpus += "sentence number " + std::to_string(i) + "\n";
    ASSERT_EQ(Run(Corpus("a", {"--shard", "0/2", "--jobs", "3", "--quiet"}), corpus), 0) << Err();
    ASSERT_EQ(Run(Corpus("b", {"--shard", "1/2", "--jobs", "3", "--quiet"}), corpus), 0) << Err();
    EXPECT_EQ(Err(), "");  // --quiet
    std::map<int, json> a = Manifest("a"), b = Manifest("b");
    EXPECT_EQ(a.size() + b.size(), 12u);
    for (int i = 1; i <= 12; ++i) {
        const std::string dir = i % 2 == 0 ? "a" : "b";
        EXPECT_EQ((i % 2 == 0 ? a : b).count(i), 1u) << i;
        char folder[8];
        std::snprintf(folder, sizeof folder, "%05d", i);
        EXPECT_EQ(Slurp(root_ / dir / folder / "copy.txt"),
                  "sentence number " + std::to_string(i) + "\n");
    }
}

TEST_F(headless_program, CtrlCStopsTheCommandsAndWhatTheyStartedAndFinishesTheManifest) {
    const fs::path pids = root_ / "pids";
    fs::create_directories(pids);
    // Items after the first two start a sleep in the background and wait for it.
    Config("2Slow.txt", "sh -c \"read x; case $x in fast) echo ok;; *) sleep 30 & echo $! > " +
                            pids.string() + "/$x; wait;; esac\" $TEXT\n");
    std::vector<std::string> args = Corpus("out", {"--jobs", "2"});
    args[3] = "Slow";
    const pid_t pid = Start(args, "fast\nfast\nslow1\nslow2\nslow3\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::distance(fs::directory_iterator(pids), fs::directory_iterator()) < 2 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the pid files be written
    const auto before = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 130) << Err();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));

    for (const auto& entry : fs::directory_iterator(pids)) {
        const pid_t sleeper = std::stoi(Slurp(entry.path()));
        const std::string stat = Slurp("/proc/" + std::to_string(sleeper) + "/stat");
        EXPECT_TRUE(stat == "<missing>" || stat.find(") Z") != std::string::npos)
            << entry.path() << " still runs";
    }
    std::map<int, json> items = Manifest("out");
    EXPECT_EQ(items.size(), 2u);  // the two fast items; the stopped ones are left for the next run
    EXPECT_EQ(items[1]["status"], "completed");
}

}  // namespace
