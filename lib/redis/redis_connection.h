#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace redis {

// The store could not do what was asked: it was unreachable, the connection broke, it refused
// the connection set-up, or a wait ran out. Callers tell this apart from bad input by its type.
class store_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct connection_config {
    QString host;
    QString auth;  // sent with AUTH when not empty
    quint32 port = 6379;
    QString name;  // sent with CLIENT SETNAME when not empty
};

// One Redis command: the command name followed by its arguments, each a byte string.
using command = QList<QByteArray>;

struct reply {
    enum class kind { status, error, integer, string, nil, array };
    kind type = kind::nil;
    QByteArray text;  // status, error and string replies
    long long integer = 0;
    std::vector<reply> elements;

    bool is_error() const { return type == kind::error; }
};

// What a connection did on the wire, for benchmarks and tests.
struct io_stats {
    std::uint64_t dials = 0;          // new TCP connections made
    std::uint64_t pooled_reuses = 0;  // sockets taken over from the pool
    std::uint64_t round_trips = 0;    // times the client waited for the server after writing
};

// A blocking connection to one Redis server, driven with poll() under explicit time limits.
//
// Commands are written without waiting for their replies (a pipeline) and the caller waits
// once with wait_idle(). Large pipelines are streamed: whenever the unsent bytes pass a bound
// the connection writes them out and reads whatever replies have arrived meanwhile, so memory
// stays flat on both sides.
//
// Destroying or disconnecting a healthy, idle connection outside a transaction hands its socket
// to a small per-process pool keyed by host, port, password and name; the next connection with
// the same settings takes it instead of dialing. A socket that saw any failure is closed instead.
class connection {
public:
    explicit connection(connection_config config);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Takes a pooled socket or dials, within timeout_ms, and sends AUTH and CLIENT SETNAME when
    // configured. Returns false on failure, with the reason in last_error(); a later send()
    // then throws that failure instead of dialing again.
    bool connect(int timeout_ms);
    void disconnect();
    bool is_connected() const;
    QString last_error() const;

    // Queues cmd for writing and returns its sequence number on this connection. The reply is
    // dropped unless keep_reply is set (then take it with take_reply); error replies of dropped
    // commands are collected for take_errors(). Connects first when never connected.
    std::uint64_t send(const command& cmd, bool keep_reply = false);

    // Writes everything queued and waits until every command sent has been answered, at most
    // timeout_ms in all. Throws store_error on a time-out or a broken connection; the socket is
    // then closed, since its state is unknown.
    void wait_idle(int timeout_ms);

    // The error replies of dropped commands since the last call, as (sequence number, text).
    std::vector<std::pair<std::uint64_t, QByteArray>> take_errors();
    // The reply of a command sent with keep_reply, once it has arrived (a nil reply otherwise).
    reply take_reply(std::uint64_t sequence);

    // Names of the keys of database db that match the glob pattern, by SCAN with MATCH over all
    // pages, each name once, in the order first seen. Stops early once `limit` names are found
    // (0: no limit). Leaves database db selected on this connection.
    QList<QByteArray> keys(int db, const QByteArray& pattern, int timeout_ms, int limit = 0);

    const io_stats& stats() const;

    // Closes every pooled socket (tests use it to start from a clean slate).
    static void clear_pool();

private:
    struct impl;
    std::unique_ptr<impl> d;
};

}  // namespace redis
