// The HTTP server of the bridge with a guard on every connection: the request
// head must be complete within a deadline however slowly it arrives, and the
// connections that have not yet shown a valid token are capped, the oldest
// giving way to a new one, so that idle or slow strangers can never crowd out
// the workbench's own page. The raw head is kept for checks that the parsed
// headers cannot express (a header given twice, a header with an empty value).
//
// Threading: each connection is served on one worker thread from its first
// byte to its close; the per-connection calls below act on the connection of
// the calling thread and may only be called from a handler.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>

namespace shell {

class GuardedServer : public httplib::Server {
public:
    // `head_deadline`: time from accepting a connection to the end of its
    // request head. `max_unproven`: connections without a valid token yet.
    GuardedServer(std::chrono::milliseconds head_deadline, std::size_t max_unproven);

    // The request head (request line and header lines, CR LF kept) of the
    // calling thread's connection; empty outside a handler.
    static std::string current_head();
    // The calling thread's connection has shown a valid token: it no longer
    // counts against the cap and cannot be pushed out.
    void mark_current_proven();

    // Shuts down every connection still waiting for its head (the server ends).
    void drop_unproven();

    // Connections accepted and not yet proven.
    std::size_t unproven_count() const;

    struct Connection;  // one accepted connection (defined with the server)

private:
    bool process_and_close_socket(socket_t sock) override;
    void admit(std::list<Connection*>::iterator& place, Connection& connection);
    void forget(Connection& connection);

    const std::chrono::milliseconds head_deadline_;
    const std::size_t max_unproven_;
    mutable std::mutex mutex_;
    std::list<Connection*> unproven_;  // oldest first
};

}  // namespace shell
