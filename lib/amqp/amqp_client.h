#pragma once

#include "amqp_backoff.h"
#include "amqp_channel.h"
#include "amqp_tls.h"
#include "amqp_uri.h"

#include <amqp.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace amqp {

// One AMQP 0-9-1 connection, driven from the Qt event loop of the thread it lives on. Every call
// returns at once; what the broker answers arrives as signals. Connecting, name lookup and login
// are each bounded by about 2 s; an amqps open (name lookup, connect and TLS handshake, which
// rabbitmq-c does the blocking way) runs on a thread of its own, so nothing stalls the loop.
// Given several brokers, each attempt (a round) tries them in order, the next one at once when
// one fails. With automatic reconnection
// on, a round that failed, or a lost connection, is followed by a new round from the first broker
// after a back-off of 1 s doubling to 5 s (a broker back after an outage of any length is consumed
// from within seconds; an attempt costs a refused connection or one bounded by 2 s); the back-off goes back to 1 s once
// a consumer is running again (or, on a connection without queues, once logged in).
class client : public QObject {
    Q_OBJECT
public:
    static constexpr int reconnect_last_ms = 5000;

    explicit client(QObject* parent = nullptr);
    ~client() override;  // closes the socket at once: disconnectFromHost() first for a polite close

    // Starts connecting (from the event loop) to "amqp[s]://user:password@host:port/vhost", or to
    // the first that answers of a comma-separated list of such URIs (see split_uris).
    void connectToHost(const QString& uri);
    // Closes the connection (connection.close, waiting at most 1 s for the broker's close-ok) and
    // stops reconnecting.
    void disconnectFromHost();

    // Reconnect after a loss; a timeout of 0 ms means the back-off schedule, else a fixed delay.
    void setAutoReconnect(bool on, int timeout_ms = 0);
    // Outgoing data that cannot be written for this long means the connection is dead.
    void setWriteTimeout(int ms) { _write_timeout_ms = ms; }
    // Takes the place of the vhost of the URI.
    void setVirtualHost(const QString& vhost);
    // Shown by the broker's tools as the connection's name.
    void setConnectionName(const QString& name) { _connection_name = name; }
    // How amqps brokers are checked and whether we show a client certificate. By default a
    // broker's certificate must chain to a CA of the system's trust store and carry the host name
    // of its URI. A broker that fails the checks is refused like one that cannot be reached.
    void setTls(const tls_settings& settings) { _tls = settings; }
    // Takes the place of the password of every URI; a null string leaves each its own. An amqps
    // URI without a password, given a client certificate, logs in by that certificate (EXTERNAL).
    void setPassword(const QString& password) { _password = password; }

    bool isConnected() const { return _phase == phase::open; }
    // The broker has stopped reading from us (memory or disk alarm): sends wait in our outbox.
    bool isBlocked() const { return _blocked; }
    QString lastError() const { return _last_error; }
    // The URI of the broker in use or being tried (between rounds, the one that failed last),
    // with its password masked for log lines; empty before connectToHost.
    QString currentUri() const;

    // The queue or exchange object for a name, made on first use on a channel of its own; the same
    // object for a name already held. The client owns it. A channel number of -1 picks a free one.
    queue* createQueue(const QString& name, int channelNumber = -1);
    exchange* createExchange(const QString& name, int channelNumber = -1);

    // Most bytes of publications waiting in the outbox before a publication is refused.
    static constexpr qint64 outbox_limit_bytes = 64 * 1024 * 1024;

signals:
    void connected();
    void disconnected();
    // Why a connection failed, was refused or was closed by the broker.
    void error(const QString& text);
    void blockedChanged(bool blocked);

private:
    friend class channel;
    friend class queue;
    friend class exchange;
    enum class phase { idle, resolving, connecting, handshake, open, opening_tls };
    static constexpr int step_timeout_ms = 2000;  // name lookup, TCP connect and login, each
    struct tls_open;
    // Where a TLS open on its own thread hands its result back; cleared when the client goes.
    struct tls_mailbox {
        std::mutex lock;
        client* owner;
    };

    struct outgoing {
        quint16 channel;
        quint32 epoch;
        qint64 bytes;
        channel::sender send;
    };

    void attempt();
    void open_tls();
    void tls_opened(const std::shared_ptr<tls_open>& open, quint64 generation);
    void resolved(const QHostInfo& info);
    void dial_next();
    void tcp_connected();
    void start_handshake();
    void fail(const QString& why);
    void teardown();
    void drop_notifiers();
    void schedule_reconnect(bool was_open);
    void reset_backoff() { _backoff.reset(); }
    void tick();

