// The run entry: one request through selections, input page, stages and
// results page, and the rows it reports.
#include <gmock/gmock.h>

#include "core_fixture.h"
#include "run.h"

namespace core_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Html(const std::string& app_dir, const std::string& name) {
    return Slurp(app_dir + "/html/" + name);
}

TEST_F(CoreTest, core_RunReportsEveryCommandWithItsOutputsAndWritesBothPages) {
    Config("1text.txt", "$INPUT $TEXT\ntr a-z A-Z $TEXT $TEE(html/upper.txt)\n");
    Config("2none.txt", "");
    Config("3wave.txt", "cat $WAV\n$OUTPUT $ARG(html/upper.txt)\n");
    Start();
    host->messages.clear();

    const RunResult result = Doc().Run({"hello", {"text", "none", "wave"}});
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.failed_command(), nullptr);
    EXPECT_THAT(host->messages, ElementsAre());
    ASSERT_EQ(result.commands.size(), 4u);
    const CommandResult& upper = result.commands[1];
    EXPECT_EQ(upper.stage, 0);
    EXPECT_EQ(upper.index, 1);
    EXPECT_EQ(upper.text, "tr a-z A-Z");
    EXPECT_EQ(upper.flags, CMD_TEXT | CMD_TEE);
    EXPECT_TRUE(upper.completed);
    EXPECT_THAT(upper.output_files,
                ElementsAre(app_dir + "/html/output0-1.txt", app_dir + "/html/upper.txt"));
    for (const CommandResult& c : result.commands) {
        for (const std::string& file : c.output_files)
            EXPECT_EQ(Slurp(file), c.stage == 0 && c.index == 0 ? "hello" : "HELLO") << file;
    }
    EXPECT_EQ(result.commands[2].stage, 2);
    EXPECT_THAT(result.commands[2].output_files, ElementsAre(app_dir + "/html/output2-0.wav"));
    EXPECT_EQ(result.play_file, app_dir + "/html/upper.txt");

    // The input page holds the text and the selections; the results page the rows.
    EXPECT_THAT(Html(app_dir, "input.htm"), HasSubstr("hello"));
    EXPECT_THAT(Html(app_dir, "input.htm"), HasSubstr("<option selected>wave</option>"));
    EXPECT_EQ(result.results_page, app_dir + "/html/system.htm");
    EXPECT_EQ(Slurp(result.results_page),
              "<table>\n" + ResultRows(result, app_dir) + "\n</table>\n");
    EXPECT_THAT(Slurp(result.results_page), HasSubstr("<a href='output2-0.wav'>AUDIO</a>"));
}

TEST_F(CoreTest, core_AFailedRunEndsAtTheFailingCommandWithItsErrorText) {
    Config("1in.txt", "$INPUT\nsh -c \"echo broken; exit 2\" $TEXT\ncat $TEXT\n");
    Config("2later.txt", "cat $TEXT\n");
    Start();
    host->messages.clear();

    const RunResult result = Doc().Run({"data", {"in", "later", ""}});
    EXPECT_FALSE(result.completed);
    ASSERT_EQ(result.commands.size(), 2u);
    const CommandResult* failed = result.failed_command();
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->index, 1);
    EXPECT_EQ(failed->error, "broken\n");
    EXPECT_THAT(failed->output_files, ElementsAre(app_dir + "/html/output0-1.txt"));
    EXPECT_EQ(Html(app_dir, "output0-1.txt"), "broken\n");
    EXPECT_THAT(host->messages, ElementsAre("Command 'sh -c \"echo broken; exit 2\"' fails"));
    EXPECT_THAT(Slurp(result.results_page),
                HasSubstr("output0-1.txt' target='RIGHT'><img src='error.gif'"));

    // The next run that completes clears the error.
    Config("1in.txt", "$INPUT $TEXT\n");
    const RunResult again = Doc().Run({"data", {"in", "later", ""}});
    EXPECT_TRUE(again.completed);
    ASSERT_EQ(again.commands.size(), 2u);
    EXPECT_EQ(again.commands[1].error, "");
}

TEST_F(CoreTest, core_AnUnknownNameKeepsTheStagesConfiguration) {
    Config("1a.txt", "$INPUT $TEXT\n");
    Config("1b.txt", "$INPUT\nrev $TEXT\n");
    Start();
    Doc().Run({"abc", {"b", "", ""}});
    const RunResult result = Doc().Run({"xyz", {"no such name", "", ""}});
    EXPECT_EQ(app->m_strStageConfig[0], "b");
    ASSERT_EQ(result.commands.size(), 2u);
    EXPECT_EQ(result.commands[1].text, "rev");
    EXPECT_EQ(Html(app_dir, "output0-1.txt"), "zyx");
}

}  // namespace
}  // namespace core_test
