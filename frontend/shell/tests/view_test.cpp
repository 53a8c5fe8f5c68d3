// The view against the real application object and document: results rows,
// form requests (help, run), audio links that fail, and the commands of the
// main frame, with a recording user-interface host.
#include "view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "audio_player.h"
#include "dialogs.h"
#include "main_frame.h"
#include "message_loop.h"
#include "silent_wave.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "ui_host_recording.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class shell_view : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-view-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        fs::copy(fs::path(TALORIA_SOURCE_DIR) / "frontend/appdata", root_ / "app",
                 fs::copy_options::recursive);
        std::ofstream(root_ / "app/config/2Beta.txt")
            << "?Help of beta.\n?Second line.\ncat $TEXT\n";
        std::ofstream(root_ / "app/config/3Fails.txt") << "sh -c \"echo oops; exit 4\"\n";
        fs::create_directories(root_ / "home");
        setenv("XDG_CONFIG_HOME", (root_ / "home").c_str(), 1);
        app_dir_ = fs::canonical(root_ / "app").string();
        app_ = std::make_unique<CTaloriaApp>();
        app_->m_strStartDir = app_dir_;
        app_->m_pMainWnd = &frame_;
        view_ = std::make_unique<CTaloriaView>(&frame_);
        app_->m_attachViews = [this](framework::CDocument& doc) { doc.AddView(view_.get()); };
        ASSERT_TRUE(app_->InitInstance());
        host_.navigations.clear();
        host_.messages.clear();
    }
    void TearDown() override {
        if (CTaloriaDoc* doc = Doc()) doc->RemoveView(view_.get());
        app_.reset();
        fs::remove_all(root_);
    }

    CTaloriaDoc* Doc() const { return static_cast<CTaloriaDoc*>(app_->GetDocument()); }

    // Hands a posted form to the view; returns whether the navigation was cancelled.
    bool Post(const std::string& body) {
        bool cancel = false;
        view_->OnBeforeNavigate2(app_dir_ + "/html/input.htm", 0, "", body, "", &cancel);
        return cancel;
    }

    void SetCommands(int stage, std::vector<CommandTemplate> commands) {
        app_->m_commands[stage] = commands;
        app_->m_nCommands[stage] = static_cast<int>(commands.size());
    }

    std::string Rows() {
        const std::string page = ReadFile(app_dir_ + "/html/system.htm");
        const std::size_t start = page.find("<table class=\"results\">\n") + 24;
        return page.substr(start, page.find("</table>") - start);
    }

    framework::RecordingUiHost host_;
    framework::ScopedUiHost scoped_{host_};
    fs::path root_;
    std::string app_dir_;
    CMainFrame frame_;
    std::unique_ptr<CTaloriaApp> app_;
    std::unique_ptr<CTaloriaView> view_;
};

CommandTemplate Cmd(const std::string& text, int flags, const std::string& arg = "", int done = 1) {
    CommandTemplate c;
    c.text = text;
    c.flags = flags;
    c.arg = arg;
    c.done = done;
    return c;
}

TEST_F(shell_view, FirstPageIsTheHelpIndexAndRestartShowsIt) {
    EXPECT_EQ(Doc()->m_strPage, app_dir_ + "/help/index.html");
    view_->OnGoRestart();
    ASSERT_EQ(host_.navigations.size(), 1u);
    EXPECT_EQ(host_.navigations[0].path, app_dir_ + "/help/index.html");
    EXPECT_EQ(host_.navigations[0].frame, "");
}