    void pump();
    void pump_later_if_buffered();
    void handle_frame(const amqp_frame_t& frame);
    void handle_connection_method(const amqp_method_t& method);
    void send_start_ok(const amqp_connection_start_t& start);
    void send_tune_ok(const amqp_connection_tune_t& tune);
    void logged_in();

    // Sends now when the socket takes it, else queues it in the outbox. Publications are refused
    // when the outbox is full, unless already taken (waiting for their channel to open).
    bool submit(quint16 channel, quint32 epoch, qint64 bytes, channel::sender op, bool taken = false);
    void flush_outbox();
    void uncork();
    bool writable() const;
    bool ready_to_write() const { return _tls_socket ? writable() : _writing != writing::waiting; }
    // Writes what the buffer holds, as far as the socket takes it; false when the connection failed.
    bool write_buffered();
    // A frame of ours is in the socket in part: nothing else may be written before its rest.
    bool frame_cut() const { return _frame_start < _buffered_sent; }
    void skip_whole_frames();
    // The library writes its heartbeat by itself while it reads once its clock says one is due;
    // one sent through it keeps that clock early, and reads wait while a cut frame could meet it.
    void keep_heartbeat_clock();
    bool library_heartbeat_near() const;
    void hold_reads();
    void release_reads();
    void forget_buffered();
    // The limit bounds what waits: a single message larger than it still goes when nothing does.
    bool outbox_takes(qint64 bytes) const { return _outbox_bytes == 0 || _outbox_bytes + bytes <= outbox_limit_bytes; }
    // Sends are written now, in order: nothing waits in the outbox and the socket takes more.
    bool writes_at_once() const
    {
        return _state && _phase == phase::open && _outbox.empty() && !_blocked && ready_to_write();
    }
    bool run(frame_writer op, quint16 channel);
    void watch_writes(bool on);
    void consumer_started() { reset_backoff(); }

    template <class T>
    T* create(const QString& name, int number, std::map<QString, T*>& by_name);

    QStringList _uris;                 // as given, in the order tried
    std::vector<endpoint> _endpoints;  // one for each of _uris
    int _uri_index = 0;                // the one in use or being tried
    int _next_uri_index = 0;           // the one the next attempt tries
    endpoint _endpoint;                // that of _uri_index
    tls_settings _tls;
    QString _password;  // null: each URI's own
    QString _vhost_override;
    bool _vhost_set = false;
    QString _connection_name;
    bool _auto_reconnect = false;
    int _fixed_reconnect_ms = 0;
    backoff _backoff{backoff::first_ms, reconnect_last_ms};
    int _write_timeout_ms = 20000;

    phase _phase = phase::idle;
    amqp_connection_state_t _state = nullptr;
    int _fd = -1;
    bool _fd_owned = false;  // until the library adopts it
    std::unique_ptr<QSocketNotifier> _read_notifier;
    std::unique_ptr<QSocketNotifier> _write_notifier;
    QList<QHostAddress> _addresses;
    int _lookup_id = -1;
    QElapsedTimer _phase_clock;  // time in the current connecting phase
    bool _pumping = false;
    quint64 _generation = 0;  // counts teardowns, so a drain can tell the connection went away
    bool _blocked = false;
    bool _corked = false;
    bool _closing = false;
    QString _last_error;

    // On a plain TCP connection the frames of one turn of the event loop gather in _buffered and
    // leave in one write when the turn is over (a TLS socket only the library can write: there,
    // each goes at once). What the socket did not take waits there, ahead of the outbox.
    enum class writing { idle, gathering, waiting };
    bool _tls_socket = false;
    writing _writing = writing::idle;
    QByteArray _buffered;
    qint64 _buffered_sent = 0;         // bytes of _buffered written
    qint64 _frame_start = 0;           // where the first frame not written whole starts
    QElapsedTimer _library_heartbeat;  // since a heartbeat went out through the library
    bool _reads_held = false;          // while a cut frame waits for the socket
    QTimer _write_turn;

    std::deque<outgoing> _outbox;
    qint64 _outbox_bytes = 0;
    QElapsedTimer _outbox_clock;  // since the outbox last made progress

    std::shared_ptr<tls_mailbox> _tls_mailbox;
    // Where the checks of the last amqps open note a failure; alive as long as its connection.
    std::shared_ptr<tls_verify_record> _tls_verify;

    QTimer _tick;
    QTimer _reconnect;
    std::map<quint16, channel*> _channels;
    std::map<QString, queue*> _queues;
    std::map<QString, exchange*> _exchanges;
};

}  // namespace amqp
