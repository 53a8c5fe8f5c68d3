// Link-time stand-in for the process end of zir_fatal in the fuzz targets.
//
// The targets are linked with --wrap for zir_fatal, fopen and fclose, so every
// call from the code under test reaches the functions below instead. The
// fatal routine throws fuzz::Refusal, which survives_refusal catches, and the
// streams that were open when the parse refused are closed, as the end of the
// process would have closed them; otherwise each refusal would keep a
// descriptor and a buffer for the rest of the run.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "fuzz_support.h"

namespace {

bool guarded = false;
// Streams opened by the code under test during the current guarded parse.
std::vector<FILE*> open_streams;

}  // namespace

extern "C" {

FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(FILE* stream);

FILE* __wrap_fopen(const char* path, const char* mode) {
    FILE* stream = __real_fopen(path, mode);
    if (guarded && stream != nullptr) open_streams.push_back(stream);
    return stream;
}

int __wrap_fclose(FILE* stream) {
    std::erase(open_streams, stream);
    return __real_fclose(stream);
}

// zir_fatal(const char*, ...) under its C++ name.
[[noreturn]] void __wrap__Z9zir_fatalPKcz(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!guarded) {
        // Outside a guarded parse a fatal message is unexpected: report it.
        std::fprintf(stderr, "zir_fatal outside a guarded parse: %s\n", text);
        fuzz::fail("unguarded zir_fatal");
    }
    throw fuzz::Refusal{text};
}

}  // extern "C"

namespace fuzz {

void begin_guarded_parse() {
    guarded = true;
    open_streams.clear();
}

void end_guarded_parse(bool refused) {
    guarded = false;
    if (refused) {
        for (FILE* stream : open_streams) __real_fclose(stream);
    }
    open_streams.clear();
}

}  // namespace fuzz
