// taloria2: the speech-synthesis workbench as a local web application. Serves
// the shell page and the app directory on 127.0.0.1 and runs the application
// on the UI loop of the main thread.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "audio_player.h"
#include "bridge.h"
#include "browser_host.h"
#include "child_process.h"
#include "headless_run.h"
#include "main_frame.h"
#include "message_loop.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "view.h"

namespace {

const char kUsage[] =
    "Usage: taloria2 [OPTIONS] [DOCUMENT]\n"
    "The Taloria speech-synthesis workbench, shown in your web browser.\n"
    "\n"
    "  --appdir DIR   change into DIR first (the app directory with config/, html/, help/)\n"
    "  --port N       serve on 127.0.0.1 port N (0, the default, picks a free port)\n"
    "  --no-browser   do not open a browser; only print the address\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "taloria2 --run ... runs configurations without the browser (taloria2 --run --help).\n"
    "DOCUMENT, when given, is opened instead of starting with a new document.\n"
    "The address is printed as \"Taloria is at http://127.0.0.1:PORT/...\".\n"
    "Ctrl+C ends the program normally (the settings are saved).\n";

struct Options {
    std::string app_dir;
    int port = 0;
    bool no_browser = false;
    std::string document;
};

// Parses the command line; returns -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "taloria2: %s needs a value\n%s", name, kUsage);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("taloria2 %s\n", TALORIA_VERSION);
            return 0;
        } else if (arg == "--appdir") {
            const char* dir = value("--appdir");
            if (!dir) return 2;
            options.app_dir = dir;
        } else if (arg == "--port") {
            const char* text = value("--port");
            if (!text) return 2;
            char* end = nullptr;
            const long port = std::strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "taloria2: --port needs a number from 0 to 65535, not '%s'\n",
                             text);
                return 2;
            }
            options.port = static_cast<int>(port);
        } else if (arg == "--no-browser") {
            options.no_browser = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "taloria2: unknown option '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        } else if (options.document.empty()) {
            options.document = arg;
        } else {
            std::fprintf(stderr, "taloria2: only one document may be named\n%s", kUsage);
            return 2;
        }
    }
    return -1;
}

// Opens the user's browser on `url` with xdg-open; the child gets the parent's
// environment and only this one-time address, none of our descriptors (the
// server's sockets above all) and none of our blocked signals.
void OpenBrowser(const std::string& url) {
    process::ChildSpec spec;
    spec.program = process::find_program("xdg-open", {});
    spec.argv = {"xdg-open", url};
    process::Fd null_output(open("/dev/null", O_WRONLY | O_CLOEXEC));
    spec.stdout_fd = null_output.get();
    std::string reason;
    const pid_t pid = spec.program.empty() ? -1 : process::start_child(spec, reason);
    if (pid < 0) {
        std::fprintf(stderr,
                     "taloria2: could not start xdg-open; open the address above yourself\n");
        return;
    }
    // Reap it in the background; its result does not matter.
    std::thread([pid] { process::wait_for_exit(pid); }).detach();
}

std::atomic<bool> g_bEnding{false};

