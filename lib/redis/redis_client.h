#pragma once

#include "redis_address_source.h"
#include "redis_job.h"
#include "redis_tls.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>

namespace redis {

class transport;

struct connection_config {
    connection_config(QString host = QString(), QString auth = QString(), quint32 port = 6379, QString name = QString())
        : host(std::move(host)),
          auth(std::move(auth)),
          port(port),
          name(std::move(name))
    {
    }
    QString host;
    QString auth;  // sent with AUTH when not empty
    quint32 port = 6379;
    QString name;  // sent with CLIENT SETNAME when not empty
    QString user;  // with auth: AUTH user password (an ACL user)
    tls_settings tls;
    // Asked for host and port before each connection when set (not owned). The server must then
    // say with ROLE that it is the master, and a reply that says it no longer is (READONLY,
    // MASTERDOWN) drops the connection, so that the next one asks again.
    address_source* source = nullptr;
};

// What a client did on the wire, for benchmarks and tests.
struct io_stats {
    std::uint64_t dials = 0;    // TCP connections made
    std::uint64_t writes = 0;   // send() calls that wrote something
    std::uint64_t replies = 0;  // whole replies read, to any job
};

// One long-lived connection to a Redis server, driven by the event loop of its thread: nothing
// here ever waits. Jobs are written in the order submitted, everything submitted in one turn of
// the loop together, and each job reads the replies to what it wrote. Large jobs are written as
// the socket drains, so memory stays flat.
//
// The connection is made when there is work; with TLS, nothing is written before the handshake is
// done and the server's certificate checked, within the same limit as the connect. A failure (refused, closed, a
// protocol error, or no progress for the silence limit while replies are due: no byte read, none taken by the socket)
// fails every job on it; the next job submitted connects again. The limit grows with what Redis has to read and run
// before it can answer (one huge command, EXEC of a huge transaction), so work that keeps going completes while a
// frozen Redis is still noticed.
class client : public QObject, private reply_sink {
    Q_OBJECT
public:
    enum class state { disconnected, locating, connecting, connected };

    explicit client(connection_config config, QObject* parent = nullptr);
    ~client() override;  // drops the jobs without calling them back

    void submit(std::unique_ptr<job> work);
    // The job writing now waits for something beyond its own replies (work on another connection,
    // say) that has come: it is asked to write again, in the next turn of the loop.
    void resume();

    const connection_config& config() const { return _config; }
    state current_state() const { return _state; }
    QString last_error() const { return _last_error; }
    bool idle() const { return _jobs.empty(); }
    const io_stats& stats() const { return _stats; }
    // A connection fails when replies are due and none has come for this long.
    void set_silence_limit(int ms) { _silence_limit_ms = ms; }
    // A reply that would cost more (reply_cost_per_value) fails the connection, unless its job
    // allows more (job::reply_limit; never less).
    void set_reply_limit(std::size_t bytes) { _reply_limit = bytes; }
    // Fails every job, as a fault of the connection would: for a deadline kept outside.
    void drop(const QString& why);

    static constexpr int connect_timeout_ms = 2000;
    static constexpr int default_silence_limit_ms = 20000;
    // Replies the service reads beyond EXEC are small: a SCAN page of 10000 names is under 1 MiB.
    static constexpr std::size_t default_reply_limit = 16 * 1024 * 1024;

private:
    struct entry {
        std::unique_ptr<job> work;
        std::size_t written = 0;   // commands written
        std::size_t answered = 0;  // replies read
        bool writing_done = false;
        bool waiting = false;
    };

    void connect_now();
    void located(const QString& host, quint32 port, const QString& error);
    void connect_to_host();
    void moved(const QString& host, quint32 port);
    void moving(const QString& why);
    void notice_demotion(const reply& r);
    void resolved(const QHostInfo& info);
    void dial(const QHostAddress& address);
    void dial_finished();
    void open_transport();  // the TLS handshake, as far as the socket lets it go
    void ready();
    void readable();
    void writable();
    void fail(const QString& why);
    void close_socket();

    void pump();  // writes what the jobs have, as far as the socket takes it
    void produce();
    void write_out();
    void empty_out();
    void read_in();
    void check_silence();
    void finish_answered_jobs();

    void reply_done(entry& e)
    {
        ++_stats.replies;
        if (e.answered == e.written)
            return;  // a message of a subscription: nothing was due
        ++e.answered;
        --_outstanding;
        e.waiting = false;
    }
    void on_reply(reply&& r) override;
    void on_array(long long count) override;
    void on_element(reply&& element) override;
    void on_array_end() override;
    void on_reply_view(const reply_view& r) override;
    void on_element_view(const reply_view& element) override;
    std::size_t reply_limit() override;
    std::size_t reply_limit_floor() override { return _reply_limit; }
    // The job last found while replies to it are due (entries stay in place as jobs are added).
    entry* reading_job()
    {
        if (_reading_entry && _reading_entry->answered < _reading_entry->written)
            return _reading_entry;
        return find_reading_job();
    }
    entry* find_reading_job();

    connection_config _config;
    state _state = state::disconnected;
    QString _last_error;
    int _silence_limit_ms = default_silence_limit_ms;
    std::size_t _reply_limit = default_reply_limit;
    int _fd = -1;
    int _lookup_id = -1;
    quint64 _attempt = 0;  // connections begun: an answer of the source for an older one is ignored
    std::unique_ptr<QSocketNotifier> _read_notifier;
    std::unique_ptr<QSocketNotifier> _write_notifier;
    std::unique_ptr<transport> _transport;  // once the TCP connection is made
    std::unique_ptr<reply_reader> _reader;

    connection_memo _memo;  // of the connection now made
    std::deque<entry> _jobs;
    std::size_t _writer = 0;          // index of the job that writes now
    std::size_t _reading = 0;         // index of the job that reads now, or before it
    entry* _reading_entry = nullptr;  // the job at _reading, once found
    QByteArray _out;                  // bytes not yet written, from _out_pos on
    int _out_pos = 0;
    std::uint64_t _outstanding = 0;       // replies due
    std::uint64_t _unanswered_bytes = 0;  // written since the last byte read
    QString _pending_failure;             // noticed while reading; acted on after
    QElapsedTimer _quiet;                 // since the last byte read or written, replies became due, or locating began
    QTimer _flush;                        // once per turn, after the jobs of the turn are in
    QTimer _watchdog;
    io_stats _stats;
};

}  // namespace redis
