// The coordinating process of a corpus run: hands items to the workers,
// writes the manifest and the progress, and stops everything on Ctrl+C.
#include "corpus_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "corpus_worker.h"
#include "headless_run.h"
#include "manifest.h"
#include "progress.h"
#include "taloria_app.h"

namespace headless {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Worker {
    pid_t pid = -1;
    int to_fd = -1;              // items to the worker
    int from_fd = -1;            // results from it
    std::string pending;         // received bytes not yet a whole line
    const Item* item = nullptr;  // the item it runs, if any
};

// Everything the coordinator keeps during the run.
struct Corpus {
    const RunOptions& options;
    std::deque<const Item*> queue;
    std::vector<Worker> workers;
    ManifestWriter manifest;
    Progress progress;
    bool interrupted = false;
    bool any_failed = false;
};

int CoreCount() {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<int>(cores) : 1;
}

// Forks one worker; the child never returns from here.
bool StartWorker(Corpus& corpus, CTaloriaApp& app, const WorkerSetup& setup) {
    int to[2], from[2];
    if (::pipe2(to, O_CLOEXEC) != 0) return false;
    if (::pipe2(from, O_CLOEXEC) != 0) return ::close(to[0]), ::close(to[1]), false;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const Worker& other : corpus.workers) ::close(other.to_fd), ::close(other.from_fd);
        ::close(to[1]);
        ::close(from[0]);
        InstallStopHandlers();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::fflush(nullptr);
        ::_exit(WorkerMain(setup, app, to[0], from[1]));
    }
    ::close(to[0]);
    ::close(from[1]);
    if (pid < 0) return ::close(to[1]), ::close(from[0]), false;
    corpus.workers.push_back({pid, to[1], from[0], "", nullptr});
    return true;
}

void Dispatch(Corpus& corpus) {
    for (Worker& worker : corpus.workers) {
        if (corpus.interrupted || corpus.queue.empty()) return;
        if (worker.item != nullptr || worker.to_fd < 0) continue;
        worker.item = corpus.queue.front();
        corpus.queue.pop_front();
        const std::string line =
            json{{"item", worker.item->number}, {"text", worker.item->text}}.dump(
                -1, ' ', false, json::error_handler_t::replace) +
            "\n";
        if (::write(worker.to_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            corpus.queue.push_front(worker.item);
            worker.item = nullptr;
            ::close(worker.to_fd);
            worker.to_fd = -1;
        }
    }
}

// Records one item's result line from a worker.
void TakeResult(Corpus& corpus, Worker& worker, const std::string& line) {
    json entry = json::parse(line, nullptr, false);
    if (entry.contains("fatal")) {
        corpus.progress.Message(entry["fatal"].get<std::string>());
        return;
    }
    if (!entry.is_object() || worker.item == nullptr) return;
    const int number = worker.item->number;
    worker.item = nullptr;
    for (const auto& message : entry.value("messages", json::array())) {
        corpus.progress.Message("item " + ItemFolderName(number) + ": " +
                                message.get<std::string>());
    }
    entry.erase("messages");
    // An item stopped by Ctrl+C is not recorded: the next run does it again.
    if (entry.value("status", "") == "interrupted") return;
    const bool completed = entry.value("status", "") == "completed";
    corpus.any_failed |= !completed;
    if (!corpus.manifest.Append(entry)) corpus.progress.Message("cannot append to the manifest");
    corpus.progress.ItemDone(number, completed);
}

// A worker that ends while it runs an item fails that item.
void TakeEnd(Corpus& corpus, Worker& worker) {
    ::close(worker.from_fd);
    worker.from_fd = -1;
    if (worker.to_fd >= 0) ::close(worker.to_fd), worker.to_fd = -1;
    if (worker.item == nullptr || corpus.interrupted) return;
    const Item& item = *worker.item;
    worker.item = nullptr;
    corpus.any_failed = true;
    corpus.manifest.Append({{"item", item.number},
                            {"text", item.text},
                            {"status", "failed"},
                            {"failed_command", nullptr},
                            {"error", "the worker process ended unexpectedly"},
                            {"outputs", json::array()},
                            {"wall_seconds", 0},
                            {"cpu_seconds", 0}});
    corpus.progress.ItemDone(item.number, false);
}

void ReadFromWorker(Corpus& corpus, Worker& worker) {
    char buffer[65536];
    const ssize_t n = ::read(worker.from_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) return TakeEnd(corpus, worker);
    worker.pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
        const std::string line = worker.pending.substr(0, end);
        worker.pending.erase(0, end + 1);
        TakeResult(corpus, worker, line);
    }
}

