// The headless run of one text, and what it shares with the corpus run.
#include "headless_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <set>

#include "console_host.h"
#include "corpus_run.h"
#include "file_io.h"
#include "taloria_app.h"
#include "taloria_doc.h"

namespace headless {

volatile std::sig_atomic_t g_nInterrupted = 0;

namespace {

namespace fs = std::filesystem;

void OnStopSignal(int) {
    g_nInterrupted = 1;
    g_bStopRun.store(true);
}

std::string NameList(const CTaloriaApp& app, int stage) {
    std::string list;
    for (const ConfigEntry& entry : app.m_configs[stage])
        list += (list.empty() ? "'" : ", '") + entry.name + "'";
    return list.empty() ? "none" : list;
}

// Where a file of the app directory goes among an item's outputs.
std::string OutputName(const std::string& path, const std::string& app_dir) {
    std::string relative = path.compare(0, app_dir.size() + 1, app_dir + "/") == 0
                               ? path.substr(app_dir.size() + 1)
                               : fs::path(path).filename().string();
    if (relative.compare(0, 5, "html/") == 0) relative.erase(0, 5);
    return relative;
}

// One text in the app directory, as the browser runs it.
int RunOneText(const RunOptions& options, CTaloriaApp& app, ConsoleUiHost& host) {
    RunRequest request;
    std::string error;
    if (!ReadInputText(options, request.text, error)) {
        std::fprintf(stderr, "taloria2: %s\n", error.c_str());
        return 2;
    }
    request.configurations = options.configurations;
    InstallStopHandlers();
    CTaloriaDoc doc;
    host.Restart();
    const RunResult result = doc.Run(request);
    if (!options.out_dir.empty()) {
        CopyRunOutputs(result, app.m_strAppDir, options.out_dir, error);
        if (!error.empty()) std::fprintf(stderr, "taloria2: %s\n", error.c_str());
    }
    if (g_nInterrupted) return 130;
    return result.completed && error.empty() ? 0 : 1;
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void OpenCatalogues(CTaloriaApp& app, const std::string& app_dir) {
    app.m_strAppDir = app_dir;
    for (int stage = 0; stage < NUM_STAGES; ++stage) app.ScanConfigurations(stage);
}

bool CheckConfigurationNames(const CTaloriaApp& app, const RunOptions& options) {
    bool good = true;
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        const std::string& name = options.configurations[stage];
        const auto& configs = app.m_configs[stage];
        if (name.empty() || std::any_of(configs.begin(), configs.end(),
                                        [&](const ConfigEntry& e) { return e.name == name; })) {
            continue;
        }
        std::fprintf(stderr,
                     "taloria2: stage %d has no configuration '%s'; its configurations are: %s\n",
                     stage + 1, name.c_str(), NameList(app, stage).c_str());
        good = false;
    }
    return good;
}

bool CheckAskAnswers(CTaloriaApp& app, ConsoleUiHost& host, const RunOptions& options) {
    host.Restart();
    for (int stage = 0; stage < NUM_STAGES; ++stage) {
        const std::size_t before = host.unanswered().size();
        app.SelectConfiguration(stage, options.configurations[stage]);
        if (host.unanswered().size() > before) {
            std::fprintf(stderr,
                         "taloria2: configuration '%s' of stage %d asks for a file ($ASK(%s)); "
                         "give it with --ask FILE\n",
                         options.configurations[stage].c_str(), stage + 1,
                         host.unanswered()[before].c_str());
            return false;
        }
    }
    return true;
}

bool ReadInputText(const RunOptions& options, std::string& text, std::string& error) {
    if (options.text) {
        text = *options.text;
    } else if (options.input.empty() || options.input == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!framework::ReadBinaryFile(options.input, text)) {
        error = "cannot read '" + options.input + "': " + std::strerror(errno);
        return false;
    }
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return true;
}

std::vector<std::string> CopyRunOutputs(const RunResult& result, const std::string& app_dir,
                                        const std::string& dest_dir, std::string& error) {
    std::set<std::string> sources;
    for (const CommandResult& command : result.commands)
        sources.insert(command.output_files.begin(), command.output_files.end());
    if (!result.results_page.empty()) sources.insert(result.results_page);
    std::vector<std::string> written;
    for (const std::string& source : sources) {
        const std::string name = OutputName(source, app_dir);
        const fs::path target = fs::path(dest_dir) / name;
        std::error_code code;
        fs::create_directories(target.parent_path(), code);
        if (!fs::exists(source, code)) continue;  // named by $ARG( but never written
        if (!fs::copy_file(source, target, fs::copy_options::overwrite_existing, code)) {
            error = "cannot copy '" + source + "' to '" + target.string() + "': " + code.message();
            continue;
        }
        written.push_back(name);
    }
    return written;
}

int RunFromCommandLine(int argc, char** argv) {
    RunOptions options;
    if (const int status = ParseRunOptions(argc, argv, options); status >= 0) return status;
    // The input and the out directory are named from where the command was given.
    std::error_code code;
    if (!options.input.empty() && options.input != "-")
        options.input = fs::absolute(options.input, code).string();
    if (!options.out_dir.empty()) options.out_dir = fs::absolute(options.out_dir, code).string();
    if (!options.app_dir.empty() && chdir(options.app_dir.c_str()) != 0) {
        std::fprintf(stderr, "taloria2: cannot change into '%s': %s\n", options.app_dir.c_str(),
                     std::strerror(errno));
        return 2;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        std::fprintf(stderr, "taloria2: cannot read the current directory: %s\n",
                     std::strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    ConsoleUiHost host(options.ask_answers, true);
    framework::set_ui_host(&host);
    CTaloriaApp app;
    OpenCatalogues(app, cwd);
    int status = 2;
    if (CheckConfigurationNames(app, options)) {
        status = !CheckAskAnswers(app, host, options) ? 1
                 : options.each_line                  ? RunCorpus(options, app)
                                                      : RunOneText(options, app, host);
    }
    framework::set_ui_host(nullptr);
    return status;
}

}  // namespace headless
