// Phoneme-to-wave replay layer: renders MBROLA phoneme text through the MBROLA
// engine program, which it starts as a child process for every request.
//
// The layer holds one selected voice database and one error report for the
// whole process. Every call returns at once with its outcome recorded; the
// caller asks MBR_LastError whether something went wrong.
//
// Threading: single-threaded. MBR_Play ignores SIGPIPE while it feeds the
// engine and restores the previous disposition afterwards, so no other thread
// may change that disposition meanwhile.
#pragma once

#include <cstddef>

// Flag bits of MBR_Play (what each one means is also in README.md).
constexpr int MBR_FLAG_FILE_INPUT = 0x20;       // the first argument names a file, not text
constexpr int MBR_FLAG_STRICT = 0x40;           // an unknown diphone is an error
constexpr int MBR_FLAG_SCRIPT = 0x200;          // the file is a phoneme script read as text
constexpr int MBR_FLAG_FORMAT_BY_NAME = 0x800;  // output format from the output file's extension

// Reserved for a progress notice; the layer calls nothing and asks for null.
using MBR_Callback = void (*)(void* user);

// Returns -1 while the layer holds an error, else 0. With a buffer of size
// bytes (size > 0), copies as much of the error text as fits, NUL-terminated
// (an empty text when there is no error).
int MBR_LastError(char* buffer, int size);

// Selects the voice database at path after the engine has loaded it once.
// Returns 0, or -1 with the error recorded (engine missing, database missing
// or unreadable by the engine). Clears any earlier error on success.
int MBR_SetDatabase(const char* path);

// Renders the phoneme text input (or the phoneme file it names, with
// MBR_FLAG_FILE_INPUT) into the file output with the selected database.
// Returns 0, or -1 with the error recorded; an existing output file is
// replaced only after the engine succeeded.
int MBR_Play(const char* input, int flags, const char* output, MBR_Callback callback);

// Forgets the database and any error.
void MBR_MBRUnload();
