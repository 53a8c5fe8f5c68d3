// Fuzz target: raw HTTP requests from a browser (or anything else on the
// machine) to the front end's bridge, a real server on a loopback port: the
// header checks, the token, the shell's JSON endpoints, the file server and
// form posts.
//
// Input: the bytes of one request, sent as they are on a fresh connection.
// "@PORT@" is replaced by the server's port first, so that inputs can carry a
// Host and Origin of the server itself; the token is fixed (kToken).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bridge.h"
#include "file_io.h"
#include "fuzz_support.h"

namespace {

constexpr const char* kToken = "0123456789abcdeffedcba9876543210";
// The server keeps a connection open for further requests and waits for the
// rest of an incomplete one, so an answer is taken as complete once nothing
// more arrives for a moment. (Half-closing the connection instead would make
// the server drop the request unanswered.)
constexpr int kFirstByteMs = 25;  // an incomplete request gets no answer
constexpr int kIdleMs = 3;        // quiet time that ends an answer
constexpr int kMostMs = 2000;     // an event stream or a slow answer is cut here

shell::Bridge* start_bridge() {
    const std::string app = fuzz::scratch_folder() + "/app";
    std::filesystem::create_directories(app + "/html");
    framework::WriteFileInPlace(app + "/html/input.htm", "<p>page</p>");
    framework::WriteFileInPlace(app + "/html/speech.wav", "RIFF");

    shell::BridgeOptions options;
    options.app_dir = app;
    options.token = kToken;
    options.heartbeat_ms = 20;
    options.max_body_bytes = 64 * 1024;
    auto* bridge = new shell::Bridge(options);
    bridge->on_form([](const std::string&, const std::string& body) { return !body.empty(); });
    bridge->on_link([](const std::string& url) { return url.size() % 2 == 0; });
    bridge->on_command([](const std::string& name, const std::string&) { return name == "Play"; });
    bridge->on_stop([] {});
    std::string error;
    fuzz::check(bridge->start(error), "the bridge does not start");
    return bridge;
}

// Sends the request and reads what comes back (see kIdleMs).
std::string exchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fuzz::check(fd >= 0, "no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fuzz::check(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
                "cannot connect to the bridge");
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may close early on a bad request
        sent += static_cast<std::size_t>(n);
    }

    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const long waited_ms =
            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
        if (waited_ms >= kMostMs) break;
        const long wait_ms = answer.empty() ? kFirstByteMs - waited_ms : kIdleMs;
        if (wait_ms <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait_ms)) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

// The status code of the first answer, or 0 when there is none.
int status_of(const std::string& answer) {
    if (answer.compare(0, 5, "HTTP/") != 0) return 0;
    const std::size_t space = answer.find(' ');
    if (space == std::string::npos || space + 4 > answer.size()) return 0;
    return std::atoi(answer.substr(space + 1, 3).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static shell::Bridge* bridge = start_bridge();
    std::string request(reinterpret_cast<const char*>(data), size);
    const std::string port = std::to_string(bridge->port());
    for (std::size_t at = request.find("@PORT@"); at != std::string::npos;
         at = request.find("@PORT@", at + port.size())) {
        request.replace(at, 6, port);
    }

    const std::string answer = exchange(bridge->port(), request);
    // Without the token (plainly or percent-encoded) nothing but a refusal may
    // come back: every answer that succeeds must have passed the token check.
    const int status = status_of(answer);
    // For writing seeds: TALORIA_FUZZ_VERBOSE shows the first line of each answer.
    static const bool verbose = std::getenv("TALORIA_FUZZ_VERBOSE") != nullptr;
    if (verbose) std::fprintf(stderr, "answer: %s\n", answer.substr(0, answer.find('\r')).c_str());
    if (request.find(kToken) == std::string::npos && request.find('%') == std::string::npos) {
        fuzz::check(status == 0 || status >= 400, "a request without the token is answered");
    }
    return 0;
}
