// Token, header checks and served-path confinement.
#include "security.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

TEST(shell_security, TokensAreLongRandomAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string token = shell::make_token();
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(shell_security, ConstantTimeCompareIsStillACompare) {
    EXPECT_TRUE(shell::equal_in_constant_time("abc", "abc"));
    EXPECT_TRUE(shell::equal_in_constant_time("", ""));
    EXPECT_FALSE(shell::equal_in_constant_time("abc", "abd"));
    EXPECT_FALSE(shell::equal_in_constant_time("abc", "abcd"));
    EXPECT_FALSE(shell::equal_in_constant_time("abc", ""));
    EXPECT_FALSE(shell::equal_in_constant_time(std::string("a\0c", 3), "a"));
}

TEST(shell_security, OnlyOwnHostAndOriginPass) {
    struct Case {
        const char* host;
        bool ok;
    };
    const Case hosts[] = {
        {"127.0.0.1:8123", true},
        {"localhost:8123", true},
        {"[::1]:8123", true},
        {"127.0.0.1", false},
        {"127.0.0.1:8124", false},
        {"evil.example:8123", false},
        {"127.0.0.1:8123.evil.example", false},
        {"LOCALHOST:8123", false},
        {"", false},
    };
    for (const Case& c : hosts) EXPECT_EQ(shell::host_is_own(c.host, 8123), c.ok) << c.host;
    EXPECT_TRUE(shell::origin_is_own("http://127.0.0.1:8123", 8123));
    EXPECT_TRUE(shell::origin_is_own("http://localhost:8123", 8123));
    EXPECT_FALSE(shell::origin_is_own("https://127.0.0.1:8123", 8123));
    EXPECT_FALSE(shell::origin_is_own("http://evil.example", 8123));
    EXPECT_FALSE(shell::origin_is_own("null", 8123));
}

TEST(shell_security, CookieValueFindsTheNamedCookieOnly) {
    EXPECT_EQ(shell::cookie_value("a=1; taloria_token=xyz; b=2", "taloria_token"), "xyz");
    EXPECT_EQ(shell::cookie_value("taloria_token=xyz", "taloria_token"), "xyz");
    EXPECT_EQ(shell::cookie_value("xtaloria_token=bad", "taloria_token"), "");
    EXPECT_EQ(shell::cookie_value("taloria_tokenx=bad", "taloria_token"), "");
    EXPECT_EQ(shell::cookie_value("", "taloria_token"), "");
}

class shell_served_paths : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("taloria-shell-paths-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "app/html");
        fs::create_directories(root_ / "outside");
        std::ofstream(root_ / "app/html/page.htm") << "page";
        std::ofstream(root_ / "outside/secret.txt") << "secret";
        fs::create_symlink(root_ / "outside/secret.txt", root_ / "app/html/link.txt");
        fs::create_directory_symlink(root_ / "outside", root_ / "app/out");
        fs::create_symlink(root_ / "app/html/page.htm", root_ / "app/html/inner.htm");
        app_ = fs::canonical(root_ / "app").string();
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
    std::string app_;
};

TEST_F(shell_served_paths, OnlyRegularFilesInsideAreServed) {
    EXPECT_EQ(shell::resolve_served_file(app_, app_ + "/html/page.htm"), app_ + "/html/page.htm");
    EXPECT_EQ(shell::resolve_served_file(app_, app_ + "/html/inner.htm"), app_ + "/html/page.htm");
    const std::string refused[] = {
        app_ + "/html/../html/page.htm",  // any climbing is refused
        app_ + "/../outside/secret.txt",
        app_ + "/html/link.txt",   // symlink to a file outside
        app_ + "/out/secret.txt",  // symlinked folder outside
        app_,                      // folders are never served or listed
        app_ + "/html",
        app_ + "/html/",
        app_ + "/html/missing.htm",
        root_.string() + "/outside/secret.txt",
        "/etc/passwd",
        "relative/page.htm",
        "",
        app_ + "/html/page.htm" + std::string(1, '\0') + ".txt",
    };
    for (const std::string& path : refused)
        EXPECT_FALSE(shell::resolve_served_file(app_, path)) << path;
}

TEST_F(shell_served_paths, AppDirectoryPrefixIsNotEnough) {
    // A sibling folder whose name starts with the app directory's name.
    fs::create_directories(root_ / "app2");
    std::ofstream(root_ / "app2/x.htm") << "x";
    EXPECT_FALSE(shell::resolve_served_file(app_, root_.string() + "/app2/x.htm"));
}

}  // namespace