TEST_F(shell_view, ResultRowsFollowTheMarksOfEachCommand) {
    const std::string green = "<tr><td bgcolor='#D0FFD0'><center>";
    const std::string yellow = "<tr><td bgcolor='#FFFFD0'><center>";
    const std::string end = "</center></td></tr>\n";
    struct Case {
        const char* name;
        std::vector<CommandTemplate> stage0;
        std::string rows;
    };
    const Case cases[] = {
        {"input, text and audio",
         {Cmd("", CMD_INPUT), Cmd("espeak <x> & y", CMD_TEXT), Cmd("parvox", CMD_WAV)},
         green + "<a href='" + app_dir_ + "/html/synthesis.htm' target='_top'>Input</a>" + end +
             yellow + "espeak <x> & y" + end + green +
             "<a href='output0-1.txt' target='RIGHT'><img src='text.gif' width=50 height=32 "
             "border=0></a>" +
             end + yellow + "parvox" + end + green + "<a href='output0-2.wav'>AUDIO</a>" + end},
        {"third command failed",
         {Cmd("", CMD_INPUT), Cmd("a", CMD_TEXT), Cmd("parvox", CMD_WAV, "", 0), Cmd("never", 0)},
         green + "<a href='" + app_dir_ + "/html/synthesis.htm' target='_top'>Input</a>" + end +
             yellow + "a" + end + green +
             "<a href='output0-1.txt' target='RIGHT'><img src='text.gif' width=50 height=32 "
             "border=0></a>" +
             end +
             "<tr><td bgcolor='#FFD0D0'><center><a href='output0-2.txt' target='RIGHT'><img "
             "src='error.gif' width=50 height=32 border=0></a>" +
             end},
        {"text wins over audio",
         {Cmd("b", CMD_TEXT | CMD_WAV)},
         yellow + "b" + end + green +
             "<a href='output0-0.txt' target='RIGHT'><img src='text.gif' width=50 height=32 "
             "border=0></a>" +
             end},
        {"output has no output row",
         {Cmd("", CMD_OUTPUT | CMD_TEXT, "html/s.wav")},
         green + "<a href='" + app_dir_ + "/html/s.wav' target='RIGHT'>Output</a>" + end},
        {"argument link and xml",
         {Cmd("tool x", CMD_ARG | CMD_XML, "html/o.xml")},
         yellow + "<a href='" + app_dir_ + "/html/o.xml' target='RIGHT'>tool x</a>" + end + green +
             "<a href='output0-0.xml' target='RIGHT'><img src='xml.gif' width=50 height=32 "
             "border=0></a>" +
             end},
        {"tee alone is a plain row",
         {Cmd("tee-tool", CMD_TEE, "html/t.txt")},
         yellow + "tee-tool" + end},
        {"no commands", {}, ""},
    };
    for (const Case& c : cases) {
        SetCommands(0, c.stage0);
        SetCommands(1, {});
        SetCommands(2, {});
        host_.navigations.clear();
        view_->ShowResultsPage();
        EXPECT_EQ(Rows(), c.rows + "\n") << c.name;
        ASSERT_EQ(host_.navigations.size(), 1u) << c.name;
        EXPECT_EQ(host_.navigations[0].path, app_dir_ + "/html/system.htm");
        EXPECT_EQ(host_.navigations[0].frame, "LEFT");
    }
}

TEST_F(shell_view, AFailedCommandStopsTheRowsOfLaterStagesToo) {
    SetCommands(0, {Cmd("one", 0, "", 0)});
    SetCommands(1, {Cmd("two", 0)});
    view_->ShowResultsPage();
    EXPECT_EQ(Rows().find("two"), std::string::npos);
    EXPECT_NE(Rows().find("output0-0.txt"), std::string::npos);
}

TEST_F(shell_view, HelpKeyShowsHelpRunsNothingButKeepsTheText) {
    const auto before = app_->m_strStageConfig;
    EXPECT_TRUE(Post("input=x&config2=Beta&help2=Help&config1=Typed+text"));
    EXPECT_EQ(Doc()->m_strInputText, "x");
    EXPECT_EQ(app_->m_strStageConfig, before);
    ASSERT_EQ(host_.navigations.size(), 1u);
    EXPECT_EQ(host_.navigations[0].path, app_dir_ + "/html/cfghelp.htm");
    EXPECT_EQ(host_.navigations[0].frame, "RIGHT");
    const std::string help = ReadFile(app_dir_ + "/html/cfghelp.htm");
    EXPECT_NE(help.find("\nBeta\n"), std::string::npos);
    EXPECT_NE(help.find("Help of beta.\nSecond line.\n"), std::string::npos);
}

TEST_F(shell_view, HelpBeforeItsConfigurationShowsTheEmptyName) {
    EXPECT_TRUE(Post("help1=Help&config1=Typed+text"));
    ASSERT_EQ(host_.navigations.size(), 1u);
    EXPECT_EQ(host_.navigations[0].frame, "RIGHT");
    EXPECT_NE(ReadFile(app_dir_ + "/html/cfghelp.htm").find("<h1>\n\n</h1>"), std::string::npos);
}

