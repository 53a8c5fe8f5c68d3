// Start-up token, header checks and served-path confinement of the bridge.
#include "security.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace shell {

std::string make_token() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) throw std::runtime_error("no random bytes for the start-up token");
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

bool equal_in_constant_time(const std::string& a, const std::string& b) {
    // Walk the longer string entirely so the time does not depend on where the
    // first difference lies.
    std::size_t n = a.size() > b.size() ? a.size() : b.size();
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

bool host_is_own(const std::string& host, int port) {
    const std::string suffix = ":" + std::to_string(port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (host == std::string(name) + suffix) return true;
    }
    return false;
}

bool origin_is_own(const std::string& origin, int port) {
    const std::string prefix = "http://";
    if (origin.compare(0, prefix.size(), prefix) != 0) return false;
    return host_is_own(origin.substr(prefix.size()), port);
}

bool referer_is_own(const std::string& referer, int port) {
    const std::size_t scheme_end = referer.find("://");
    if (scheme_end == std::string::npos) return false;
    const std::size_t path_start = referer.find('/', scheme_end + 3);
    return origin_is_own(referer.substr(0, path_start), port);
}

std::vector<std::string> header_values(const std::string& head, const std::string& name) {
    std::vector<std::string> values;
    std::size_t line = head.find('\n');  // the request line is no header
    while (line != std::string::npos && line + 1 < head.size()) {
        const std::size_t start = line + 1;
        line = head.find('\n', start);
        const std::size_t end = line == std::string::npos ? head.size() : line;
        const std::size_t colon = head.find(':', start);
        if (colon == std::string::npos || colon >= end || colon - start != name.size()) continue;
        if (!std::equal(name.begin(), name.end(), head.begin() + static_cast<std::ptrdiff_t>(start),
                        [](char a, char b) {
                            return std::tolower(static_cast<unsigned char>(a)) ==
                                   std::tolower(static_cast<unsigned char>(b));
                        })) {
            continue;
        }
        std::size_t value_start = colon + 1;
        std::size_t value_end = end;
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (value_start < value_end && blank(head[value_start])) ++value_start;
        while (value_end > value_start && blank(head[value_end - 1])) --value_end;
        values.push_back(head.substr(value_start, value_end - value_start));
    }
    return values;
}

namespace {

bool EndsWithNoCase(const std::string& text, const std::string& ending) {
    if (text.size() < ending.size()) return false;
    return std::equal(ending.begin(), ending.end(),
                      text.end() - static_cast<std::ptrdiff_t>(ending.size()), [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

}  // namespace

bool is_app_page(const std::string& app_dir_real, const std::string& real_path) {
    // Text and XML are data wherever they lie.
    if (EndsWithNoCase(real_path, ".txt") || EndsWithNoCase(real_path, ".xml")) return false;
    const std::string help = app_dir_real + "/help/";
    if (real_path.compare(0, help.size(), help) == 0) return true;
    const std::string html = app_dir_real + "/html/";
    if (real_path.compare(0, html.size(), html) != 0) return false;
    const std::string name = real_path.substr(html.size());
    if (name == "synthesis.htm" || name == "welcome.htm") return true;
    if (name.find('/') != std::string::npos || name.size() < 5 ||
        name.compare(name.size() - 4, 4, ".htm") != 0)
        return false;
    struct stat info {};
    const std::string page_template = real_path.substr(0, real_path.size() - 4) + ".htt";
    return stat(page_template.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> resolve_served_file(const std::string& app_dir_real,
                                               const std::string& url_path) {
    if (url_path.empty() || url_path[0] != '/') return std::nullopt;
    if (url_path.find('\0') != std::string::npos) return std::nullopt;
    // Refuse any ".." segment outright, even one that would stay inside after
    // resolution: a request that tries to climb is not an ordinary page request.
    std::size_t start = 0;
    while (start <= url_path.size()) {
        std::size_t end = url_path.find('/', start);
        if (end == std::string::npos) end = url_path.size();
        if (url_path.compare(start, end - start, "..") == 0 && end - start == 2)
            return std::nullopt;
        start = end + 1;
    }
    char resolved[PATH_MAX];
    if (realpath(url_path.c_str(), resolved) == nullptr) return std::nullopt;
    std::string real(resolved);
    if (real.size() <= app_dir_real.size() ||
        real.compare(0, app_dir_real.size(), app_dir_real) != 0 ||
        (app_dir_real != "/" && real[app_dir_real.size()] != '/')) {
        return std::nullopt;
    }
    struct stat info {};
    if (stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return real;
}

std::string cookie_value(const std::string& cookie_header, const std::string& name) {
    std::size_t pos = 0;
    while (pos < cookie_header.size()) {
        std::size_t end = cookie_header.find(';', pos);
        if (end == std::string::npos) end = cookie_header.size();
        std::size_t a = pos;
        while (a < end && cookie_header[a] == ' ') ++a;
        std::size_t eq = cookie_header.find('=', a);
        if (eq != std::string::npos && eq < end && cookie_header.compare(a, eq - a, name) == 0 &&
            eq - a == name.size()) {
            return cookie_header.substr(eq + 1, end - eq - 1);
        }
        pos = end + 1;
    }
    return {};
}

}  // namespace shell
