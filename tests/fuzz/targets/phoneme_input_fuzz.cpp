// Fuzz target: how phorender reads phoneme text from its standard input or a
// phoneme script (the 0x1A end mark, CR LF line ends), and how it picks the
// replay flags from an input file name.
//
// Input: the bytes of the stream; the same bytes also serve as a file name.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "input_flags.h"
#include "text_input.h"

namespace {

std::size_t count_crlf(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", at + 2)) {
        ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file(".pho");
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    file.write(bytes);

    std::FILE* stream = std::fopen(file.path().c_str(), "rb");
    fuzz::check(stream != nullptr, "cannot open the input");
    const std::string from_stream = mbrplay::read_text_stream(stream);
    std::fclose(stream);
    const std::string from_memory = mbrplay::text_from_bytes(bytes);

    // Reading in chunks must not change the text, whatever falls on a chunk edge.
    fuzz::check(from_stream == from_memory, "stream and memory reading differ");
    fuzz::check(from_stream.size() <= size, "text longer than its bytes");
    fuzz::check(from_stream.find('\x1a') == std::string::npos, "end mark in the text");
    // The text is what stands before the first end mark, less the CRs of CR LF pairs.
    const std::string before_mark = bytes.substr(0, bytes.find('\x1a'));
    fuzz::check(from_stream.size() + count_crlf(before_mark) == before_mark.size(), "bytes lost");

    const int flags = phorender::flags_for_input_file(bytes);
    fuzz::check(flags == phorender::kScriptFileFlags || flags == phorender::kPhonemeFileFlags,
                "unknown flags");
    return 0;
}
