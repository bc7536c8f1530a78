// The web server of `semhost try`, on 127.0.0.1: it serves the page's files
// and keeps one WebSocket per open page, which carries the page's actions in
// and the session's messages out, in order.
//
// Everything runs on one thread of the server's own, asynchronously: no
// connection holds a thread, and a client that sends slowly or not at all
// costs a timer until its deadline closes it.
//
// Who gets what:
// - Every request needs the Host header 127.0.0.1:PORT, once (else 400 or
//   403), no control byte in a header (400), no Origin but the page's own
//   and a Sec-Fetch-Site, if any, of same-origin or none (403).
// - The page (/) and its WebSocket (/socket) need the token of the printed
//   address (403); the WebSocket also needs the page's own Origin. The
//   page's script and style (nothing of the session) need no token.
// - One page drives the module, the others watch. A page drives when it
//   connects while no page drives, or when it is the driving tab loaded
//   again (a tab keeps its id across reloads): a reloaded driving page gets
//   its role back, and connections that were open before take nothing. A
//   watching page's actions are refused.
#pragma once

#include "commands/try/try_hub.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct TryServerLimits {
    // A request's header and body arrive within this, or its connection is
    // closed (a keep-alive connection waits this long for the next one).
    std::chrono::milliseconds request_deadline{10000};
    std::size_t max_header_bytes = 8 * 1024;
    std::size_t max_body_bytes = 16 * 1024;  // chunked bodies too
    std::size_t max_message_bytes = 16 * 1024;  // a page's WebSocket message
    // Connections that are not pages, open at once: a new one closes the
    // oldest, so that the driving page's reload always gets in.
    int max_connections = 64;
    // Pages (WebSockets) open at once. Past it a watching page is refused,
    // while a page that is to drive closes the oldest watching one.
    int max_pages = 16;
    // A page whose messages wait beyond this is not reading them: they are
    // dropped, and it is sent a fresh state when it catches up.
    std::size_t max_queued_bytes = 8u << 20;
};

class TryServer {
public:
    TryServer(std::string token, TryServerLimits limits = {});
    ~TryServer();
    TryServer(const TryServer&) = delete;
    TryServer& operator=(const TryServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: any free port); false with the reason.
    bool Listen(int port, std::string& problem);
    int port() const;
    // Where the session's thread meets this server's.
    TryHub& hub();
    // Serves on a thread of its own until Stop.
    void Start();
    // Closes every connection and ends the thread.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};
