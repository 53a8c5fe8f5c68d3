// The choice of the application directory and the per-user copy with its
// update rule, on real folders.
#include "app_directory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class AppDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("appdir_test_" + std::to_string(getpid()));
        fs::remove_all(root_);
        shipped_ = root_ / "share/taloria/appdata";
        user_ = root_ / "data/Taloria";
        Write(shipped_ / "config/1Typed_text.txt", "$INPUT $TEXT\n");
        Write(shipped_ / "html/system.htt", "<p>%1\n");
        Write(shipped_ / "help/index.html", "<h1>Help</h1>\n");
        // Beside the three folders: not app data, never copied.
        Write(shipped_ / "README.md", "# app data\n");
    }
    void TearDown() override { fs::remove_all(root_); }

    static void Write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    appdir::SyncReport Sync() {
        return appdir::SyncApplicationDirectory(shipped_.string(), user_.string());
    }

    fs::path root_, shipped_, user_;
};

TEST_F(AppDirectoryTest, ChoosesTheGivenTheCurrentOrThePerUserDirectory) {
    const std::string bin = (root_ / "bin").string();
    // --appdir is used as it is; with --appdata it is made from that data.
    EXPECT_EQ(appdir::ChooseApplicationDirectory("/some/dir", "", "/x", bin).dir, "/some/dir");
    EXPECT_EQ(appdir::ChooseApplicationDirectory("/some/dir", "", "/x", bin).shipped, "");
    EXPECT_EQ(appdir::ChooseApplicationDirectory("/some/dir", "/ship", "/x", bin).shipped, "/ship");
    // Started inside an application directory: that one, untouched.
    const appdir::Choice inside =
        appdir::ChooseApplicationDirectory("", "", shipped_.string(), bin);
    EXPECT_EQ(inside.dir, shipped_.string());
    EXPECT_EQ(inside.shipped, "");
    // Anywhere else: the per-user directory, made from the installed app data.
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    const appdir::Choice elsewhere =
        appdir::ChooseApplicationDirectory("", "", root_.string(), bin);
    EXPECT_EQ(elsewhere.dir, user_.string());
    EXPECT_EQ(elsewhere.shipped, shipped_.string());
    // A relative XDG_DATA_HOME is not taken, as the base-directory rules say.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    setenv("HOME", root_.c_str(), 1);
    EXPECT_EQ(appdir::UserApplicationDirectory(), (root_ / ".local/share/Taloria").string());
    unsetenv("XDG_DATA_HOME");
}

TEST_F(AppDirectoryTest, FirstStartCopiesEverythingAndLaterStartsChangeNothing) {
    const appdir::SyncReport first = Sync();
    ASSERT_EQ(first.error, "");
    EXPECT_EQ(first.copied, (std::vector<std::string>{"config/1Typed_text.txt", "help/index.html",
                                                      "html/system.htt"}));
    EXPECT_TRUE(appdir::IsApplicationDirectory(user_.string()));
    EXPECT_EQ(Read(user_ / "html/system.htt"), "<p>%1\n");
    EXPECT_TRUE(fs::exists(user_ / appdir::kManifestName));

    // The user's own files (outputs of runs, new configurations) are never touched.
    Write(user_ / "html/output0-0.txt", "mine");
    const appdir::SyncReport second = Sync();
    EXPECT_EQ(second.error, "");
    EXPECT_TRUE(second.copied.empty());
    EXPECT_TRUE(second.updated.empty());
    EXPECT_TRUE(second.kept.empty());
    EXPECT_EQ(Read(user_ / "html/output0-0.txt"), "mine");
}

