// The --run command line, the corpus's items and the manifest.
#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "corpus_run.h"
#include "manifest.h"
#include "run_options.h"

namespace headless {
namespace {

using ::testing::ElementsAre;

int Parse(std::vector<std::string> words, RunOptions& options) {
    words.insert(words.begin(), {"taloria2", "--run"});
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    return ParseRunOptions(static_cast<int>(argv.size()), argv.data(), options);
}

const std::vector<std::string> kStages = {"--stage1", "A b", "--stage2", "", "--stage3", "C"};

std::vector<std::string> With(std::vector<std::string> more) {
    std::vector<std::string> words = kStages;
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

TEST(headless_options, AFullCommandLineIsTakenAsWritten) {
    RunOptions o;
    ASSERT_EQ(Parse(With({"--input", "-", "--each-line", "--out", "d", "--jobs", "3", "--shard",
                          "1/4", "--ask", "x.ctl", "--ask", "y", "--quiet"}),
                    o),
              -1);
    EXPECT_THAT(o.configurations, ElementsAre("A b", "", "C"));
    EXPECT_EQ(o.input, "-");
    EXPECT_TRUE(o.each_line);
    EXPECT_EQ(o.jobs, 3);
    EXPECT_EQ(o.shard_index, 1);
    EXPECT_EQ(o.shard_count, 4);
    EXPECT_THAT(o.ask_answers, ElementsAre("x.ctl", "y"));
    EXPECT_TRUE(o.quiet);
}

TEST(headless_options, BadCommandLinesAreRefusedWithStatusTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--stage1", "A", "--stage2", "B"},                  // a stage missing
        With({"--text", "x", "--input", "f"}),               // two sources
        With({"--each-line"}),                               // no --out
        With({"--jobs", "2"}),                               // jobs without --each-line
        With({"--each-line", "--out", "d", "--jobs", "0"}),  // no jobs
        With({"--each-line", "--out", "d", "--shard", "2/2"}),
        With({"--each-line", "--out", "d", "--shard", "1"}),
        With({"--each-line", "--out", "d", "--shard", "-1/2"}),
        With({"--frobnicate"}),
        With({"--text"}),  // no value
    };
    for (const auto& words : bad) {
        RunOptions o;
        EXPECT_EQ(Parse(words, o), 2) << ::testing::PrintToString(words);
    }
    RunOptions o;
    EXPECT_EQ(Parse({"--help"}, o), 0);
}

TEST(headless_items, ItemsAreTheNonEmptyLinesByLineNumberAndShardsSplitThemExactlyOnce) {
    const std::string text = "one\n\nthree\nfour\nfive\nsix\nseven";
    std::vector<int> numbers;
    for (const Item& item : SplitItems(text, 0, 1)) numbers.push_back(item.number);
    EXPECT_THAT(numbers, ElementsAre(1, 3, 4, 5, 6, 7));
    EXPECT_EQ(SplitItems(text, 0, 1)[5].text, "seven");

    std::multiset<int> together;
    for (int k = 0; k < 3; ++k) {
        for (const Item& item : SplitItems(text, k, 3)) {
            EXPECT_EQ(item.number % 3, k);
            together.insert(item.number);
        }
    }
    EXPECT_THAT(together, ElementsAre(1, 3, 4, 5, 6, 7));
}

class headless_manifest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("manifest-test-" + std::to_string(::getpid()) + ".jsonl");
        std::filesystem::remove(path_);
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::string path_;
};

TEST_F(headless_manifest, TheLastLineOfAnItemCountsAndBrokenLinesAreSkipped) {
    std::ofstream(path_) << "{\"item\":1,\"status\":\"completed\"}\n"
                            "{\"item\":2,\"status\":\"completed\"}\n"
                            "{\"item\":2,\"status\":\"failed\"}\n"
                            "{\"item\":3,\"status\":\"failed\"}\n"
                            "{\"item\":3,\"status\":\"completed\"}\n"
                            "not json\n"
                            "{\"item\":4,\"status\":\"compl";  // cut off by a kill
    EXPECT_THAT(ReadCompletedItems(path_), ElementsAre(1, 3));
    EXPECT_TRUE(ReadCompletedItems(path_ + ".missing").empty());
}

TEST_F(headless_manifest, AppendingAfterACutLineStartsANewLine) {
    std::ofstream(path_) << "{\"item\":4,\"status\":\"compl";
    {
        ManifestWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path_, error)) << error;
        ASSERT_TRUE(writer.Append({{"item", 5}, {"status", "completed"}, {"text", "caf\xe9"}}));
    }
    std::ifstream in(path_);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "{\"item\":4,\"status\":\"compl");
    EXPECT_EQ(nlohmann::json::parse(second)["item"], 5);  // invalid UTF-8 does not stop the line
    EXPECT_THAT(ReadCompletedItems(path_), ElementsAre(5));
}

}  // namespace
}  // namespace headless
