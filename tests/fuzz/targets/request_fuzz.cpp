// Fuzz target: the checks that keep the front end's HTTP bridge private: the
// Host and Origin headers, the token cookie and the confinement of served
// files to the application directory.
//
// Input: Host header, Origin header, Cookie header and URL path, separated by
// 0xFF bytes. A path that does not start with '/' is taken relative to a
// scratch application directory holding a page, a folder, a link that leads
// out of it and a file just outside it.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "file_io.h"
#include "fuzz_support.h"
#include "security.h"

namespace {

constexpr int kPort = 8642;

std::string make_app_dir() {
    namespace fs = std::filesystem;
    const std::string outside = fuzz::scratch_folder() + "/outside";
    const std::string app = outside + "/app";
    fs::create_directories(app + "/html/sub");
    framework::WriteFileInPlace(outside + "/secret.txt", "secret");
    framework::WriteFileInPlace(app + "/html/input.htm", "<p>page</p>");
    framework::WriteFileInPlace(app + "/html/sub/speech.wav", "RIFF");
    std::error_code ignored;
    fs::create_symlink("..", app + "/up", ignored);
    fs::create_symlink(outside + "/secret.txt", app + "/html/secret-link.txt", ignored);
    fs::create_symlink("input.htm", app + "/html/alias.htm", ignored);
    char real[PATH_MAX];
    fuzz::check(::realpath(app.c_str(), real) != nullptr, "no application directory");
    return real;
}

bool is_own_host(const std::string& host) {
    const std::string port = ":" + std::to_string(kPort);
    return host == "127.0.0.1" + port || host == "localhost" + port || host == "[::1]" + port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string app_dir = make_app_dir();
    std::string parts[4];
    fuzz::split_parts(data, size, '\xff', parts, 4);
    const std::string& host = parts[0];
    const std::string& origin = parts[1];
    const std::string& cookie = parts[2];

    fuzz::check(shell::host_is_own(host, kPort) == is_own_host(host), "a foreign Host passes");
    const bool own_origin = origin.rfind("http://", 0) == 0 && is_own_host(origin.substr(7));
    fuzz::check(shell::origin_is_own(origin, kPort) == own_origin, "a foreign Origin passes");

    const std::string value = shell::cookie_value(cookie, "taloria_token");
    fuzz::check(value.size() < cookie.size() || cookie.empty(),
                "a cookie value longer than its header");
    fuzz::check(value.empty() || cookie.find("taloria_token=" + value) != std::string::npos,
                "a cookie value that its header does not hold");
    fuzz::check(shell::equal_in_constant_time(value, value), "a token differs from itself");
    fuzz::check(!shell::equal_in_constant_time(value, value + "x"), "a longer token matches");

    const std::string path =
        !parts[3].empty() && parts[3][0] == '/' ? parts[3] : app_dir + "/" + parts[3];
    if (const auto served = shell::resolve_served_file(app_dir, path)) {
        fuzz::check(served->compare(0, app_dir.size() + 1, app_dir + "/") == 0,
                    "a file outside the application directory is served");
        char real[PATH_MAX];
        fuzz::check(::realpath(served->c_str(), real) != nullptr && *served == real,
                    "a served path is not resolved");
        struct stat info {};
        fuzz::check(::stat(real, &info) == 0 && S_ISREG(info.st_mode), "a served path is no file");
    }
    return 0;
}
