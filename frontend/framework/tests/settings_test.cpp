// Tests of the settings file, the application base and the document base.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app.h"
#include "file_io.h"
#include "ini_file.h"
#include "ui_host_recording.h"

namespace framework {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "framework-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    std::string path;
};

std::string Slurp(const std::string& path) {
    std::string data;
    ReadBinaryFile(path, data);
    return data;
}

TEST(framework_Ini, ValuesRoundTripWhateverTheyHold) {
    const std::string values[] = {
        "",     "plain",          " leading", "trailing ",    "\"quoted\"",
        "a\\b", "two\nlines\r\n", "x=y;z",    "\\n literally"};
    IniFile out;
    for (size_t i = 0; i < std::size(values); ++i) out.Set("S", "K" + std::to_string(i), values[i]);
    IniFile in;
    ASSERT_TRUE(in.Parse(out.Format()));
    for (size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(in.Get("S", "K" + std::to_string(i)), values[i]) << i;
    }
    EXPECT_FALSE(in.Get("S", "missing").has_value());
    EXPECT_FALSE(in.Get("Other", "K0").has_value());
}

TEST(framework_Ini, AcceptsHandWrittenFilesAndRefusesCorruptOnes) {
    IniFile ini;
    ASSERT_TRUE(
        ini.Parse("; comment\r\n\r\n[Config]\r\n OldConsole = 1 \r\nStage1=a b\r\n"
                  "[Config]\nStage1=later\n"));
    EXPECT_EQ(ini.Get("Config", "OldConsole"), "1");
    EXPECT_EQ(ini.Get("Config", "Stage1"), "later");

    for (const char* bad :
         {"Stage1=x\n", "[Config\nA=1\n", "[Config]\njunk line\n", "[Config]\n=1\n"}) {
        EXPECT_FALSE(ini.Parse(bad)) << bad;
        EXPECT_FALSE(ini.Get("Config", "OldConsole").has_value());
    }
    EXPECT_FALSE(ini.Parse(std::string("[Config]\nA=\0\n", 12)));
}

TEST(framework_Ini, ASectionWithABlankNameReadsBackAfterASave) {
    // "[ ]" names the empty section; the saved file writes it as "[]", which
    // must read back, or every setting would be lost at the next start.
    for (const char* text : {"[ ]\nk=v\n", "[]\nk=v\n", "[\t]\n[Config]\nStage1=x\n[]\nk=v\n"}) {
        IniFile first;
        ASSERT_TRUE(first.Parse(text)) << text;
        IniFile again;
        ASSERT_TRUE(again.Parse(first.Format())) << text;
        EXPECT_EQ(again.Get("", "k"), first.Get("", "k")) << text;
        EXPECT_EQ(again.Format(), first.Format()) << text;
    }
    EXPECT_EQ(IniFile().Parse("[\n"), false);
}

TEST(framework_App, SettingsRoundTripAndRecentFilesAtExit) {
    TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
    {
        CWinApp app("Taloria 2");
        app.SetRegistryKey("Taloria");
        EXPECT_EQ(app.GetProfilePath(), dir.path + "/Taloria/Taloria 2.ini");
        EXPECT_EQ(app.GetProfileLoadResult(), IniFile::LoadResult::Missing);
        app.LoadStdProfileSettings(4);
        EXPECT_EQ(app.GetProfileInt("Config", "OldConsole", 0), 0);
        EXPECT_EQ(app.GetProfileString("Config", "Stage1", ""), "");
        app.WriteProfileInt("Config", "OldConsole", 1);
        app.WriteProfileString("Config", "Stage1", "English text");
        for (const char* name : {"/a", "/b", "/c", "/d", "/e", "/b"}) app.AddToRecentFileList(name);
        EXPECT_EQ(app.GetRecentFiles(), (std::vector<std::string>{"/b", "/e", "/d", "/c"}));
        // Nothing reaches the file before the program ends normally.
        EXPECT_FALSE(fs::exists(app.GetProfilePath()));
        EXPECT_EQ(app.ExitInstance(), 0);
    }
    CWinApp app("Taloria 2");
    app.SetRegistryKey("Taloria");
    app.LoadStdProfileSettings(4);
    EXPECT_EQ(app.GetProfileLoadResult(), IniFile::LoadResult::Loaded);
    EXPECT_EQ(app.GetProfileInt("Config", "OldConsole", 0), 1);
    EXPECT_EQ(app.GetProfileString("Config", "Stage1", ""), "English text");
    EXPECT_EQ(app.GetRecentFiles(), (std::vector<std::string>{"/b", "/e", "/d", "/c"}));
    std::string text = Slurp(app.GetProfilePath());
    EXPECT_NE(text.find("[Config]\n"), std::string::npos);
    EXPECT_NE(text.find("[Recent File List]\nFile1=/b\nFile2=/e\nFile3=/d\nFile4=/c\n"),
              std::string::npos);
}