TEST_F(AppDirectoryTest, UpdatesUnchangedFilesKeepsEditedOnesAndSaysItOnce) {
    ASSERT_EQ(Sync().error, "");
    Write(user_ / "config/1Typed_text.txt", "$INPUT $TEXT\n? my own help\n");
    // A newer installed version changes both files and brings a new one.
    Write(shipped_ / "config/1Typed_text.txt", "$INPUT $TEXT\n? Typed text\n");
    Write(shipped_ / "html/system.htt", "<p>%1 %2\n");
    Write(shipped_ / "help/macros.html", "<h1>Macros</h1>\n");

    const appdir::SyncReport update = Sync();
    ASSERT_EQ(update.error, "");
    EXPECT_EQ(update.updated, std::vector<std::string>{"html/system.htt"});
    EXPECT_EQ(update.copied, std::vector<std::string>{"help/macros.html"});
    EXPECT_EQ(update.kept, std::vector<std::string>{"config/1Typed_text.txt"});
    EXPECT_EQ(Read(user_ / "html/system.htt"), "<p>%1 %2\n");
    EXPECT_EQ(Read(user_ / "config/1Typed_text.txt"), "$INPUT $TEXT\n? my own help\n");
    const std::string message = appdir::KeptFilesMessage(update, user_.string());
    EXPECT_NE(message.find("config/1Typed_text.txt"), std::string::npos);

    // Said once: the next start is quiet, until a still newer version comes.
    EXPECT_TRUE(Sync().kept.empty());
    EXPECT_EQ(appdir::KeptFilesMessage(Sync(), user_.string()), "");
    Write(shipped_ / "config/1Typed_text.txt", "$INPUT $TEXT\n? Typed text, v3\n");
    EXPECT_EQ(Sync().kept, std::vector<std::string>{"config/1Typed_text.txt"});

    // Once the user's file equals the shipped one again, it follows later versions.
    Write(user_ / "config/1Typed_text.txt", "$INPUT $TEXT\n? Typed text, v3\n");
    ASSERT_EQ(Sync().error, "");
    Write(shipped_ / "config/1Typed_text.txt", "$INPUT $TEXT\n? Typed text, v4\n");
    EXPECT_EQ(Sync().updated, std::vector<std::string>{"config/1Typed_text.txt"});
}

TEST_F(AppDirectoryTest, AnOlderCopyWithoutManifestKeepsWhatDiffersAndGetsWhatIsMissing) {
    // A working copy made by plain copying, before there was a manifest.
    Write(user_ / "config/1Typed_text.txt", "$INPUT $TEXT\n");
    Write(user_ / "html/system.htt", "<p>edited\n");
    const appdir::SyncReport report = Sync();
    ASSERT_EQ(report.error, "");
    EXPECT_EQ(report.copied, std::vector<std::string>{"help/index.html"});
    EXPECT_EQ(report.kept, std::vector<std::string>{"html/system.htt"});
    EXPECT_EQ(Read(user_ / "html/system.htt"), "<p>edited\n");

    // A shipped file the user removed is needed by the program: it comes back.
    fs::remove(user_ / "help/index.html");
    EXPECT_EQ(Sync().copied, std::vector<std::string>{"help/index.html"});
}

TEST_F(AppDirectoryTest, AppDataOfLinkedFoldersIsCopiedUnderItsOwnNames) {
    // The build folder's app data links to the sources' folders.
    const fs::path linked = root_ / "build/share/taloria/appdata";
    fs::create_directories(linked);
    for (const char* dir : {"config", "html", "help"})
        fs::create_directory_symlink(shipped_ / dir, linked / dir);
    const appdir::SyncReport report =
        appdir::SyncApplicationDirectory(linked.string(), user_.string());
    ASSERT_EQ(report.error, "");
    EXPECT_EQ(report.copied, (std::vector<std::string>{"config/1Typed_text.txt", "help/index.html",
                                                       "html/system.htt"}));
    EXPECT_FALSE(fs::is_symlink(user_ / "config"));
}

TEST_F(AppDirectoryTest, MissingAppDataOrAnUnwritableDirectoryIsAnError) {
    fs::remove_all(shipped_ / "help");
    EXPECT_NE(Sync().error.find("needs config/, html/ and help/"), std::string::npos);
    Write(shipped_ / "help/index.html", "<h1>Help</h1>\n");
    // A file where the directory should be.
    Write(root_ / "blocked", "x");
    const appdir::SyncReport blocked =
        appdir::SyncApplicationDirectory(shipped_.string(), (root_ / "blocked").string());
    EXPECT_FALSE(blocked.error.empty());
}

}  // namespace
