// One job of a corpus run: a child process with a work directory of its own
// (a copy of the app directory's config/ and html/) that runs the items it is
// handed, one at a time, and reports each as one JSON line.
#pragma once

#include <string>

#include "run_options.h"

class CTaloriaApp;

namespace headless {

struct WorkerSetup {
    std::string app_dir;   // the app directory the work directory copies
    std::string work_dir;  // this job's own directory, made fresh
    std::string out_dir;   // where DIR/NNNNN/ and the manifest are
    RunOptions options;
};

// The name of item `number`'s output folder below the out directory ("00012").
std::string ItemFolderName(int number);

// Runs in the child: reads {"item", "text"} lines from `in_fd` until it ends,
// answers each with a result line on `out_fd` (item, text, status, the failed
// command and its error, outputs, wall and CPU seconds, messages). Status is
// "completed", "failed" or "interrupted". Returns the child's exit status.
int WorkerMain(const WorkerSetup& setup, CTaloriaApp& app, int in_fd, int out_fd);

}  // namespace headless
