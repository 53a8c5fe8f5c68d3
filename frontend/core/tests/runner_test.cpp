// End-to-end runs of the three stages on real child processes.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "core_fixture.h"

namespace core_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RunTest : public CoreTest {
protected:
    std::string Out(const std::string& name) { return Slurp(app_dir + "/html/" + name); }

    // Selects the named configuration of every stage, as a run request does, and runs.
    int Run(const std::string& s1, const std::string& s2, const std::string& s3) {
        app->SelectConfiguration(0, s1);
        app->SelectConfiguration(1, s2);
        app->SelectConfiguration(2, s3);
        return Doc().RunStages();
    }

    std::vector<int> DoneMarks(int stage) {
        std::vector<int> marks;
        for (int i = 0; i < app->m_nCommands[stage]; ++i)
            marks.push_back(app->m_commands[stage][i].done);
        return marks;
    }
};

TEST_F(RunTest, core_ThreeStagesChainTheirDataAndStoreEveryOutput) {
    Config("1text.txt",
           "; stage 1: take the text, upper-case it, decorate it\n"
           "$INPUT $TEXT\n"
           "tr a-z A-Z $TEXT\n"
           "sh -c \"printf '<x>'; cat; printf '</x>'\" $XML $TEE(html/tee.xml)\n");
    Config("2sound.txt",
           "$OUTPUT $ARG(html/result.wav)\n"
           "cat $WAV\n"
           "$PRX remote job $TEXT\n"
           "wc -c $TEE(html/count.txt)\n");
    Config("3show.txt", "sed s/^/n=/ $TEXT $TEE(html/both.txt)\n");
    Start();
    host->messages.clear();
    Doc().m_strInputText = "hello\nworld";

    ASSERT_EQ(Run("text", "sound", "show"), 1);
    EXPECT_THAT(host->messages, ElementsAre());
    EXPECT_EQ(Out("output0-0.txt"), "hello\nworld");
    EXPECT_EQ(Out("output0-1.txt"), "HELLO\nWORLD");
    EXPECT_EQ(Out("output0-2.xml"), "<x>HELLO\nWORLD</x>");
    EXPECT_EQ(Out("tee.xml"), "<x>HELLO\nWORLD</x>");
    EXPECT_EQ(Out("output1-0.txt"), "<missing>");  // $OUTPUT stores nothing
    EXPECT_EQ(Out("output1-1.wav"), "<x>HELLO\nWORLD</x>");
    EXPECT_EQ(Out("output1-2.txt"), "");  // "$PRX " yields empty output
    EXPECT_THAT(Out("count.txt"), HasSubstr("0"));
    EXPECT_THAT(Out("output2-0.txt"), testing::MatchesRegex("n= *0\n"));
    EXPECT_EQ(Out("both.txt"), Out("output2-0.txt"));
    EXPECT_EQ(Doc().m_strPlayFile, app_dir + "/html/result.wav");
    EXPECT_THAT(DoneMarks(0), ElementsAre(1, 1, 1));
    EXPECT_THAT(DoneMarks(1), ElementsAre(1, 1, 1, 1));
    EXPECT_THAT(DoneMarks(2), ElementsAre(1));

    // Progress names every started command, then the end of the run; the wait
    // cursor is shown around each command.
    EXPECT_THAT(host->progress,
                ElementsAre("Stage 1, command 2: tr a-z A-Z",
                            "Stage 1, command 3: sh -c \"printf '<x>'; cat; printf '</x>'\"",
                            "Stage 2, command 2: cat", "Stage 2, command 3: $PRX remote job",
                            "Stage 2, command 4: wc -c", "Stage 3, command 1: sed s/^/n=/", ""));
    EXPECT_EQ(host->busy.size(), 12u);
    EXPECT_EQ(host->busy.back(), false);
}

TEST_F(RunTest, core_EmptyStagesPassTheDataOnAndAFirstCommandGetsNoInput) {
    Config("1count.txt", "wc -c $TEXT\n");
    Config("3keep.txt", "cat $TEXT\n");
    Start();
    ASSERT_EQ(Run("count", "", "keep"), 1);
    EXPECT_THAT(Out("output0-0.txt"), testing::MatchesRegex(" *0\n"));
    EXPECT_EQ(Out("output2-0.txt"), Out("output0-0.txt"));
    EXPECT_EQ(Doc().m_strPlayFile, "");

    // No configuration at all: nothing runs, nothing is written, success.
    CTaloriaApp& a = *app;
    for (int s = 0; s < NUM_STAGES; ++s) a.m_nCommands[s] = 0;
    EXPECT_EQ(Doc().RunStages(), 1);
}

