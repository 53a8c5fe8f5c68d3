// Checks of temporary files beside a target: place, name, permission bits.
#include "temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class tempfile_beside : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tempfile_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static mode_t ModeOf(const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_mode & 07777;
    }

    fs::path dir_;
};

TEST_F(tempfile_beside, TakesTheModeOfTheFileItWillReplace) {
    const std::string target = (dir_ / "page.htm").string();
    std::ofstream(target) << "old";
    ::chmod(target.c_str(), 0640);
    std::string temp;
    const int fd = tempfile::create_beside(target, "", temp);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs::path(temp).parent_path(), dir_);
    EXPECT_EQ(fs::path(temp).filename().string().rfind(".page.htm.", 0), 0u);
    EXPECT_EQ(ModeOf(temp), 0640u);
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ::close(fd);
}

TEST_F(tempfile_beside, NewTargetsGetTheUmaskModeAndKeepTheSuffix) {
    const mode_t old_mask = ::umask(027);
    std::string temp;
    const int fd = tempfile::create_beside((dir_ / "voice.wav").string(), ".wav", temp);
    ::umask(old_mask);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(ModeOf(temp), 0640u);
    EXPECT_EQ(fs::path(temp).extension(), ".wav");
    // Two calls never share a file.
    std::string other;
    const int second = tempfile::create_beside((dir_ / "voice.wav").string(), ".wav", other);
    ASSERT_GE(second, 0);
    ::close(second);
    EXPECT_NE(temp, other);
}

TEST_F(tempfile_beside, ABareNameIsInTheCurrentFolderAndAMissingFolderFails) {
    const fs::path old = fs::current_path();
    fs::current_path(dir_);
    std::string temp;
    const int fd = tempfile::create_beside("out.raw", "", temp);
    fs::current_path(old);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(temp.rfind("./.out.raw.", 0), 0u);
    EXPECT_TRUE(fs::exists(dir_ / temp));
    EXPECT_EQ(tempfile::create_beside((dir_ / "gone/out.raw").string(), "", temp), -1);
}

}  // namespace