// Runs `task` on the UI loop and waits for it, unless the loop has ended.
// Arguments are copied into the task, so nothing dangles when the wait is
// abandoned.
template <class R>
bool RunOnLoop(std::function<R()> task, R* result) {
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    framework::ui_loop().post([task = std::move(task), promise] {
        try {
            promise->set_value(task());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (g_bEnding.load()) return false;
    }
    *result = future.get();
    return true;
}

// Runs the view's before-navigation handling on the UI loop and returns its
// cancel answer; `abandoned` is the answer when the program ends first.
bool NavigateOnLoop(CTaloriaView& view, const std::function<void()>& refresh,
                    const std::string& url, const std::string& body, bool abandoned) {
    bool cancel = abandoned;
    RunOnLoop<bool>(
        [&view, refresh, url, body] {
            bool cancelled = false;
            view.OnBeforeNavigate2(url, 0, std::string(), body, std::string(), &cancelled);
            refresh();
            return cancelled;
        },
        &cancel);
    return cancel;
}

// The objects of one session of the workbench, wired together.
struct Workbench {
    explicit Workbench(const shell::BridgeOptions& options)
        : bridge(options), view(&frame), host(bridge, [this] { return States(); }) {}

    CTaloriaDoc* Document() { return static_cast<CTaloriaDoc*>(app.GetDocument()); }

    shell::CommandStates States() {
        shell::CommandStates states;
        CTaloriaDoc* doc = Document();
        states.play = doc != nullptr && !doc->m_strPlayFile.empty();
        states.pause = thePlayer.IsPlaying() || thePlayer.IsPaused();
        states.stop = thePlayer.IsPlaying();
        states.paused = thePlayer.IsPaused();
        return states;
    }

    // After every request: Play, Pause and Stop and the recent files may have changed.
    void Refresh() {
        host.command_states_changed();
        bridge.set_recent_files(app.GetRecentFiles());
    }

    shell::Bridge bridge;
    CTaloriaApp app;
    CMainFrame frame;
    CTaloriaView view;
    shell::BrowserUiHost host;
};

// Connects the application to the bridge: forms, links, commands and the stop.
void InstallBridgeHandlers(Workbench& w, const std::string& document) {
    framework::MessageLoop& loop = framework::ui_loop();
    w.app.m_pMainWnd = &w.frame;
    w.app.m_strCmdLineFile = document;
    w.app.m_attachViews = [&w](framework::CDocument& doc) { doc.AddView(&w.view); };
    w.frame.Attach(&w.app, &w.view, [&loop] { loop.quit(); });
    const std::function<void()> refresh = [&w] { w.Refresh(); };

    // A form abandoned because the program is ending counts as cancelled.
    w.bridge.on_form([&w, refresh](const std::string& url, const std::string& body) {
        return NavigateOnLoop(w.view, refresh, url, body, true);
    });
    w.bridge.on_link([&w, refresh](const std::string& url) {
        return NavigateOnLoop(w.view, refresh, url, std::string(), false);
    });
    w.bridge.on_command([&w, refresh](const std::string& name, const std::string& form) {
        std::function<void()> action = w.frame.FindCommand(name);
        if (!action) return false;
        bool ran = false;
        RunOnLoop<bool>(
            [&w, action, refresh, name, form] {
                w.view.TakeInputPageFields(name, form);
                action();
                refresh();
                return true;
            },
            &ran);
        return true;
    });
    // The UI thread is busy inside the run, so the stop goes straight to the
    // stage runner's flag, which the runner reads while the command runs.
    w.bridge.on_stop([] { g_bStopRun.store(true); });
}

// Ctrl+C and SIGTERM are taken by one thread of ours; every other thread
// (created after this) keeps them blocked. Writes to a pipe whose reader has
// gone must fail, not end the program.
sigset_t BlockEndingSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t ending_signals;
    sigemptyset(&ending_signals);
    sigaddset(&ending_signals, SIGINT);
    sigaddset(&ending_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending_signals, nullptr);
    return ending_signals;
}

// The signal thread: an ending signal is a normal end, as the Exit command.
// It returns once `done` is set and one more signal arrives.
std::thread StartSignalThread(const sigset_t& ending_signals, Workbench& w,
                              std::atomic<bool>& done) {
    return std::thread([ending_signals, &w, &done] {
        for (;;) {
            int number = 0;
            if (sigwait(&ending_signals, &number) != 0) continue;
            if (done.load()) return;
            g_bEnding.store(true);
            g_bStopRun.store(true);
            w.bridge.cancel_modals();
            framework::ui_loop().quit();
            framework::ui_loop().wake();
        }
    });
}

// The application starts first on the UI loop: a request that comes as soon
// as the address is printed is queued behind it and finds the document in
// place. `started` is set there.
void PostStart(Workbench& w, bool& started) {
    framework::ui_loop().post([&w, &started] {
        started = w.app.InitInstance() != 0;
        if (!started) {
            framework::ui_loop().quit();
            return;
        }
        w.Refresh();
    });
}

// Ends the session after the UI loop returned; the exit status.
int Finish(Workbench& w, bool started) {
    g_bEnding.store(true);
    w.bridge.cancel_modals();
    int status = 1;
    if (started) {
        thePlayer.Stop();
        status = w.app.ExitInstance();
    }
    w.bridge.send_quit();
    std::this_thread::sleep_for(
        std::chrono::milliseconds(100));  // lets the quit event reach the shells
    w.bridge.stop();
    framework::set_ui_host(nullptr);
    return started ? status : 1;
}

// The workbench in the browser, from start-up to the end of its UI loop.
int RunWorkbench(const Options& options) {
    const sigset_t ending_signals = BlockEndingSignals();
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        std::fprintf(stderr, "taloria2: cannot read the current directory: %s\n",
                     std::strerror(errno));
        return 1;
    }
    shell::BridgeOptions bridge_options;
    bridge_options.app_dir = cwd;
    bridge_options.port = options.port;
    Workbench w(bridge_options);
    framework::set_ui_host(&w.host);
    InstallBridgeHandlers(w, options.document);
    bool started = false;
    PostStart(w, started);

    // Served only now that every handler is in place: a request that comes
    // as soon as the address is printed must find them, not be dropped.
    std::string error;
    if (!w.bridge.start(error)) {
        std::fprintf(stderr, "taloria2: %s\n", error.c_str());
        framework::set_ui_host(nullptr);
        return 1;
    }
    std::printf("Taloria is at %s\n", w.bridge.start_url().c_str());
    std::fflush(stdout);

    std::atomic<bool> signal_thread_done{false};
    std::thread signal_thread = StartSignalThread(ending_signals, w, signal_thread_done);
    if (!options.no_browser &&
        (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr)) {
        OpenBrowser(w.bridge.launch_url());
    }
    framework::ui_loop().run();
    const int status = Finish(w, started);
    signal_thread_done.store(true);
    kill(getpid(), SIGTERM);
    signal_thread.join();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (headless::IsRunCommandLine(argc, argv)) return headless::RunFromCommandLine(argc, argv);
    Options options;
    if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
    if (!options.app_dir.empty() && chdir(options.app_dir.c_str()) != 0) {
        std::fprintf(stderr, "taloria2: cannot change into '%s': %s\n", options.app_dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return RunWorkbench(options);
}