TEST_F(RunTest, core_AFailingCommandStopsTheRunWithItsReport) {
    Config("1in.txt", "$INPUT $TEXT\ncat $TEXT\n");
    Config("2bad.txt", "cat $XML\nsh -c \"echo broken >&2; echo half; exit 3\" $TEXT\ncat $TEXT\n");
    Config("3after.txt", "cat $TEXT\n");
    Start();
    Spit(app_dir + "/html/output1-2.txt", "previous run");
    host->messages.clear();
    Doc().m_strInputText = "data";

    ASSERT_EQ(Run("in", "bad", "after"), 0);
    EXPECT_THAT(host->messages,
                ElementsAre("Command 'sh -c \"echo broken >&2; echo half; exit 3\"' fails"));
    EXPECT_EQ(Out("output1-0.xml"), "data");
    EXPECT_EQ(Out("output1-1.txt"), "broken\nhalf\n");
    EXPECT_EQ(Out("output1-2.txt"), "previous run");  // never reached
    EXPECT_EQ(Out("output2-0.txt"), "<missing>");
    EXPECT_THAT(DoneMarks(0), ElementsAre(1, 1));
    EXPECT_EQ(app->m_commands[1][0].done, 1);
    EXPECT_EQ(app->m_commands[1][1].done, 0);
    EXPECT_EQ(host->progress.back(), "");

    // A second run clears the done mark of every template it reaches.
    app->m_commands[1][1].done = 1;
    EXPECT_EQ(Doc().RunStages(), 0);
    EXPECT_EQ(app->m_commands[1][1].done, 0);
}

TEST_F(RunTest, core_ACommandThatCannotStartFailsWithTheReason) {
    Config("1missing.txt", "no-such-program-for-taloria --flag $TEXT\n");
    Config("2never.txt", "cat $TEXT\n");
    Start();
    host->messages.clear();
    ASSERT_EQ(Run("missing", "never", ""), 0);
    EXPECT_THAT(host->messages, ElementsAre("Command 'no-such-program-for-taloria --flag' fails"));
    EXPECT_THAT(Out("output0-0.txt"), HasSubstr("no-such-program-for-taloria"));
    EXPECT_EQ(Out("output1-0.txt"), "<missing>");
}

TEST_F(RunTest, core_DataKeepEveryByteAndLargeDataDoNotBlock) {
    // 3 MB through two commands: more than any pipe holds, in both directions.
    Config("1big.txt", "$INPUT\ncat $TEXT\nsh -c \"cat; printf 'a\\000b'\" $WAV\n");
    Start();
    std::string big(3 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 1000) big[i] = '\n';
    Doc().m_strInputText = big;
    ASSERT_EQ(Run("big", "", ""), 1);
    // Compared without printing megabytes on failure.
    std::string text = Out("output0-1.txt"), wav = Out("output0-2.wav");
    EXPECT_EQ(text.size(), big.size());
    EXPECT_TRUE(text == big);
    EXPECT_EQ(wav.size(), big.size() + 3);
    EXPECT_TRUE(wav == big + std::string("a\0b", 3)) << wav.substr(wav.size() - 10);
}

TEST_F(RunTest, core_TextEndsAtItsFirstNulByteButAudioIsStoredWhole) {
    // Each command prints "a", a NUL byte and "b"; the next command echoes what it was fed.
    Config("1nul.txt",
           "printf a\\000b $TEXT\n"
           "cat $XML\n"
           "printf a\\000b $TEE(html/tee.txt)\n"
           "printf a\\000b $TEE(html/tee.WAV)\n"
           "printf a\\000b $WAV $TEE(html/copy.bin)\n"
           "cat $TEXT\n"
           "$INPUT $TEXT $TEE(html/input.txt)\n");
    Config("2fail.txt", "sh -c \"printf 'x\\000y'; exit 1\" $TEXT\n");
    Config("3wavfail.txt", "sh -c \"printf 'x\\000y'; exit 1\" $WAV\n");
    Start();
    Doc().m_strInputText = std::string("in\0put", 6);
    const std::string whole("a\0b", 3);

    ASSERT_EQ(Run("nul", "", ""), 1) << testing::PrintToString(host->messages);
    EXPECT_EQ(Out("output0-0.txt"), "a");
    EXPECT_EQ(Out("output0-1.xml"), "a");  // passed on only up to the NUL byte
    EXPECT_EQ(Out("tee.txt"), "a");
    EXPECT_EQ(Out("tee.WAV"), whole);
    EXPECT_EQ(Out("output0-4.wav"), whole);
    EXPECT_EQ(Out("copy.bin"), whole);
    EXPECT_EQ(Out("output0-5.txt"), "a");
    EXPECT_EQ(Out("output0-6.txt"), "in");
    EXPECT_EQ(Out("input.txt"), "in");

    // A failed command's report is text too, unless the command prints audio.
    host->messages.clear();
    EXPECT_EQ(Run("", "fail", ""), 0);
    EXPECT_EQ(Out("output1-0.txt"), "x");
    app->m_nCommands[1] = 0;
    EXPECT_EQ(Run("", "", "wavfail"), 0);
    EXPECT_EQ(Out("output2-0.txt"), std::string("x\0y", 3));
}