TEST(framework_App, CorruptOrUnreadableSettingsGiveDefaultsAndAreReplacedWhole) {
    TempDir dir;
    std::string path = dir.path + "/Taloria 2.ini";
    std::ofstream(path) << "[Config]\nOldConsole=1\nthis is not a setting\n";
    CWinApp app("Taloria 2");
    app.SetProfilePath(path);
    EXPECT_EQ(app.GetProfileLoadResult(), IniFile::LoadResult::Corrupt);
    EXPECT_EQ(app.GetProfileInt("Config", "OldConsole", 0), 0);
    app.WriteProfileString("Config", "Stage2", "fast");
    EXPECT_EQ(app.ExitInstance(), 0);
    IniFile back;
    ASSERT_EQ(back.Load(path), IniFile::LoadResult::Loaded);
    EXPECT_EQ(back.Get("Config", "Stage2"), "fast");
    EXPECT_FALSE(back.Get("Config", "OldConsole").has_value());

    // A value that is not a number gives the default.
    app.WriteProfileString("Config", "OldConsole", "yes");
    EXPECT_EQ(app.GetProfileInt("Config", "OldConsole", 0), 0);

    // A settings folder that cannot be written keeps the old file and says so.
    if (::geteuid() != 0) {
        ::chmod(dir.path.c_str(), 0500);
        RecordingUiHost host;
        ScopedUiHost scoped(host);
        EXPECT_EQ(app.ExitInstance(), 1);
        ::chmod(dir.path.c_str(), 0700);
        EXPECT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(back.Load(path), IniFile::LoadResult::Loaded);
        EXPECT_EQ(back.Get("Config", "Stage2"), "fast");
    }
}

TEST(framework_App, TemporaryFilesOfAKilledSaveAreRemovedAtTheNextStart) {
    TempDir dir;
    const std::string path = dir.path + "/Taloria 2.ini";
    std::ofstream(path) << "[Config]\nOldConsole=1\n";
    // What a save killed between its temporary file and the rename leaves behind.
    for (const char* name : {".Taloria 2.ini.Ab12Cd", ".Taloria 2.ini.zzzzzz"})
        std::ofstream(dir.path + "/" + name) << "[Config]\nOldConsole=0\n";
    // Files that only look alike stay.
    for (const char* name : {".Taloria 2.ini.keep", ".Other.ini.Ab12Cd", "Taloria 2.ini.Ab12Cd"})
        std::ofstream(dir.path + "/" + name) << "x";
    CWinApp app("Taloria 2");
    app.SetProfilePath(path);
    EXPECT_EQ(app.GetProfileInt("Config", "OldConsole", 0), 1);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".Other.ini.Ab12Cd", ".Taloria 2.ini.keep",
                                              "Taloria 2.ini", "Taloria 2.ini.Ab12Cd"}));
}

