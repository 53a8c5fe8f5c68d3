// `taloria2 --run --each-line`: every non-empty line of the input is one item,
// run by --jobs worker processes, each in a work directory of its own; item
// N's outputs go to DIR/NNNNN/ and one line per item to DIR/manifest.jsonl.
#pragma once

#include <string>
#include <vector>

#include "run_options.h"

class CTaloriaApp;

namespace headless {

struct Item {
    int number;  // the line number in the input, from 1
    std::string text;
};

// The non-empty lines of `text` whose number modulo `shard_count` is `shard_index`.
std::vector<Item> SplitItems(const std::string& text, int shard_index, int shard_count);

// Runs the corpus; the exit status (0 all completed, 1 after a failure, 130
// after Ctrl+C). Must be called before the process starts any thread: the
// workers are forked.
int RunCorpus(const RunOptions& options, CTaloriaApp& app);

}  // namespace headless
