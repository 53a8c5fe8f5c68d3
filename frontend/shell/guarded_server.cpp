// Guarded connections of the bridge's server: a deadline for the request head,
// a cap on connections without a valid token, and the raw head for the checks.
#include "guarded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace shell {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunkBytes = 4096;
constexpr std::size_t kMaxHeadBytes = 64 * 1024;  // the library refuses longer heads itself
constexpr const char* kEndOfHead = "\r\n\r\n";

int poll_ms(int fd, short events, long long timeout_ms) {
    pollfd entry{fd, events, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(std::max(0LL, timeout_ms)));
    } while (result < 0 && errno == EINTR);
    return result > 0 && (entry.revents & (events | POLLHUP | POLLERR)) != 0 ? 1 : 0;
}

void address_of(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int result = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                            : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

}  // namespace

struct GuardedServer::Connection {
    int fd = -1;
    Clock::time_point head_deadline;
    std::string head;  // bytes up to the end of the head, once seen
    bool head_complete = false;
    bool listed = false;  // in unproven_
    std::list<Connection*>::iterator place;
};

namespace {

thread_local GuardedServer::Connection* t_connection = nullptr;

// A socket stream that enforces the head deadline and records the head.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(GuardedServer::Connection& connection, long long read_timeout_ms,
                  long long write_timeout_ms)
        : connection_(connection),
          read_timeout_ms_(read_timeout_ms),
          write_timeout_ms_(write_timeout_ms) {}

    bool is_readable() const override {
        long long timeout_ms = read_timeout_ms_;
        if (!connection_.head_complete) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                connection_.head_deadline - Clock::now());
            if (left.count() <= 0) return false;
            timeout_ms = std::min(timeout_ms, static_cast<long long>(left.count()));
        }
        return poll_ms(connection_.fd, POLLIN, timeout_ms) > 0;
    }

    bool is_writable() const override {
        if (poll_ms(connection_.fd, POLLOUT, write_timeout_ms_) <= 0) return false;
        // A peer that has closed its side entirely shows as readable with no data.
        char byte;
        if (poll_ms(connection_.fd, POLLIN, 0) > 0 &&
            ::recv(connection_.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            return false;
        return true;
    }

    ssize_t read(char* ptr, std::size_t size) override {
        if (offset_ == buffer_.size()) {
            if (!is_readable()) return -1;
            buffer_.resize(kReadChunkBytes);
            ssize_t got;
            do {
                got = ::recv(connection_.fd, buffer_.data(), buffer_.size(), 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                buffer_.clear();
                offset_ = 0;
                return got;
            }
            buffer_.resize(static_cast<std::size_t>(got));
            offset_ = 0;
            record_head();
        }
        const std::size_t n = std::min(size, buffer_.size() - offset_);
        std::memcpy(ptr, buffer_.data() + offset_, n);
        offset_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, std::size_t size) override {
        if (poll_ms(connection_.fd, POLLOUT, write_timeout_ms_) <= 0) return -1;
        return ::send(connection_.fd, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address_of(connection_.fd, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address_of(connection_.fd, false, ip, port);
    }
    socket_t socket() const override { return connection_.fd; }

private:
    // Keeps the bytes of the head; the deadline ends with it.
    void record_head() {
        if (connection_.head_complete) return;
        const std::size_t searched_from =
            connection_.head.size() < 3 ? 0 : connection_.head.size() - 3;
        connection_.head.append(buffer_.data(), std::min(buffer_.size(), kMaxHeadBytes));
        const std::size_t end = connection_.head.find(kEndOfHead, searched_from);
        if (end != std::string::npos) {
            connection_.head.resize(end + 4);
            connection_.head_complete = true;
        } else if (connection_.head.size() > kMaxHeadBytes) {
            connection_.head.resize(kMaxHeadBytes);
        }
    }

    GuardedServer::Connection& connection_;
    const long long read_timeout_ms_;
    const long long write_timeout_ms_;
    std::string buffer_;
    std::size_t offset_ = 0;
};

}  // namespace

GuardedServer::GuardedServer(std::chrono::milliseconds head_deadline, std::size_t max_unproven)
    : head_deadline_(head_deadline), max_unproven_(std::max<std::size_t>(max_unproven, 1)) {}

std::string GuardedServer::current_head() {
    return t_connection != nullptr ? t_connection->head : std::string();
}

void GuardedServer::mark_current_proven() {
    if (t_connection == nullptr) return;
    forget(*t_connection);
}

void GuardedServer::drop_unproven() {
    std::lock_guard lock(mutex_);
    for (Connection* connection : unproven_) ::shutdown(connection->fd, SHUT_RDWR);
}

std::size_t GuardedServer::unproven_count() const {
    std::lock_guard lock(mutex_);
    return unproven_.size();
}

// Lists a new connection as unproven; at the cap the oldest one is shut down
// (its own thread then closes it), so new clients always get their turn.
void GuardedServer::admit(std::list<Connection*>::iterator& place, Connection& connection) {
    std::lock_guard lock(mutex_);
    if (unproven_.size() >= max_unproven_) {
        Connection* oldest = unproven_.front();
        ::shutdown(oldest->fd, SHUT_RDWR);
        oldest->listed = false;
        unproven_.pop_front();
    }
    place = unproven_.insert(unproven_.end(), &connection);
    connection.listed = true;
}

void GuardedServer::forget(Connection& connection) {
    std::lock_guard lock(mutex_);
    if (!connection.listed) return;
    unproven_.erase(connection.place);
    connection.listed = false;
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    Connection connection;
    connection.fd = sock;
    connection.head_deadline = Clock::now() + head_deadline_;
    admit(connection.place, connection);
    GuardedStream stream(connection, read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000,
                         write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000);
    t_connection = &connection;
    bool closed = false;
    // One request per connection: the answer says "Connection: close".
    const bool handled = process_request(stream, true, closed, [](httplib::Request&) {});
    t_connection = nullptr;
    // Off the list before the descriptor is closed, so no other thread can
    // shut down a number that the system has already given to someone else.
    forget(connection);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return handled;
}

}  // namespace shell
