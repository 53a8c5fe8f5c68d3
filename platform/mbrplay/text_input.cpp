// Text reading rules shared by the replay layer and phorender: the 0x1A end
// mark and CR LF line ends.
#include "text_input.h"

namespace mbrplay {
namespace {

constexpr char kEndMark = '\x1A';

// Appends bytes to text under the text rules. A CR is held back in pending_cr
// until the next byte shows whether it starts a CR LF pair. Returns false once
// the end mark has been met.
bool append_text(std::string& text, bool& pending_cr, const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char byte = bytes[i];
        if (byte == kEndMark) return false;
        if (pending_cr && byte != '\n') text.push_back('\r');
        pending_cr = byte == '\r';
        if (!pending_cr) text.push_back(byte);
    }
    return true;
}

}  // namespace

std::string read_text_stream(std::FILE* stream) {
    std::string text;
    bool pending_cr = false;
    char chunk[4096];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, stream);
        if (got == 0 || !append_text(text, pending_cr, chunk, got)) break;
    }
    if (pending_cr) text.push_back('\r');
    return text;
}

std::string text_from_bytes(const std::string& bytes) {
    std::string text;
    bool pending_cr = false;
    append_text(text, pending_cr, bytes.data(), bytes.size());
    if (pending_cr) text.push_back('\r');
    return text;
}

}  // namespace mbrplay
