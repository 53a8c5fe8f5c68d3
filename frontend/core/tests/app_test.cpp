// Tests of start-up, settings, the catalogue, command templates, documents and pages.
#include <gmock/gmock.h>

#include "core_fixture.h"

namespace core_test {
namespace {

using ::testing::ElementsAre;

// Records the page it is told to show, and the generated pages as they are at that
// moment, so that tests see that pages are written before the view is updated.
class TestView : public framework::CView {
public:
    explicit TestView(std::string html = "") : html_(std::move(html)) {}
    void OnUpdate(framework::CView*, long, void*) override {
        pages.push_back(static_cast<CTaloriaDoc*>(GetDocument())->m_strPage);
        if (!html_.empty()) {
            input_pages.push_back(Slurp(html_ + "/input.htm"));
            result_pages.push_back(Slurp(html_ + "/system.htm"));
        }
    }
    std::vector<std::string> pages, input_pages, result_pages;

private:
    std::string html_;
};

TEST_F(CoreTest, core_StartUpWithoutConfigurationsWritesPagesAndShowsHelpFirst) {
    CTaloriaApp& a = Start();
    EXPECT_THAT(host->messages,
                ElementsAre("No configuration files found in '" + app_dir + "/config/1*.txt'",
                            "No configuration files found in '" + app_dir + "/config/2*.txt'",
                            "No configuration files found in '" + app_dir + "/config/3*.txt'"));
    EXPECT_EQ(a.m_strAppDir, app_dir);
    EXPECT_EQ(a.m_bOldConsole, 0);
    EXPECT_THAT(a.m_strStageConfig, ElementsAre("", "", ""));
    EXPECT_THAT(a.m_nCommands, ElementsAre(0, 0, 0));

    CTaloriaDoc& doc = Doc();
    EXPECT_EQ(doc.m_strInputText, "`type your `text `here");
    EXPECT_EQ(doc.m_strPage, app_dir + "/help/index.html");
    EXPECT_EQ(doc.m_bFirstNew, 0);
    EXPECT_EQ(Slurp(app_dir + "/html/input.htm"),
              "<form>\n`type your `text `here\n<select>\n\n</select>\n\n\n</form>\n");
    EXPECT_EQ(Slurp(app_dir + "/html/system.htm"), "<table>\n\n</table>\n");

    // Every later New shows the synthesis page, and the view hears of it once
    // both pages have been written again.
    TestView view(app_dir + "/html");
    doc.AddView(&view);
    doc.m_strInputText = "changed";
    Spit(app_dir + "/html/input.htm", "old");
    Spit(app_dir + "/html/system.htm", "old results");
    ASSERT_EQ(a.OnFileNew(), 1);
    EXPECT_EQ(doc.m_strInputText, "`type your `text `here");
    EXPECT_THAT(view.pages, ElementsAre(app_dir + "/html/synthesis.htm"));
    EXPECT_THAT(
        view.input_pages,
        ElementsAre("<form>\n`type your `text `here\n<select>\n\n</select>\n\n\n</form>\n"));
    EXPECT_THAT(view.result_pages, ElementsAre("<table>\n\n</table>\n"));

    // Open does the same with the file's text, and leaves the synthesis page shown.
    Spit(root + "/doc.txt", "opened");
    Spit(app_dir + "/html/system.htm", "old results");
    ASSERT_NE(a.OpenDocumentFile(root + "/doc.txt"), nullptr);
    EXPECT_EQ(view.pages.back(), app_dir + "/html/synthesis.htm");
    EXPECT_EQ(view.input_pages.back(), "<form>\nopened\n<select>\n\n</select>\n\n\n</form>\n");
    EXPECT_EQ(view.result_pages.back(), "<table>\n\n</table>\n");
    doc.RemoveView(&view);
}

TEST_F(CoreTest, core_StartUpWithAFileOnTheCommandLine) {
    Spit(root + "/doc.txt", "from file\n");
    app = std::make_unique<CTaloriaApp>();
    app->m_strStartDir = app_dir;
    app->m_strCmdLineFile = root + "/doc.txt";
    ASSERT_EQ(app->InitInstance(), 1);
    EXPECT_EQ(Doc().m_strInputText, "from file\n");
    EXPECT_EQ(Doc().m_strPage, app_dir + "/html/synthesis.htm");

    // A file that cannot be opened ends the start-up.
    app = std::make_unique<CTaloriaApp>();
    app->m_strStartDir = app_dir;
    app->m_strCmdLineFile = root + "/missing.txt";
    EXPECT_EQ(app->InitInstance(), 0);
    EXPECT_EQ(host->messages.back(), "Unable to open '" + root + "/missing.txt'");
}

TEST_F(CoreTest, core_SettingsAreKeptFromOneRunToTheNextAndSurviveACorruptFile) {
    Config("1English_text.txt", "cat\n");
    Config("2fast.txt", "cat\n");
    {
        CTaloriaApp& a = Start();
        a.SelectConfiguration(0, "English text");
        a.SelectConfiguration(1, "fast");
        a.m_bOldConsole = 1;
        EXPECT_EQ(a.ExitInstance(), 0);
    }
    const std::string ini = root + "/xdg/Taloria/Taloria 2.ini";
    std::string text = Slurp(ini);
    EXPECT_NE(text.find("[Config]\nOldConsole=1\nStage1=English text\nStage2=fast\nStage3=\n"),
              std::string::npos)
        << text;

    CTaloriaApp& b = Start();
    EXPECT_EQ(b.m_bOldConsole, 1);
    EXPECT_THAT(b.m_strStageConfig, ElementsAre("English text", "fast", ""));
    // Selected names are not parsed at start-up.
    EXPECT_THAT(b.m_nCommands, ElementsAre(0, 0, 0));

    Spit(ini, "\x01\x02 garbage without structure\n");
    CTaloriaApp& c = Start();
    EXPECT_EQ(c.m_bOldConsole, 0);
    EXPECT_THAT(c.m_strStageConfig, ElementsAre("", "", ""));
}

TEST_F(CoreTest, core_CatalogueIsSortedByFileNameWithDisplayNames) {
    for (const char* file : {"1b.txt", "1a_b_c.txt", "1Z.TXT", "1ab.txt", "1ab.old.txt", "1x.doc",
                             "21.txt", "2fast.old.txt", "3.txt", "x1.txt"}) {
        Config(file, "; nothing\n");
    }
    fs::create_directories(app_dir + "/config/1dir.txt");
    CTaloriaApp& a = Start();
    EXPECT_THAT(host->messages, ElementsAre());
    std::vector<std::string> names, paths;
    for (int i = 0; i < a.m_nConfigs[0]; ++i) {
        names.push_back(a.m_configs[0][i].name);
        paths.push_back(a.m_configs[0][i].path);
    }
    EXPECT_THAT(names, ElementsAre("Z", "a b c", "ab", "ab", "b"));
    EXPECT_EQ(paths[0], app_dir + "/config/1Z.TXT");
    EXPECT_EQ(paths[2], app_dir + "/config/1ab.old.txt");
    ASSERT_EQ(a.m_nConfigs[1], 2);
    EXPECT_EQ(a.m_configs[1][0].name, "1");
    EXPECT_EQ(a.m_configs[1][1].name, "fast");
    ASSERT_EQ(a.m_nConfigs[2], 1);
    EXPECT_EQ(a.m_configs[2][0].name, "");
}

TEST_F(CoreTest, core_CatalogueKeepsMoreThanAHundredConfigurations) {
    for (int i = 0; i < 120; ++i) Config("1c" + std::to_string(1000 + i) + ".txt", "cat\n");
    CTaloriaApp& a = Start();
    EXPECT_EQ(a.m_nConfigs[0], 120);
    EXPECT_EQ(a.m_configs[0][119].name, "c1119");
}

TEST_F(CoreTest, core_SelectionHelpAndUnreadableFiles) {
    Config("1ab.old.txt", "?first help\r\nold\n");
    Config("1ab.txt", "; comment\n?second help\n\nnew $TEXT\n?more");
    Config("2plain.txt", "cat\n");
    CTaloriaApp& a = Start();

    // Two entries share a name: the first in catalogue order is selected,
    // the help holds the help lines of both.
    a.SelectConfiguration(0, "ab");
    ASSERT_EQ(a.m_nCommands[0], 1);
    EXPECT_EQ(a.m_commands[0][0].text, "old");
    EXPECT_EQ(a.m_strStageConfig[0], "ab");
    std::string help = "stale";
    EXPECT_EQ(a.GetConfigHelp(0, "ab", help), 1);
    EXPECT_EQ(help, "first help\nsecond help\nmore");
    EXPECT_EQ(a.GetConfigHelp(1, "plain", help), 1);
    EXPECT_EQ(help, "");
    EXPECT_EQ(a.GetConfigHelp(1, "unknown", help), 1);

    // An unknown name changes nothing; the file is read again at every selection.
    a.SelectConfiguration(0, "nothing like it");
    EXPECT_EQ(a.m_strStageConfig[0], "ab");
    EXPECT_EQ(a.m_nCommands[0], 1);
    Config("1ab.old.txt", "edited\nsecond\n");
    a.SelectConfiguration(0, "ab");
    EXPECT_EQ(a.m_nCommands[0], 2);

    // A file that has gone: a message, no commands, and the name is still recorded.
    fs::remove(app_dir + "/config/2plain.txt");
    a.SelectConfiguration(1, "plain");
    EXPECT_EQ(a.m_nCommands[1], 0);
    EXPECT_EQ(a.m_strStageConfig[1], "plain");
    EXPECT_EQ(host->messages.back(), "Unable to open '" + app_dir + "/config/2plain.txt'");
    EXPECT_EQ(a.GetConfigHelp(1, "plain", help), 0);
    // Stage 3 was empty at start-up; the two other messages are the unreadable file's.
    EXPECT_EQ(host->messages.size(), 3u);
}

TEST(core_Words, SplitsAtBlanksWithParenthesesProtecting) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"parvox -p pars.txt $ASK(Control file for stage 3) $WAV",
         {"parvox", "-p", "pars.txt", "$ASK(Control file for stage 3)", "$WAV"}},
        {"a(b c)d e", {"a(b c)d", "e"}},
        {"x#y", {"x", "y"}},
        {"$ARG(a#b c)", {"$ARG(a", "b c)"}},
        {"  \t lead  and\vtrail\f \r", {"lead", "and", "trail"}},
        {"(open to the end", {"(open to the end"}},
        {"f((a b) c)", {"f((a b)", "c)"}},
        {"caf\xC3\xA9 \xA0x", {"caf\xC3\xA9", "\xA0x"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitConfigWords(c.line), c.words) << c.line;
}

TEST_F(CoreTest, core_TemplatesTakeMacroWordsOut) {
    Config("1t.txt",
           "tagger -x $INPUT\n"
           "$INPUT $TEXT\n"
           "synth $ARG(html/out.wav) -o html/out.wav\n"
           "a $ARG(my file.wav) $TEE(a)b\n"
           "b $text $XML $WAV $OUTPUT\n"
           "$PRX\n"
           "$PRX remote job\n"
           "  \t\n"
           "c $ARG(unclosed\n"
           "d $ARG(x(y)z)w $UNKNOWN\r\n"
           "e $TEE(t.txt) $ARG(a.wav)");
    CTaloriaApp& a = Start();
    a.SelectConfiguration(0, "t");
    struct Expect {
        std::string text;
        int flags;
        std::string arg;
    };
    const Expect expected[] = {
        {"tagger -x", CMD_INPUT, ""},
        {"", CMD_INPUT | CMD_TEXT, ""},
        {"synth -o html/out.wav", CMD_ARG, "html/out.wav"},
        {"a", CMD_ARG | CMD_TEE, "a"},
        {"b $text", CMD_XML | CMD_WAV | CMD_OUTPUT, ""},
        {"$PRX", 0, ""},
        {"$PRX remote job", 0, ""},
        {"", 0, ""},
        {"c", CMD_ARG, "unclosed"},
        {"d $UNKNOWN", CMD_ARG, "x(y)z"},
        {"e", CMD_TEE | CMD_ARG, "a.wav"},
    };
    ASSERT_EQ(a.m_nCommands[0], static_cast<int>(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const CommandTemplate& t = a.m_commands[0][i];
        EXPECT_EQ(t.text, expected[i].text) << i;
        EXPECT_EQ(t.flags, expected[i].flags) << i;
        EXPECT_EQ(t.arg, expected[i].arg) << i;
    }
}

TEST_F(CoreTest, core_AskMacroOpensTheFileNeededDialog) {
    Config("3s.txt", "$ASK(Pick a file) synth\nplay $ASK(Control file) $WAV\n");
    CTaloriaApp& a = Start();
    host->form_answers = {framework::RecordingUiHost::FormAnswer{"ctl.txt"}, std::nullopt};
    a.SelectConfiguration(2, "s");
    ASSERT_EQ(a.m_nCommands[2], 2);
    EXPECT_EQ(a.m_commands[2][0].text, " ctl.txt synth");
    EXPECT_EQ(a.m_commands[2][1].text, "play");
    EXPECT_EQ(a.m_commands[2][1].flags, CMD_WAV);
    ASSERT_EQ(host->forms.size(), 2u);
    EXPECT_EQ(host->forms[0].kind, "fileNeeded");
    EXPECT_EQ(host->forms[0].message, "Pick a file");
    ASSERT_EQ(host->forms[0].fields.size(), 1u);
    EXPECT_EQ(host->forms[0].fields[0].type, framework::DialogField::Type::file);
    EXPECT_EQ(host->forms[0].fields[0].text, "");
    EXPECT_EQ(host->forms[1].message, "Control file");
    EXPECT_EQ(host->forms[1].fields[0].text, "ctl.txt");

    // Loading again asks again and proposes the last answer; OK with an empty
    // name still appends the space.
    host->form_answers = {framework::RecordingUiHost::FormAnswer{""},
                          framework::RecordingUiHost::FormAnswer{"b c.txt"}};
    a.SelectConfiguration(2, "s");
    EXPECT_EQ(host->forms[2].fields[0].text, "ctl.txt");
    EXPECT_EQ(a.m_commands[2][0].text, "  synth");
    EXPECT_EQ(a.m_commands[2][1].text, "play b c.txt");
    EXPECT_EQ(a.m_strAskedFile, "b c.txt");
}

TEST_F(CoreTest, core_DoneMarksSurviveReloadingAndLongLinesStayWhole) {
    std::string long_word(5000, 'w');
    Config("1l.txt", "first\n" + long_word + " $ARG(" + std::string(400, 'a') + ")\n");
    CTaloriaApp& a = Start();
    a.SelectConfiguration(0, "l");
    a.m_commands[0][0].done = 1;
    a.SelectConfiguration(0, "l");
    EXPECT_EQ(a.m_commands[0][0].done, 1);
    EXPECT_EQ(a.m_commands[0][1].text, long_word);
    EXPECT_EQ(a.m_commands[0][1].arg.size(), 400u);

    std::string many;
    for (int i = 0; i < 150; ++i) many += "cmd" + std::to_string(i) + "\n";
    Config("1l.txt", many);
    a.SelectConfiguration(0, "l");
    EXPECT_EQ(a.m_nCommands[0], 150);
    EXPECT_EQ(a.m_commands[0][149].text, "cmd149");
}

TEST_F(CoreTest, core_DocumentsOpenAndSaveAsText) {
    CTaloriaApp& a = Start();
    CTaloriaDoc& doc = Doc();
    Spit(root + "/crlf.txt", "one\r\n\r\nthree\r\nlast");
    ASSERT_NE(a.OpenDocumentFile(root + "/crlf.txt"), nullptr);
    EXPECT_EQ(doc.m_strInputText, "one\n\nthree\nlast");
    EXPECT_EQ(doc.m_strPage, app_dir + "/html/synthesis.htm");
    EXPECT_EQ(Slurp(app_dir + "/html/input.htm").find("<form>\none\n\nthree\nlast\n"), 0u);

    // Saving writes every line with a line-feed, blank lines in place.
    ASSERT_EQ(doc.OnSaveDocument(root + "/saved.txt"), 1);
    EXPECT_EQ(Slurp(root + "/saved.txt"), "one\n\nthree\nlast\n");
    const std::pair<std::string, std::string> saves[] = {
        {"", ""}, {"a\n", "a\n"}, {"\n\n", "\n\n"}, {"x\n\ny", "x\n\ny\n"}};
    for (const auto& [text, file] : saves) {
        doc.m_strInputText = text;
        ASSERT_EQ(doc.OnSaveDocument(root + "/saved.txt"), 1);
        EXPECT_EQ(Slurp(root + "/saved.txt"), file) << text;
    }

    // Failures keep both the document and the file on disk as they were.
    host->messages.clear();
    EXPECT_EQ(a.OpenDocumentFile(root + "/missing.txt"), nullptr);
    EXPECT_EQ(doc.m_strInputText, "x\n\ny");
    EXPECT_EQ(doc.OnSaveDocument(root + "/no/such/dir/file.txt"), 0);
    EXPECT_THAT(host->messages, ElementsAre("Unable to open '" + root + "/missing.txt'",
                                            "Unable to open '" + root + "/no/such/dir/file.txt'"));
    EXPECT_EQ(a.OpenDocumentFile(root), nullptr);  // a directory is not a document
}

TEST_F(CoreTest, core_PageWriterReplacesWholeMarkerLinesOnly) {
    Start();
    CTaloriaDoc& doc = Doc();
    struct Case {
        std::string tmpl;
        std::string page;
    };
    const Case cases[] = {
        {"%1\n", "ONE\n"},
        {"%1 \n %2\n", "%1 \n %2\n"},
        {"a %3 b\n%3\n%3\n", "a %3 b\nTHREE\nTHREE\n"},
        {"%4\n%4", "\n%4"},
        {"%1\r\n%2\r\nx\r\n", "ONE\n<b>&\nx\n"},
        {"%5\n%%1\n", "%5\n%%1\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        Spit(root + "/t.htt", c.tmpl);
        ASSERT_EQ(doc.WritePage(root + "/t.htt", root + "/t.htm", "ONE", "<b>&", "THREE", ""), 1);
        EXPECT_EQ(Slurp(root + "/t.htm"), c.page) << c.tmpl;
    }
    host->messages.clear();
    Spit(root + "/t.htm", "kept");
    EXPECT_EQ(doc.WritePage(root + "/none.htt", root + "/t.htm", "", "", "", ""), 0);
    EXPECT_EQ(doc.WritePage(root + "/t.htt", root + "/nodir/t.htm", "", "", "", ""), 0);
    EXPECT_THAT(host->messages, ElementsAre("Unable to open '" + root + "/none.htt'",
                                            "Unable to open '" + root + "/nodir/t.htm'"));
    EXPECT_EQ(Slurp(root + "/t.htm"), "kept");
}

TEST_F(CoreTest, core_InputPageListsEachStageWithTheSelection) {
    Config("2alpha.txt", "cat\n");
    Config("2beta.txt", "cat\n");
    Config("3gamma.txt", "cat\n");
    CTaloriaApp& a = Start();
    a.SelectConfiguration(1, "beta");
    a.m_strStageConfig[2] = "not in the catalogue";
    Spit(app_dir + "/html/input.htt", "%1\n[%2]\n%2\n%3\n%4\n");
    Doc().m_strInputText = "<p>hi</p>";
    Doc().WriteInputPage();
    EXPECT_EQ(Slurp(app_dir + "/html/input.htm"),
              "<p>hi</p>\n[%2]\n\n"
              "<option>alpha</option>\r\n<option selected>beta</option>\r\n\n"
              "<option>gamma</option>\r\n\n");
}

TEST_F(CoreTest, core_ConfigurationNamesAreListedAsTheBrowserMustShowThem) {
    // Names are file names: markup or references in them must show and post back as is.
    Config("1a<b>c.txt", "cat\n");
    Config("1R&amp;D.txt", "cat\n");
    CTaloriaApp& a = Start();
    a.SelectConfiguration(0, "a<b>c");
    EXPECT_EQ(CTaloriaDoc::OptionList(0),
              "<option>R&amp;amp;D</option>\r\n<option selected>a&lt;b>c</option>\r\n");
    EXPECT_EQ(HtmlText("</x>&&lt;\"'"), "&lt;/x>&amp;&amp;lt;\"'");
}

TEST_F(CoreTest, core_InputTextReachesTheTextFieldExactlyAsTyped) {
    Start();
    Spit(app_dir + "/html/input.htt", "<textarea>\n%1\n</textarea>\n");
    // Markup stays as typed; only what the field would decode or end on is written as a
    // reference, which the field shows as the original characters.
    const std::pair<std::string, std::string> cases[] = {
        {"<b>bold</b> & <i>x</i>", "<b>bold</b> & <i>x</i>"},
        {"a</textarea><script>x()</script>", "a&lt;/textarea><script>x()</script>"},
        {"</TextArea\n</textare", "&lt;/TextArea\n</textare"},
        {"AT&amp;T &#65; &x1; &", "AT&amp;amp;T &amp;#65; &amp;x1; &"},
        {"?a=1&b=2 R&D &notion &copy2", "?a=1&b=2 R&D &amp;notion &amp;copy2"},
        {"", ""},
    };
    for (const auto& [text, written] : cases) {
        Doc().m_strInputText = text;
        Doc().WriteInputPage();
        EXPECT_EQ(Slurp(app_dir + "/html/input.htm"), "<textarea>\n" + written + "\n</textarea>\n")
            << text;
        EXPECT_EQ(Doc().m_strInputText, text);
    }
}

}  // namespace
}  // namespace core_test
