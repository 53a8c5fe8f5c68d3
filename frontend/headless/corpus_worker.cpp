// A job of a corpus run, in its own process and work directory.
#include "corpus_worker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "console_host.h"
#include "headless_run.h"
#include "taloria_app.h"
#include "taloria_doc.h"

namespace headless {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Copies config/ and html/ of the app directory; returns the files it holds then.
bool MakeWorkDirectory(const WorkerSetup& setup, std::set<std::string>& originals,
                       std::string& error) {
    std::error_code code;
    fs::remove_all(setup.work_dir, code);
    for (const char* folder : {"config", "html"}) {
        fs::create_directories(fs::path(setup.work_dir) / folder, code);
        fs::copy(fs::path(setup.app_dir) / folder, fs::path(setup.work_dir) / folder,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing, code);
        if (code) {
            error = "cannot copy '" + setup.app_dir + "/" + folder + "' to '" + setup.work_dir +
                    "': " + code.message();
            return false;
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(setup.work_dir, code))
        originals.insert(entry.path().string());
    return true;
}

double CpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double CpuSecondsSoFar() { return CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN); }

// Removes what the run wrote into the work directory, so that the next item
// starts from the copy and never finds this item's files.
void ForgetOutputs(const RunResult& result, const std::set<std::string>& originals) {
    std::error_code code;
    for (const CommandResult& command : result.commands) {
        for (const std::string& file : command.output_files) {
            if (!originals.count(file)) fs::remove(file, code);
        }
    }
}

json StatusFields(const RunResult& result) {
    const CommandResult* failed = result.failed_command();
    if (g_nInterrupted && !result.completed) return {{"status", "interrupted"}};
    if (result.completed)
        return {{"status", "completed"}, {"failed_command", nullptr}, {"error", ""}};
    if (failed == nullptr)
        return {{"status", "failed"}, {"failed_command", nullptr}, {"error", "the run stopped"}};
    return {{"status", "failed"}, {"failed_command", failed->text}, {"error", failed->error}};
}

json RunItem(const WorkerSetup& setup, CTaloriaDoc& doc, ConsoleUiHost& host,
             const std::set<std::string>& originals, int number, const std::string& text) {
    const auto started = std::chrono::steady_clock::now();
    const double cpu_before = CpuSecondsSoFar();
    const std::string folder = ItemFolderName(number);
    const std::string item_dir = setup.out_dir + "/" + folder;
    std::error_code code;
    fs::remove_all(item_dir, code);
    host.Restart();
    const RunResult result = doc.Run({text, setup.options.configurations});
    std::string error;
    json outputs = json::array();
    for (const std::string& name : CopyRunOutputs(result, setup.work_dir, item_dir, error))
        outputs.push_back(folder + "/" + name);
    ForgetOutputs(result, originals);
    json entry = {{"item", number}, {"text", text}};
    entry.update(StatusFields(result));
    if (!error.empty() && entry["status"] == "completed")
        entry.update({{"status", "failed"}, {"error", error}});
    entry["outputs"] = outputs;
    entry["wall_seconds"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    entry["cpu_seconds"] = CpuSecondsSoFar() - cpu_before;
    entry["messages"] = host.messages();
    return entry;
}

bool WriteLine(int fd, const json& entry) {
    const std::string line = entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string ItemFolderName(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d", number);
    return name;
}

int WorkerMain(const WorkerSetup& setup, CTaloriaApp& app, int in_fd, int out_fd) {
    ConsoleUiHost host(setup.options.ask_answers, false);
    framework::set_ui_host(&host);
    std::set<std::string> originals;
    std::string error;
    if (!MakeWorkDirectory(setup, originals, error)) {
        WriteLine(out_fd, {{"fatal", error}});
        return 1;
    }
    OpenCatalogues(app, setup.work_dir);
    CTaloriaDoc doc;
    FILE* in = ::fdopen(in_fd, "r");
    char* line = nullptr;
    std::size_t capacity = 0;
    while (!g_nInterrupted && ::getline(&line, &capacity, in) > 0) {
        const json request = json::parse(line, nullptr, false);
        if (!request.is_object()) continue;
        const json entry = RunItem(setup, doc, host, originals, request.value("item", 0),
                                   request.value("text", ""));
        if (!WriteLine(out_fd, entry)) break;
    }
    std::free(line);
    std::fclose(in);
    framework::set_ui_host(nullptr);
    return 0;
}

}  // namespace headless