// Ctrl+C or SIGTERM: no new items, and the workers stop their commands.
void Interrupt(Corpus& corpus, int signal_fd) {
    char signal_number = 0;
    if (::read(signal_fd, &signal_number, 1) != 1) return;
    corpus.interrupted = true;
    for (Worker& worker : corpus.workers) {
        if (worker.from_fd >= 0) ::kill(worker.pid, SIGINT);
        if (worker.to_fd >= 0) ::close(worker.to_fd), worker.to_fd = -1;
    }
}

// Waits for results and signals until every item is done or the run is interrupted.
void Coordinate(Corpus& corpus, int signal_fd) {
    for (;;) {
        Dispatch(corpus);
        // Once nothing is left to hand out, the workers are told so by the end of their input.
        if (corpus.queue.empty()) {
            for (Worker& worker : corpus.workers) {
                if (worker.item == nullptr && worker.to_fd >= 0)
                    ::close(worker.to_fd), worker.to_fd = -1;
            }
        }
        std::vector<pollfd> fds{{signal_fd, POLLIN, 0}};
        std::vector<Worker*> owners{nullptr};
        for (Worker& worker : corpus.workers) {
            if (worker.from_fd >= 0)
                fds.push_back({worker.from_fd, POLLIN, 0}), owners.push_back(&worker);
        }
        if (fds.size() == 1) return;
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents) Interrupt(corpus, signal_fd);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents) ReadFromWorker(corpus, *owners[i]);
        }
    }
}

int g_stop_signal_pipe = -1;

void OnCoordinatorStopSignal(int signal_number) {
    const int saved_errno = errno;
    const char byte = static_cast<char>(signal_number);
    [[maybe_unused]] const ssize_t written = ::write(g_stop_signal_pipe, &byte, 1);
    errno = saved_errno;
}

// Ctrl+C and SIGTERM become a byte on a pipe that the coordinator polls. A
// handler works whichever thread of the process the signal reaches (libraries
// loaded into taloria2 may start threads of their own, where a blocked mask of
// this thread would not hold); the read end is returned.
int CatchStopSignals() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    g_stop_signal_pipe = ends[1];
    struct sigaction action {};
    action.sa_handler = OnCoordinatorStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return ends[0];
}

std::vector<Item> PendingItems(const RunOptions& options, const std::string& manifest_path,
                               int& status) {
    std::string text, error;
    if (!ReadInputText(options, text, error)) {
        std::fprintf(stderr, "taloria2: %s\n", error.c_str());
        status = 2;
        return {};
    }
    const std::set<int> completed = ReadCompletedItems(manifest_path);
    std::vector<Item> items;
    for (Item& item : SplitItems(text, options.shard_index, options.shard_count)) {
        if (!completed.count(item.number)) items.push_back(std::move(item));
    }
    status = -1;
    return items;
}

}  // namespace

std::vector<Item> SplitItems(const std::string& text, int shard_index, int shard_count) {
    std::vector<Item> items;
    int number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++number;
        if (end > start && number % shard_count == shard_index)
            items.push_back({number, text.substr(start, end - start)});
        start = end + 1;
    }
    return items;
}

int RunCorpus(const RunOptions& options, CTaloriaApp& app) {
    std::error_code code;
    fs::create_directories(options.out_dir, code);
    const std::string out_dir = fs::absolute(options.out_dir, code).lexically_normal().string();
    int status = -1;
    const std::vector<Item> items = PendingItems(options, out_dir + "/manifest.jsonl", status);
    if (status >= 0) return status;
    Corpus corpus{options, {}, {}, {}, Progress(static_cast<int>(items.size()), options.quiet)};
    std::string error;
    if (!corpus.manifest.Open(out_dir + "/manifest.jsonl", error)) {
        std::fprintf(stderr, "taloria2: %s\n", error.c_str());
        return 1;
    }
    for (const Item& item : items) corpus.queue.push_back(&item);
    const int signal_fd = CatchStopSignals();
    const int jobs =
        std::min(options.jobs > 0 ? options.jobs : CoreCount(), static_cast<int>(items.size()));
    for (int job = 0; job < jobs; ++job) {
        const WorkerSetup setup{app.m_strAppDir, out_dir + "/.work/" + std::to_string(job), out_dir,
                                options};
        if (!StartWorker(corpus, app, setup))
            std::fprintf(stderr, "taloria2: cannot start a worker process\n");
    }
    Coordinate(corpus, signal_fd);
    for (const Worker& worker : corpus.workers) {
        while (::waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    corpus.progress.Finish();
    ::close(signal_fd);
    fs::remove_all(out_dir + "/.work", code);
    if (corpus.interrupted) return 130;
    if (!corpus.queue.empty()) return 1;
    return corpus.any_failed ? 1 : 0;
}

}  // namespace headless