TEST_F(shell_view, HelpPageShowsAPostedNameAsTextNeverAsMarkup) {
    EXPECT_TRUE(Post("config1=%3Cscript%3Ealert(1)%3C/script%3E%26lt;&help1=Help"));
    const std::string page = ReadFile(app_dir_ + "/html/cfghelp.htm");
    EXPECT_NE(page.find("<h1>\n&lt;script>alert(1)&lt;/script>&amp;lt;\n</h1>"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
}

TEST_F(shell_view, RunRequestDecodesSelectsRewritesRunsAndShowsResults) {
    EXPECT_TRUE(
        Post("input=hello+world%0D%0Aagain&config1=Typed+text&config2=Beta&config3=Nope&run=Run"));
    EXPECT_EQ(Doc()->m_strInputText, "hello world\nagain");
    EXPECT_EQ(app_->m_strStageConfig[0], "Typed text");
    EXPECT_EQ(app_->m_strStageConfig[1], "Beta");
    EXPECT_EQ(app_->m_strStageConfig[2], "");  // not in the catalogue: unchanged
    EXPECT_NE(ReadFile(app_dir_ + "/html/input.htm").find("<option selected>Beta</option>"),
              std::string::npos);
    EXPECT_EQ(ReadFile(app_dir_ + "/html/output1-0.txt"), "hello world\nagain");
    ASSERT_FALSE(host_.navigations.empty());
    EXPECT_EQ(host_.navigations.back().path, app_dir_ + "/html/system.htm");
    EXPECT_EQ(host_.navigations.back().frame, "LEFT");
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(shell_view, FailingRunShowsItsMessageAndEndsAtTheErrorRow) {
    EXPECT_TRUE(Post("input=x&config1=Typed+text&config2=Beta&config3=Fails"));
    ASSERT_EQ(host_.messages.size(), 1u);
    EXPECT_EQ(host_.messages[0], "Command 'sh -c \"echo oops; exit 4\"' fails");
    EXPECT_NE(Rows().find("output2-0.txt' target='RIGHT'><img src='error.gif'"), std::string::npos);
    EXPECT_NE(ReadFile(app_dir_ + "/html/output2-0.txt").find("oops"), std::string::npos);
}

TEST_F(shell_view, AnyPostIsCancelledEvenWithNothingKnownInIt) {
    EXPECT_TRUE(Post("go=Run"));
    EXPECT_TRUE(Post("&&"));
    ASSERT_FALSE(host_.navigations.empty());
    EXPECT_EQ(host_.navigations.back().frame, "LEFT");
    // No posted data: an ordinary navigation goes ahead untouched.
    bool cancel = false;
    host_.navigations.clear();
    view_->OnBeforeNavigate2(app_dir_ + "/html/synthesis.htm", 0, "", "", "", &cancel);
    EXPECT_FALSE(cancel);
    EXPECT_TRUE(host_.navigations.empty());
}

TEST_F(shell_view, AudioLinkThatCannotBeOpenedIsFollowedOnceThenCancelled) {
    const std::string link = app_dir_ + "/html/missing.wav#2";
    bool cancel = false;
    view_->OnBeforeNavigate2(link, 0, "", "", "", &cancel);
    EXPECT_FALSE(cancel);
    ASSERT_EQ(host_.messages.size(), 1u);
    EXPECT_EQ(host_.messages[0], "Could not open '" + app_dir_ + "/html/missing.wav'");
    // The player now reports that name as its file, so nothing is opened again.
    cancel = false;
    view_->OnBeforeNavigate2(link, 0, "", "", "", &cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(host_.messages.size(), 1u);
    // Links that are not audio, or audio with another case, go ahead.
    for (const std::string& url :
         {std::string("http://example.org/a.wav"), app_dir_ + "/html/x.WAV"}) {
        cancel = false;
        view_->OnBeforeNavigate2(url, 0, "", "", "", &cancel);
        EXPECT_FALSE(cancel) << url;
    }
}

TEST_F(shell_view, AudioLinkPlaysFromItsFragmentAndIsNotOpenedTwice) {
    const fs::path capture = root_ / "capture.pcm";
    setenv("TALORIA_WAVEOUT", ("capture:" + capture.string()).c_str(), 1);
    setenv("TALORIA_WAVEOUT_SPEED", "0", 1);
    const std::string file = app_dir_ + "/html/tone.wav";
    test_wave::WriteSilentWave(file, 22000);  // two seconds

    // Posted data does not matter: the audio test comes first.
    bool cancel = false;
    view_->OnBeforeNavigate2(file + "#x#1.5", 0, "", "input=never", "", &cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(thePlayer.GetFileName(), file);
    EXPECT_NE(Doc()->m_strInputText, "never");
    EXPECT_TRUE(host_.navigations.empty());
    for (int i = 0; i < 5; ++i) framework::ui_loop().pump_device_notifications(20);
    EXPECT_EQ(fs::file_size(capture), 0.5 * 22000u);  // from 1.5 s of 2 s

    // Once loaded, the same file is played without opening it again: even
    // gone from the disk it still plays, and Play of the main frame likewise.
    fs::remove(file);
    cancel = false;
    view_->OnBeforeNavigate2(file, 0, "", "", "", &cancel);
    EXPECT_TRUE(cancel);
    Doc()->m_strPlayFile = file;
    CMainFrame::OnPlay(*Doc(), &frame_);
    for (int i = 0; i < 5; ++i) framework::ui_loop().pump_device_notifications(20);
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_EQ(fs::file_size(capture), (0.5 + 2 + 2) * 22000u);
    thePlayer.Stop();
    unsetenv("TALORIA_WAVEOUT");
    unsetenv("TALORIA_WAVEOUT_SPEED");
}

TEST_F(shell_view, ConfigurationDialogChangesTheSettingOnlyOnOk) {
    using Answer = framework::RecordingUiHost::FormAnswer;
    host_.form_answers = {Answer{"1"}, std::nullopt, Answer{"0"}};
    CMainFrame::OnConfiguration();
    EXPECT_EQ(app_->m_bOldConsole, 1);
    CMainFrame::OnConfiguration();  // Cancel
    EXPECT_EQ(app_->m_bOldConsole, 1);
    CMainFrame::OnConfiguration();
    EXPECT_EQ(app_->m_bOldConsole, 0);
    std::vector<bool> shown;
    for (const framework::DialogForm& form : host_.forms) {
        EXPECT_EQ(form.kind, "configuration");
        EXPECT_EQ(form.group, "Windows Compatibility");
        ASSERT_EQ(form.fields.size(), 1u);
        EXPECT_EQ(form.fields[0].label, "Support older Windows versions");
        shown.push_back(form.fields[0].checked);
    }
    EXPECT_EQ(shown, (std::vector<bool>{false, true, true}));
}

TEST_F(shell_view, PlayWithoutAPlayFileDoesNothing) {
    Doc()->m_strPlayFile.clear();
    CMainFrame::OnPlay(*Doc(), &frame_);
    EXPECT_FALSE(thePlayer.IsPlaying());
    CMainFrame::OnPause();
    CMainFrame::OnStop();
    EXPECT_FALSE(thePlayer.IsPaused());
    EXPECT_TRUE(host_.messages.empty());
}

TEST_F(shell_view, DialogsReportOkAndCancel) {
    host_.form_answers = {framework::RecordingUiHost::FormAnswer{"/tmp/a.txt"}, std::nullopt};
    CFileNeededDialog dialog;
    dialog.m_strMessage = "Need it";
    dialog.m_strFilePath = "old.txt";
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.m_strFilePath, "/tmp/a.txt");
    dialog.m_strFilePath = "kept.txt";
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.m_strFilePath, "kept.txt");
    ASSERT_EQ(host_.forms.size(), 2u);
    EXPECT_EQ(host_.forms[0].message, "Need it");
    EXPECT_EQ(host_.forms[0].fields[0].text, "old.txt");

    // About has nothing to cancel.
    CAboutDialog about;
    EXPECT_EQ(about.DoModal(), IDOK);
    ASSERT_EQ(host_.forms.size(), 3u);
    EXPECT_EQ(host_.forms[2].kind, "about");
    EXPECT_FALSE(host_.forms[2].can_cancel);
}

}  // namespace
