// Temporary files beside the file they will replace, for writes that rename into place.
#pragma once

#include <sys/types.h>

#include <string>

namespace tempfile {

// The permission bits for a file that replaces `target`: those `target` has or, when it
// does not exist, those a file newly created there would get (0666 less the umask).
mode_t replacement_mode(const std::string& target);

// Creates a new file "<folder>.<name>.XXXXXX<suffix>" (`folder` ends with '/', or is ""
// for the current folder), close-on-exec, with `mode`. Returns its descriptor and sets
// `path`, or returns -1 (errno set) when the file cannot be created.
int create_in(const std::string& folder, const std::string& name, const std::string& suffix,
              mode_t mode, std::string& path);

// create_in the folder of `target` ("./" when it names none), named after it, with its
// replacement_mode: a rename over `target` then changes the content and nothing else.
int create_beside(const std::string& target, const std::string& suffix, std::string& temp_path);

}  // namespace tempfile
