// Audio-link rules and form-field decoding of the view.
#include "navigation.h"

#include <gtest/gtest.h>

namespace {

TEST(shell_navigation, AudioLinksAreRecognisedByExactEnding) {
    struct Case {
        const char* url;
        bool audio;
    };
    const Case cases[] = {
        {"/app/html/output0-2.wav", true},
        {"/app/html/output0-2.wav#2.5", true},
        {"/app/html/song.mp3", true},
        {"/app/html/output0-2.WAV", false},  // case matters
        {"http://example.org/a.wav", false},
        {"mailto:someone@example.org?x.wav", false},
        {"HTTP://example.org/a.wav", true},   // only the lower-case prefix is excluded
        {"https://example.org/a.wav", true},  // https: does not match http:
        {"/app/html/output0-2.txt", false},
        {"/app/html/a.wav.txt#x.wav", false},  // only the part before '#' counts
        {"wav", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(shell::is_audio_link(c.url), c.audio) << c.url;
}

TEST(shell_navigation, StartTimeComesFromTheLastFragment) {
    struct Case {
        const char* url;
        double seconds;
    };
    const Case cases[] = {
        {"/a/output0-2.wav", 0.0},
        {"/a/output0-2.wav#2.5", 2.5},
        {"/a/output0-2.wav#1.5", 1.5},
        {"/a/x.wav#a#3", 3.0},
        {"/a/x.wav#  7s", 7.0},
        {"/a/x.wav#-1", -1.0},
        {"/a/x.wav#1e1", 10.0},
        {"/a/x.wav#", 0.0},
        {"/a/x.wav#abc", 0.0},
        {"12.wav", 12.0},  // no '#': the whole URL is read
        {"/a/x.wav#+.5", 0.5},
        {"/a/x.wav#2.", 2.0},
        {"/a/x.wav#.", 0.0},
        {"/a/x.wav#-", 0.0},
        {"/a/x.wav#3e", 3.0},  // an exponent letter without digits ends the number
        {"/a/x.wav#3e+x", 3.0},
        {"/a/x.wav#2.5E-1s", 0.25},
        {"/a/x.wav#\t\n4", 4.0},
        // Only decimal numbers count: no hexadecimal, infinite or undefined times.
        {"/a/x.wav#0x10", 0.0},
        {"/a/x.wav#inf", 0.0},
        {"/a/x.wav#-infinity", 0.0},
        {"/a/x.wav#nan", 0.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(shell::audio_link_start_seconds(c.url), c.seconds) << c.url;
    EXPECT_EQ(shell::audio_link_file("/a/x.wav#a#3"), "/a/x.wav");
}

TEST(shell_navigation, FormFieldsDecode) {
    struct Case {
        std::string raw;
        std::string decoded;
    };
    const Case cases[] = {
        {"input=hello+world%0D%0Aagain", "input=hello world\nagain"},
        {"a%26b", "a&b"},
        {"%41%61%7e%7E", "Aa~~"},
        {"line%0d%0anext\r\n", "line\nnext\n"},
        {"100%", "100%"},    // a '%' at the end is literal
        {"100%4", "100%4"},  // one character is not enough either
        {"%", "%"},
        {"%41%", "A%"},
        {"%C3%A9", "\xC3\xA9"},
        {"%00x", std::string("\0x", 2)},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(shell::decode_form_field(c.raw), c.decoded) << c.raw;
}

TEST(shell_navigation, NonHexDigitsFollowTheDigitRule) {
    // Digits below 'A' count from '0', the rest from the upper-cased letter, as
    // the pages' encoder never produces them; this only pins the arithmetic.
    EXPECT_EQ(shell::decode_form_field("%G0"), std::string(1, static_cast<char>(16 * 16)));
    EXPECT_EQ(shell::decode_form_field("%2G"), std::string(1, static_cast<char>(2 * 16 + 16)));
}

}  // namespace
