// taloria2: the speech-synthesis workbench as a local web application. Serves
// the shell page and the app directory on 127.0.0.1, shows it in a window of
// its own (or the user's browser) and runs the application on the UI loop of
// the main thread.
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

#include "app_directory.h"
#include "audio_player.h"
#include "bridge.h"
#include "browser_host.h"
#include "child_process.h"
#include "headless_run.h"
#include "idle_end.h"
#include "main_frame.h"
#include "message_loop.h"
#include "run_outputs_endpoint.h"
#include "shell_assets.h"
#include "signal_endpoint.h"
#include "signal_panel_settings.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "view.h"
#include "window.h"

namespace {

const char kUsage[] =
    "Usage: taloria2 [OPTIONS] [DOCUMENT]\n"
    "The Taloria speech-synthesis workbench, shown in a window of its own.\n"
    "\n"
    "  --appdir DIR   change into DIR first (the app directory with config/, html/, help/)\n"
    "  --appdata DIR  make and update the application directory from the app data in DIR\n"
    "                 (default: the installed app data, ../share/taloria/appdata)\n"
    "  --port N       serve on 127.0.0.1 port N (0, the default, picks a free port)\n"
    "  --browser      show the workbench in your web browser instead of a window\n"
    "  --no-browser   open neither a window nor a browser; only print the address\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Without --appdir, the current directory is the application directory when it\n"
    "holds config/, html/ and help/; else $XDG_DATA_HOME/Taloria (default\n"
    "~/.local/share/Taloria), made from the installed app data on first start.\n"
    "taloria2 --run ... runs configurations without the browser (taloria2 --run --help).\n"
    "DOCUMENT, when given, is opened instead of starting with a new document.\n"
    "The address is printed as \"Taloria is at http://127.0.0.1:PORT/...\".\n"
    "Without a display (or a window layer) the browser is used; in the browser the\n"
    "program ends 30 s after its last page was closed. Closing the window, File >\n"
    "Exit and Ctrl+C end the program normally (the settings are saved).\n";

struct Options {
    std::string app_dir;
    std::string appdata;
    int port = 0;
    bool browser = false;
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
        } else if (arg == "--appdata") {
            const char* dir = value("--appdata");
            if (!dir) return 2;
            options.appdata = dir;
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
        } else if (arg == "--browser") {
            options.browser = true;
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
    process::ChildSpec launch;
    launch.program = process::find_program("xdg-open", {});
    launch.argv = {"xdg-open", url};
    process::Fd null_output(open("/dev/null", O_WRONLY | O_CLOEXEC));
    launch.stdout_fd = null_output.get();
    std::string reason;
    const pid_t pid = launch.program.empty() ? -1 : process::start_child(launch, reason);
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
        states.file = thePlayer.GetFileName();
        states.playing = thePlayer.IsPlaying() && !thePlayer.IsPaused();
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

// Ctrl+C and SIGTERM end the program through one thread of ours. Their
// handler only writes to a pipe that the thread reads: the program's own
// threads (created after this) keep the signals blocked, but threads of the
// window toolkit may unblock them, and whichever thread takes one, the end is
// the same. Writes to a pipe whose reader has gone must fail, not end the program.
int g_endingSignalPipe[2] = {-1, -1};

void OnEndingSignal(int) {
    const char byte = 1;
    const ssize_t written = write(g_endingSignalPipe[1], &byte, 1);
    (void)written;
}

sigset_t BlockEndingSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t ending_signals;
    sigemptyset(&ending_signals);
    sigaddset(&ending_signals, SIGINT);
    sigaddset(&ending_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending_signals, nullptr);
    if (pipe2(g_endingSignalPipe, O_CLOEXEC) == 0) {
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    return ending_signals;
}

// A normal end asked for from outside the UI loop (an ending signal, the
// window closed), as the Exit command: a run and open dialogs end at once.
void RequestEnd(Workbench& w) {
    g_bEnding.store(true);
    g_bStopRun.store(true);
    w.bridge.cancel_modals();
    framework::ui_loop().quit();
    framework::ui_loop().wake();
}

// The signal thread: an ending signal is a normal end, as the Exit command.
// It returns once `done` is set and one more signal arrives.
std::thread StartSignalThread(const sigset_t& ending_signals, Workbench& w,
                              std::atomic<bool>& done) {
    return std::thread([ending_signals, &w, &done] {
        pthread_sigmask(SIG_UNBLOCK, &ending_signals, nullptr);
        for (;;) {
            char byte = 0;
            const ssize_t got = read(g_endingSignalPipe[0], &byte, 1);
            if (got < 0 && errno == EINTR) continue;
            if (done.load() || got <= 0) return;
            RequestEnd(w);
        }
    });
}

// How the workbench shows itself.
enum class Show { Window, Browser, AddressOnly };

bool HasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

Show ChooseShow(const Options& options) {
    if (options.no_browser) return Show::AddressOnly;
    if (!options.browser && platform::window::available()) return Show::Window;
    return HasDisplay() ? Show::Browser : Show::AddressOnly;
}

// Settings of the window: section [Window], X and Y only where the display
// tells positions.
constexpr const char* kWindowSection = "Window";

platform::window::Geometry LoadWindowGeometry(const framework::CWinApp& app) {
    platform::window::Geometry g;
    g.width = app.GetProfileInt(kWindowSection, "Width", 0);
    g.height = app.GetProfileInt(kWindowSection, "Height", 0);
    g.x = app.GetProfileInt(kWindowSection, "X", INT_MIN);
    g.y = app.GetProfileInt(kWindowSection, "Y", INT_MIN);
    g.has_position = g.x != INT_MIN && g.y != INT_MIN;
    return g;
}

void SaveWindowGeometry(framework::CWinApp& app, const platform::window::Geometry& g) {
    if (g.width <= 0 || g.height <= 0) return;
    app.WriteProfileInt(kWindowSection, "Width", g.width);
    app.WriteProfileInt(kWindowSection, "Height", g.height);
    if (g.has_position) {
        app.WriteProfileInt(kWindowSection, "X", g.x);
        app.WriteProfileInt(kWindowSection, "Y", g.y);
    }
}

// Opens the window on the shell page, at the place of the last session; its
// close button ends the program as File > Exit does. Null when it cannot open.
std::unique_ptr<platform::window::Window> OpenWorkbenchWindow(Workbench& w) {
    platform::window::WindowOptions options;
    options.title = "Taloria";
    options.url = w.bridge.start_url();
    if (const shell::ShellAsset* icon = shell::find_shell_asset("taloria-128.png")) {
        options.icon_png = icon->body;
    }
    options.geometry = LoadWindowGeometry(w.app);
    options.on_close_request = [&w] { RequestEnd(w); };
    options.on_loaded = [](bool ok, const std::string& detail) {
        if (!ok)
            std::fprintf(stderr, "taloria2: the window could not show its page: %s\n",
                         detail.c_str());
    };
    std::string error;
    auto window = platform::window::open_window(std::move(options), error);
    if (!window)
        std::fprintf(stderr, "taloria2: no window (%s); using the browser\n", error.c_str());
    return window;
}

// Once the application has started, the workbench appears: in its window, or
// in the browser when the window cannot open.
void PostShow(Workbench& w, Show show, const bool& started,
              std::unique_ptr<platform::window::Window>& window) {
    framework::ui_loop().post([&w, show, &started, &window] {
        if (!started || show == Show::AddressOnly) return;
        if (show == Show::Window) window = OpenWorkbenchWindow(w);
        if (!window && HasDisplay()) OpenBrowser(w.bridge.launch_url());
    });
}

// In the browser the program ends by itself once its last page has been
// closed for a while; the end waits for a run in progress, as it is a task
// of the UI loop.
std::unique_ptr<shell::IdleEnd> StartIdleEnd(Workbench& w) {
    return std::make_unique<shell::IdleEnd>(
        [&w] { return w.bridge.shell_connected(); }, shell::IdleEnd::IdleFromEnvironment(),
        [](const shell::IdleEnd& idle) {
            framework::ui_loop().post([&idle] {
                if (!idle.expired()) return;
                std::fprintf(stderr, "taloria2: its last page was closed; ending\n");
                framework::ui_loop().quit();
            });
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
int RunWorkbench(const Options& options, const std::string& notice) {
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
    if (!notice.empty()) w.bridge.add_notice(notice);
    framework::set_ui_host(&w.host);
    InstallBridgeHandlers(w, options.document);
    bool started = false;
    PostStart(w, started);
    // The signal panel: its analysis endpoint and its state in the settings.
    shell::InstallSignalEndpoint(w.bridge);
    shell::InstallSignalPanelSettings(w.bridge, w.app);
    shell::InstallRunOutputsEndpoint(w.bridge);

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
    const Show show = ChooseShow(options);
    std::unique_ptr<platform::window::Window> window;
    PostShow(w, show, started, window);
    std::unique_ptr<shell::IdleEnd> idle;
    if (show != Show::Window && !options.no_browser) idle = StartIdleEnd(w);
    framework::ui_loop().run();
    if (window) {
        if (started) SaveWindowGeometry(w.app, window->geometry());
        window->close();
    }
    const int status = Finish(w, started);
    idle.reset();
    signal_thread_done.store(true);
    kill(getpid(), SIGTERM);
    signal_thread.join();
    return status;
}

// Chooses the application directory, makes or updates it from the shipped
// app data where that applies, and changes into it. `notice` gets what the
// user should read once (the shipped files left alone). False on failure.
bool EnterApplicationDirectory(const Options& options, std::string& notice) {
    char cwd[PATH_MAX];
    const std::string current = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
    const appdir::Choice choice = appdir::ChooseApplicationDirectory(
        options.app_dir, options.appdata, current, process::executable_folder());
    if (!choice.shipped.empty()) {
        const appdir::SyncReport report =
            appdir::SyncApplicationDirectory(choice.shipped, choice.dir);
        if (!report.error.empty()) {
            std::fprintf(stderr, "taloria2: %s\n", report.error.c_str());
            return false;
        }
        notice = appdir::KeptFilesMessage(report, choice.dir);
        if (!notice.empty()) std::fprintf(stderr, "taloria2: %s", notice.c_str());
    }
    if (chdir(choice.dir.c_str()) != 0) {
        std::fprintf(stderr, "taloria2: cannot change into '%s': %s\n", choice.dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (headless::IsRunCommandLine(argc, argv)) return headless::RunFromCommandLine(argc, argv);
    Options options;
    if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
    std::string notice;
    if (!EnterApplicationDirectory(options, notice)) return 1;
    return RunWorkbench(options, notice);
}