TEST(framework_FileIo, AtomicWriteReplacesWholeOrNotAtAll) {
    TempDir dir;
    std::string path = dir.path + "/doc.txt";
    ASSERT_TRUE(WriteFileAtomic(path, "first"));
    ::chmod(path.c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomic(path, "second"));
    EXPECT_EQ(Slurp(path), "second");
    struct stat info {};
    ::stat(path.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    // Through a symbolic link the target is replaced and the link stays.
    fs::create_symlink(path, dir.path + "/link.txt");
    ASSERT_TRUE(WriteFileAtomic(dir.path + "/link.txt", "third"));
    EXPECT_TRUE(fs::is_symlink(dir.path + "/link.txt"));
    EXPECT_EQ(Slurp(path), "third");
    // A missing folder fails without leaving anything behind.
    EXPECT_FALSE(WriteFileAtomic(dir.path + "/no/such/file", "x"));
    size_t entries = 0;
    for (auto& entry : fs::directory_iterator(dir.path)) (void)entry, ++entries;
    EXPECT_EQ(entries, 2u);

    std::string text;
    std::ofstream(path, std::ios::binary) << "a\r\nb\rc\r\n\r\n";
    ASSERT_TRUE(ReadTextFile(path, text));
    EXPECT_EQ(text, "a\nb\rc\n\n");
    EXPECT_FALSE(ReadTextFile(dir.path, text));
    // A named pipe with no writer is refused at once instead of holding the reader.
    ASSERT_EQ(::mkfifo((dir.path + "/pipe").c_str(), 0600), 0);
    EXPECT_FALSE(ReadTextFile(dir.path + "/pipe", text));
    EXPECT_EQ(SplitLines("a\n\nb"), (std::vector<std::string>{"a\n", "\n", "b"}));
}

class TestView : public CView {
public:
    void OnUpdate(CView*, long, void*) override { ++updates; }
    int updates = 0;
};

class TestDoc : public CDocument {
public:
    BOOL OnOpenDocument(const std::string& path) override {
        return ReadBinaryFile(path, content) ? 1 : 0;
    }
    BOOL OnSaveDocument(const std::string& path) override {
        return WriteFileAtomic(path, content) ? 1 : 0;
    }
    std::string content;
};

TEST(framework_Document, NewOpenSaveAndRecentFilesThroughTheApplication) {
    TempDir dir;
    RecordingUiHost host;
    ScopedUiHost scoped(host);
    CWinApp app("Taloria 2");
    EXPECT_EQ(AfxGetApp(), &app);
    app.SetProfilePath(dir.path + "/settings.ini");
    app.LoadStdProfileSettings(4);
    TestView view;
    app.m_attachViews = [&](CDocument& document) { document.AddView(&view); };
    app.AddDocTemplate([] { return std::make_unique<TestDoc>(); }, "Talor");
    EXPECT_EQ(app.OnFileSave(), 0);  // no document yet

    ASSERT_EQ(app.OnFileNew(), 1);
    auto* doc = static_cast<TestDoc*>(app.GetDocument());
    EXPECT_EQ(view.GetDocument(), doc);
    EXPECT_EQ(doc->GetTitle(), "Talor");
    doc->UpdateAllViews(nullptr);
    doc->UpdateAllViews(&view);  // the sender is not told
    EXPECT_EQ(view.updates, 1);

    // Save of an untitled document asks for a name; Cancel saves nothing.
    doc->content = "hello";
    EXPECT_EQ(app.OnFileSave(), 0);
    host.file_save_answers.push_back(dir.path + "/one.txt");
    EXPECT_EQ(app.OnFileSave(), 1);
    EXPECT_EQ(doc->GetPathName(), dir.path + "/one.txt");
    EXPECT_EQ(doc->GetTitle(), "one.txt");
    EXPECT_EQ(Slurp(dir.path + "/one.txt"), "hello");
    EXPECT_EQ(host.file_save_count, 2);
    // A second Save goes to the same file without asking.
    doc->content = "again";
    EXPECT_EQ(app.OnFileSave(), 1);
    EXPECT_EQ(host.file_save_count, 2);

    host.file_open_answers.push_back(dir.path + "/one.txt");
    ASSERT_EQ(app.OnFileNew(), 1);
    EXPECT_EQ(app.GetDocument(), doc);  // one document, reused
    EXPECT_EQ(app.OnFileOpen(), 1);
    EXPECT_EQ(doc->content, "again");
    EXPECT_EQ(app.GetRecentFiles(), (std::vector<std::string>{dir.path + "/one.txt"}));

    // A recent file that is gone is taken off the list.
    fs::remove(dir.path + "/one.txt");
    EXPECT_EQ(app.OnFileMRU(0), 0);
    EXPECT_TRUE(app.GetRecentFiles().empty());
    EXPECT_EQ(app.ProcessShellCommand(dir.path + "/missing"), 0);
}

}  // namespace
}  // namespace framework