TEST_F(RunTest, core_PlayFileIsClearedAtEveryRunAndInputWinsOverOutput) {
    Config("1play.txt",
           "$INPUT $OUTPUT $ARG(html/never.wav)\n"
           "$OUTPUT $ARG(html/a.wav) $TEXT\n"
           "false\n");
    Config("1both.txt", "$INPUT $OUTPUT $ARG(html/never.wav) $TEXT\n");
    Start();
    Doc().m_strInputText = "typed";
    Doc().m_strPlayFile = "stale";
    // The play file set before a failure stays; $OUTPUT stores the current data
    // when it also carries an output flag.
    EXPECT_EQ(Run("play", "", ""), 0);
    EXPECT_EQ(Doc().m_strPlayFile, app_dir + "/html/a.wav");
    EXPECT_EQ(Out("output0-1.txt"), "typed");
    EXPECT_THAT(DoneMarks(0), ElementsAre(1, 1, 0));

    EXPECT_EQ(Run("both", "", ""), 1);
    EXPECT_EQ(Doc().m_strPlayFile, "");
    EXPECT_EQ(Out("output0-0.txt"), "typed");
}

TEST_F(RunTest, core_AFailureReportThatCannotBeStoredIsReportedAfterTheFailure) {
    Config("1bad.txt", "false $TEXT\n");
    Start();
    host->messages.clear();
    fs::remove_all(app_dir + "/html");
    EXPECT_EQ(Run("bad", "", ""), 0);
    EXPECT_THAT(host->messages, ElementsAre("Command 'false' fails",
                                            "Unable to open '" + app_dir + "/html/output0-0.txt'"));
}

TEST_F(RunTest, core_OutputFilesThatCannotBeCreatedEndTheRun) {
    Config("1tee.txt", "echo one $TEE(nodir/file.txt)\necho two $TEXT\n");
    Start();
    host->messages.clear();
    ASSERT_EQ(Run("tee", "", ""), 0);
    EXPECT_THAT(host->messages, ElementsAre("Unable to open '" + app_dir + "/nodir/file.txt'"));
    EXPECT_THAT(DoneMarks(0), ElementsAre(0, 0));
    EXPECT_EQ(Out("output0-1.txt"), "<missing>");
}

TEST_F(RunTest, core_RelativePathsResolveAgainstTheApplicationDirectory) {
    Config("1rel.txt", "sh -c \"pwd; cat html/seed.txt\" $TEXT\n./bin/tool.sh $TEXT\n");
    Spit(app_dir + "/html/seed.txt", "seed\n");
    Spit(app_dir + "/bin/tool.sh", "#!/bin/sh\necho tool ran\n");
    fs::permissions(app_dir + "/bin/tool.sh", fs::perms::owner_all);
    Start();
    fs::current_path(root);
    ASSERT_EQ(Run("rel", "", ""), 1) << testing::PrintToString(host->messages);
    EXPECT_EQ(Out("output0-0.txt"), fs::canonical(app_dir).string() + "\nseed\n");
    EXPECT_EQ(Out("output0-1.txt"), "tool ran\n");
    EXPECT_EQ(fs::current_path(), fs::canonical(app_dir));
}

TEST_F(RunTest, core_OldConsoleRunsEveryCommandThroughTheShellHelper) {
    if (!fs::exists(std::string(TALORIA_BIN_DIR) + "/conspawn.exe")) {
        GTEST_SKIP() << "conspawn.exe is not built";
    }
    Config("1pipe.txt", "$INPUT\necho $(cat) | tr a-z A-Z $TEXT\n");
    Start();
    app->m_strProgramDir = TALORIA_BIN_DIR;
    app->m_bOldConsole = 1;
    Doc().m_strInputText = "piped";
    ASSERT_EQ(Run("pipe", "", ""), 1) << testing::PrintToString(host->messages);
    EXPECT_EQ(Out("output0-1.txt"), "PIPED\n");
}

TEST_F(RunTest, core_StopEndsTheRunningCommandAsAFailure) {
    Config("1slow.txt", "sh -c \"echo started; sleep 30\" $TEXT\ncat $TEXT\n");
    Start();
    host->messages.clear();
    app->SelectConfiguration(0, "slow");
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_bStopRun = true;
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Doc().RunStages(), 0);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_THAT(host->messages, ElementsAre("Command 'sh -c \"echo started; sleep 30\"' fails"));
    EXPECT_THAT(Out("output0-0.txt"), HasSubstr("started\n"));
    EXPECT_THAT(DoneMarks(0), ElementsAre(0, 0));

    // The next run starts with the flag cleared.
    Config("1slow.txt", "echo fine $TEXT\n");
    app->SelectConfiguration(0, "slow");
    EXPECT_EQ(Doc().RunStages(), 1);
    EXPECT_EQ(Out("output0-0.txt"), "fine\n");
}

}  // namespace
}  // namespace core_test
