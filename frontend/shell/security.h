// Checks that keep the bridge private to its user: start-up token, Host and
// Origin headers, and confinement of served paths to the app directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace shell {

// A fresh random token of 32 hexadecimal digits (128 bits from the kernel's
// random source). Throws std::runtime_error when no random bytes can be had.
std::string make_token();

// Compares two strings in time that depends only on their lengths, so a
// guessing client learns nothing from how quickly it is refused.
bool equal_in_constant_time(const std::string& a, const std::string& b);

// True when `host` (a Host header) names this server: 127.0.0.1, localhost or
// [::1] with exactly `port`. An empty header is refused.
bool host_is_own(const std::string& host, int port);

// True when `origin` (an Origin header) is this server's own origin.
bool origin_is_own(const std::string& origin, int port);

// True when `referer` (a Referer header) is an address of this server's own origin.
bool referer_is_own(const std::string& referer, int port);

// Every value of header `name` (any letter case) in a raw request head, in
// order, blanks around each value removed; an empty value counts too.
std::vector<std::string> header_values(const std::string& head, const std::string& name);

// True when `real_path` (resolved, inside `app_dir_real`) is one of the app's
// own pages, which may run their scripts: a file under help/, a page of html/
// written from its template (html/NAME.htm beside html/NAME.htt), or the
// shipped frameset and welcome page; never a .txt or .xml file. Everything
// else (outputs, files that runs wrote, any other file) is data.
bool is_app_page(const std::string& app_dir_real, const std::string& real_path);

// Resolves a decoded URL path to a regular file inside `app_dir_real` (which
// must itself be a resolved path). Refuses "..", NUL bytes, symlinks that lead
// outside, directories and anything that does not exist.
std::optional<std::string> resolve_served_file(const std::string& app_dir_real,
                                               const std::string& url_path);

// The value of one cookie in a Cookie header, or empty when it is absent.
std::string cookie_value(const std::string& cookie_header, const std::string& name);

}  // namespace shell
