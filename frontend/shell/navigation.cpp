// Audio-link recognition and form-field decoding for the view.
#include "navigation.h"

#include <cctype>
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

// Length of the decimal number at the start of `text`: blanks, an optional
// sign, digits with an optional point, and an exponent only when digits follow
// its letter. 0 when no digit is found. Hexadecimal forms, "inf" and "nan"
// are not numbers here, so a fragment can never ask for an endless or
// undefined start time.
static std::size_t decimal_prefix_length(const std::string& text) {
    auto digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (digit(i)) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (digit(i)) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (digit(j)) {
            while (digit(j)) ++j;
            i = j;
        }
    }
    return i;
}

double audio_link_start_seconds(const std::string& url) {
    const std::size_t hash = url.rfind('#');
    const std::string text = hash == std::string::npos ? url : url.substr(hash + 1);
    const std::size_t length = decimal_prefix_length(text);
    if (length == 0) return 0.0;
    // The prefix is a plain decimal number, which strtod reads exactly; the
    // point is always '.', because the program never changes its locale.
    return std::strtod(text.substr(0, length).c_str(), nullptr);
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
