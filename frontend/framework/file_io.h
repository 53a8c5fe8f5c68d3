// Whole-file reads and writes for the front end: text read with CR LF taken as
// LF, and writes that either replace a file atomically or write it in place.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace framework {

// Reads a whole file as bytes. False when it cannot be opened or read, or is not a
// regular file (a directory, a named pipe, a device).
bool ReadBinaryFile(const std::string& path, std::string& data);

// Reads a whole file as text: every CR LF becomes LF (a lone CR stays).
bool ReadTextFile(const std::string& path, std::string& text);

// Splits a text into its lines, each keeping its line-feed; a last line
// without one is kept as it is. An empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

// Writes `data` into a temporary file beside `path`, then renames it over
// `path`, so readers see either the old or the new content and a failure
// leaves the old file untouched. A symbolic link is followed and its target
// replaced; an existing file keeps its permission bits. With `durable` the data
// reach the disk before the rename, so a crash leaves the old or the new file;
// without it (files that are made again anyway) the write costs no disk flush.
// False on failure.
bool WriteFileAtomic(const std::string& path, std::string_view data, bool durable = true);

// Removes the temporary files that WriteFileAtomic left beside `path` when it
// was ended before its rename (the process was killed during a save).
void RemoveLeftoverTempFiles(const std::string& path);

// Creates or truncates `path` and writes `data` into it in place. False on failure.
bool WriteFileInPlace(const std::string& path, std::string_view data);

// Creates a directory and its missing parents. False when it does not exist afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace framework
