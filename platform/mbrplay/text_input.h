// Reads a byte stream as text the way this system's console programs do.
#pragma once

#include <cstdio>
#include <string>

namespace mbrplay {

// Reads stream to its end or to the first byte 0x1A, whichever comes first,
// and returns the bytes before it with the carriage return of every CR LF
// pair dropped (a lone CR stays). Some front ends end a stage's data with a
// byte 0x1A, and files from other systems end lines with CR LF; both keep
// working. There is no size limit: the whole text is returned.
std::string read_text_stream(std::FILE* stream);

// The same rules applied to bytes already in memory.
std::string text_from_bytes(const std::string& bytes);

}  // namespace mbrplay
