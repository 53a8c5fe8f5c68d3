// taloria2: the speech-synthesis workbench as a local web application. Serves
// the shell page and the app directory on 127.0.0.1 and runs the application
// on the UI loop of the main thread.
#include "audio_player.h"
#include "bridge.h"
#include "browser_host.h"
#include "main_frame.h"
#include "message_loop.h"
#include "taloria_app.h"
#include "taloria_doc.h"
#include "view.h"

#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

extern char** environ;

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
                std::fprintf(stderr, "taloria2: --port needs a number from 0 to 65535, not '%s'\n", text);
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
// environment and only this one-time address.
void OpenBrowser(const std::string& url) {
    std::string address = url;
    char program[] = "xdg-open";
    char* args[] = {program, address.data(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        // The child takes the signals back that the parent keeps blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
        // Nothing of ours (the server's sockets above all) goes to the browser.
        syscall(SYS_close_range, 3U, ~0U, 0U);
        execvp(program, args);
        _exit(127);
    }
    if (pid < 0) {
        std::fprintf(stderr, "taloria2: could not start xdg-open; open the address above yourself\n");
        return;
    }
    // Reap it in the background; its result does not matter.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;

    if (!options.app_dir.empty() && chdir(options.app_dir.c_str()) != 0) {
        std::fprintf(stderr, "taloria2: cannot change into '%s': %s\n", options.app_dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Writes to a pipe whose reader has gone must fail, not end the program.
    signal(SIGPIPE, SIG_IGN);
    // Ctrl+C and SIGTERM are taken by one thread of ours; every other thread
    // (created after this) keeps them blocked.
    sigset_t ending_signals;
    sigemptyset(&ending_signals);
    sigaddset(&ending_signals, SIGINT);
    sigaddset(&ending_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending_signals, nullptr);

    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        std::fprintf(stderr, "taloria2: cannot read the current directory: %s\n", std::strerror(errno));
        return 1;
    }

    shell::BridgeOptions bridge_options;
    bridge_options.app_dir = cwd;
    bridge_options.port = options.port;
    shell::Bridge bridge(bridge_options);
    CTaloriaApp app;
    CMainFrame frame;
    CTaloriaView view(&frame);
    app.m_pMainWnd = &frame;
    app.m_strCmdLineFile = options.document;
    app.m_attachViews = [&view](framework::CDocument& doc) { doc.AddView(&view); };
    auto document = [&app] { return static_cast<CTaloriaDoc*>(app.GetDocument()); };

    shell::BrowserUiHost host(bridge, [&] {
        shell::CommandStates states;
        CTaloriaDoc* doc = document();
        states.play = doc != nullptr && !doc->m_strPlayFile.empty();
        states.pause = thePlayer.IsPlaying() || thePlayer.IsPaused();
        states.stop = thePlayer.IsPlaying();
        return states;
    });
    framework::set_ui_host(&host);
    framework::MessageLoop& loop = framework::ui_loop();

    // After every request: Play, Pause and Stop and the recent files may have changed.
    auto refresh = [&] {
        host.command_states_changed();
        bridge.set_recent_files(app.GetRecentFiles());
    };

    bridge.on_form([&](const std::string& url, const std::string& body) {
        // A request abandoned because the program is ending counts as cancelled.
        bool cancel = true;
        RunOnLoop<bool>([&view, &refresh, url, body] {
            bool cancelled = false;
            view.OnBeforeNavigate2(url, 0, std::string(), body, std::string(), &cancelled);
            refresh();
            return cancelled;
        }, &cancel);
        return cancel;
    });
    bridge.on_link([&](const std::string& url) {
        bool cancel = false;
        RunOnLoop<bool>([&view, &refresh, url] {
            bool cancelled = false;
            view.OnBeforeNavigate2(url, 0, std::string(), std::string(), std::string(), &cancelled);
            refresh();
            return cancelled;
        }, &cancel);
        return cancel;
    });
    bridge.on_command([&](const std::string& name) {
        std::function<void()> action;
        if (name == "new") action = [&] { app.OnFileNew(); };
        else if (name == "open") action = [&] { app.OnFileOpen(); };
        else if (name == "save") action = [&] { app.OnFileSave(); };
        else if (name == "saveAs") action = [&] { app.OnFileSaveAs(); };
        else if (name == "exit") action = [&] { loop.quit(); };
        else if (name == "restart") action = [&] { view.OnGoRestart(); };
        else if (name == "help") action = [&] { view.OnHelpContents(); };
        else if (name == "configuration") action = [] { CMainFrame::OnConfiguration(); };
        else if (name == "about") action = [] { CMainFrame::OnAppAbout(); };
        else if (name == "play") action = [&] { if (CTaloriaDoc* doc = document()) CMainFrame::OnPlay(*doc, &frame); };
        else if (name == "pause") action = [] { CMainFrame::OnPause(); };
        else if (name == "stop") action = [] { CMainFrame::OnStop(); };
        else if (name.size() == 7 && name.compare(0, 6, "recent") == 0 && name[6] >= '1' && name[6] <= '4') {
            const std::size_t index = static_cast<std::size_t>(name[6] - '1');
            action = [&app, index] { app.OnFileMRU(index); };
        } else {
            return false;
        }
        bool ran = false;
        RunOnLoop<bool>([action, &refresh] {
            action();
            refresh();
            return true;
        }, &ran);
        return true;
    });
    // The UI thread is busy inside the run, so the stop goes straight to the
    // stage runner's flag, which the runner reads while the command runs.
    bridge.on_stop([] { g_bStopRun.store(true); });

    // The application starts first on the UI loop: a request that comes as
    // soon as the address is printed is queued behind it and finds the
    // document in place.
    bool started = false;
    loop.post([&] {
        started = app.InitInstance() != 0;
        if (!started) {
            loop.quit();
            return;
        }
        refresh();
    });

    // Served only now that every handler is in place: a request that comes
    // as soon as the address is printed must find them, not be dropped.
    std::string error;
    if (!bridge.start(error)) {
        std::fprintf(stderr, "taloria2: %s\n", error.c_str());
        framework::set_ui_host(nullptr);
        return 1;
    }
    std::printf("Taloria is at %s\n", bridge.start_url().c_str());
    std::fflush(stdout);

    // The signal thread: a normal end, as the Exit command.
    std::atomic<bool> signal_thread_done{false};
    std::thread signal_thread([&] {
        for (;;) {
            int number = 0;
            if (sigwait(&ending_signals, &number) != 0) continue;
            if (signal_thread_done.load()) return;
            g_bEnding.store(true);
            g_bStopRun.store(true);
            bridge.cancel_modals();
            loop.quit();
            loop.wake();
        }
    });

    if (!options.no_browser && (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr)) {
        OpenBrowser(bridge.launch_url());
    }

    loop.run();
    g_bEnding.store(true);
    bridge.cancel_modals();

    int status = 1;
    if (started) {
        thePlayer.Stop();
        status = app.ExitInstance();
    }
    bridge.send_quit();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the quit event reach the shells
    bridge.stop();
    framework::set_ui_host(nullptr);

    signal_thread_done.store(true);
    kill(getpid(), SIGTERM);
    signal_thread.join();
    return started ? status : 1;
}
