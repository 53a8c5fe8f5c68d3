// Audio-link recognition and form-field decoding for the view.
#include "navigation.h"

#include <cstdlib>

namespace shell {

std::string audio_link_file(const std::string& url) { return url.substr(0, url.find('#')); }

bool is_audio_link(const std::string& url) {
    const std::string name = audio_link_file(url);
    if (name.compare(0, 5, "http:") == 0) return false;
    if (name.compare(0, 7, "mailto:") == 0) return false;
    if (name.size() < 4) return false;
    const std::string ending = name.substr(name.size() - 4);
    return ending == ".wav" || ending == ".mp3";
}

double audio_link_start_seconds(const std::string& url) {
    const std::size_t hash = url.rfind('#');
    const std::string text = hash == std::string::npos ? url : url.substr(hash + 1);
    // strtod reads leading blanks, a sign, digits, a point and an exponent, and
    // stops at the first character that cannot continue the number.
    return std::strtod(text.c_str(), nullptr);
}

static int hex_digit_value(char c) {
    const int code = static_cast<unsigned char>(c);
    if (code < 'A') return code - '0';
    return (code >= 'a' && code <= 'z' ? code - 32 : code) - 55;
}

std::string decode_form_field(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < raw.size()) {
            const int value = hex_digit_value(raw[i + 1]) * 16 + hex_digit_value(raw[i + 2]);
            c = static_cast<char>(value & 0xFF);
            i += 2;
        }
        // A '%' with fewer than two characters after it stays as it is.
        if (c != '\r') out += c;
    }
    return out;
}

}  // namespace shell
