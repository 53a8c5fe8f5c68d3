// The pure rules of the view's navigation handling: which links are audio,
// where replay starts, and how one posted form field is decoded.
#pragma once

#include <string>

namespace shell {

// True when the URL (up to its first '#') names audio that the program plays
// itself: not an "http:" or "mailto:" address, and ending in ".wav" or ".mp3"
// (exact bytes, case included).
bool is_audio_link(const std::string& url);

// Replay start of an audio link in seconds: the text after the last '#' read
// as a decimal number; the whole URL when it has no '#'; 0 when no number.
double audio_link_start_seconds(const std::string& url);

// The file name of an audio link: the URL up to its first '#'.
std::string audio_link_file(const std::string& url);

// Decodes one URL-encoded form field: '+' is a space, "%XY" a byte, carriage
// returns are dropped. A '%' without two characters after it inside the field
// is taken literally, so decoding never reads past the field.
std::string decode_form_field(const std::string& raw);

}  // namespace shell
