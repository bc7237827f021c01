#pragma once

#include "status/http_connections.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct MHD_Daemon;
struct MHD_Connection;
class QHostAddress;

// What the HTTP side serves, made by the event loop's thread.
struct status_snapshot {
    std::string metrics;    // the /metrics body
    std::string not_ready;  // empty: ready
};

// /healthz, /readyz and /metrics served by libmicrohttpd on a thread of the listener's own. That
// thread never touches the service's objects: it serves the last snapshot published, and tells a
// stuck event loop by the age of the last heartbeat, so no request ever waits for the loop. It
// also keeps the connections' table, closing those whose time is up or whose slot is taken.
class status_http {
public:
    status_http() = default;
    ~status_http();  // stops the listener, joining its thread
    status_http(const status_http&) = delete;
    status_http& operator=(const status_http&) = delete;

    // Starts listening; empty, or why it cannot.
    std::string start(const QHostAddress& host, std::uint16_t port);
    void stop();

    // From the event loop's thread: the new snapshot, which is also a heartbeat.
    void publish(status_snapshot snapshot);

    // The event loop counts as stuck once no heartbeat has come for this long.
    static constexpr std::chrono::seconds stall_limit{5};

    struct answer {
        unsigned status;
        std::string body;  // ends in a line feed
        const char* content_type;
    };
    // The answer to a request; from the listener's thread.
    answer respond(const char* url, const char* method);

private:
    struct callbacks;  // libmicrohttpd's, in the source file
    void serve();
    int wait_ms();

    MHD_Daemon* _daemon = nullptr;
    std::thread _thread;
    int _wake = -1;                 // an eventfd that ends serve()
    http_connections _connections;  // the listener's thread's only
    std::mutex _lock;
    status_snapshot _snapshot;  // under _lock
    std::atomic<std::chrono::steady_clock::rep> _heartbeat{0};
    std::atomic<bool> _starting{false};
    std::string _start_error;  // written only while starting, by the starting thread
};
