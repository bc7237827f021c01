#include "redis_client.h"

#include "redis_transport.h"

#include <QAbstractEventDispatcher>

#include <unistd.h>

#include <algorithm>

namespace redis {

namespace {

// Jobs stop writing at this many unsent bytes and go on as the socket drains.
constexpr int write_bound = 256 * 1024;
// At most this much is read, and written, per turn of the loop, so a huge job cannot stall the
// rest (broker heartbeats, other deliveries) for long.
constexpr int read_budget = 1024 * 1024;
constexpr int write_budget = 1024 * 1024;
// Silence allowed beyond the limit per byte written since the last reply: 1 s per MB.
constexpr std::uint64_t bytes_per_allowed_ms = 1024;
// The output keeps its room between turns up to this much; a big job's is given back.
constexpr int kept_out_room = 64 * 1024;

}  // namespace

client::client(connection_config config, QObject* parent) : QObject(parent), _config(std::move(config))
{
    empty_out();
    _flush.setSingleShot(true);
    _flush.setInterval(0);
    connect(&_flush, &QTimer::timeout, this, &client::pump);
    // Jobs of a turn go out when the loop is about to wait, without a pass of the loop for the
    // timer; the timer stays for loops that never wait (processEvents() by hand).
    if (auto* loop = QAbstractEventDispatcher::instance())
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (_flush.isActive()) {
                _flush.stop();
                pump();
            }
        });
    _watchdog.setInterval(250);
    connect(&_watchdog, &QTimer::timeout, this, &client::check_silence);
    if (_config.source) {
        connect(_config.source, &address_source::moved, this, &client::moved);
        connect(_config.source, &address_source::moving, this, &client::moving);
    }
}

client::~client()
{
    if (_lookup_id >= 0)
        QHostInfo::abortHostLookup(_lookup_id);
    close_socket();
}

void client::submit(std::unique_ptr<job> work)
{
    _jobs.push_back(entry{std::move(work)});
    if (_state == state::disconnected)
        connect_now();
    else if (_state == state::connected && !_flush.isActive())
        _flush.start();
    if (!_watchdog.isActive())
        _watchdog.start();
}

void client::resume()
{
    if (_writer < _jobs.size())
        _jobs[_writer].waiting = false;
    if (_state == state::connected && !_flush.isActive())
        _flush.start();
}

// A server that answers as a replica is no longer the one to write to: the connection goes, and
// the next one asks the source again.
void client::notice_demotion(const reply& r)
{
    if (!_config.source || !r.is_error() || !_pending_failure.isEmpty())
        return;
    if (r.text.startsWith("READONLY") || r.text.startsWith("MASTERDOWN"))
        _pending_failure = QStringLiteral("Redis at %1:%2 is not the master: %3")
                               .arg(_config.host)
                               .arg(_config.port)
                               .arg(printable(r.text));
}

void client::close_socket()
{
    _read_notifier.reset();
    _write_notifier.reset();
    _transport.reset();
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
    _reader.reset();
    empty_out();
    _outstanding = 0;
    _unanswered_bytes = 0;
    _writer = 0;
    _reading = 0;
    _reading_entry = nullptr;
}

void client::fail(const QString& why)
{
    if (_lookup_id >= 0) {
        QHostInfo::abortHostLookup(_lookup_id);
        _lookup_id = -1;
    }
    close_socket();
    _last_error = why;
    _pending_failure.clear();
    _flush.stop();
    _watchdog.stop();
    std::deque<entry> dropped;
    dropped.swap(_jobs);
    _state = state::disconnected;
    // A job's callback may submit new work: that goes on a new connection.
    for (entry& e : dropped)
        e.work->failed(why);
}

void client::drop(const QString& why)
{
    if (_state != state::disconnected)
        fail(why);
}

void client::pump()
{
    if (_state != state::connected)
        return;
    for (int written = 0;;) {
        produce();
        const int before = _out.size() - _out_pos;
        write_out();
        if (_state != state::connected)
            return;
        const int unsent = _out.size() - _out_pos;
        // Go on while the socket takes everything and a job still has more to write.
        if (unsent > 0 || before == 0 || _writer >= _jobs.size() || _jobs[_writer].waiting)
            break;
        written += before;
        if (written >= write_budget) {
            _flush.start();  // the rest in a later turn
            break;
        }
    }
    finish_answered_jobs();
}

void client::produce()
{
    const std::uint64_t due_before = _outstanding;
    while (_out.size() - _out_pos < write_bound && _writer < _jobs.size()) {
        entry& e = _jobs[_writer];
        if (e.waiting)
            break;
        if (_out_pos > 0 && _out_pos == _out.size())
            empty_out();
        command_writer out(_out, _out_pos + write_bound, &_memo);
        const job::progress p = e.work->write(out);
        e.written += out.count();
        _outstanding += out.count();
        if (p == job::progress::complete) {
            e.writing_done = true;
            ++_writer;
        } else if (p == job::progress::waiting) {
            e.waiting = true;
        }
    }
    if (due_before == 0 && _outstanding > 0)
        _quiet.restart();
}

// Emptied with its room kept (reserved room survives resize(0)), so the commands of the next turn
// are appended without growing it again.
void client::empty_out()
{
    _out_pos = 0;
    if (_out.capacity() > kept_out_room)
        _out = QByteArray();
    if (_out.capacity() < kept_out_room)
        _out.reserve(kept_out_room);
    _out.resize(0);
}

void client::write_out()
{
    while (_out_pos < _out.size()) {
        const transport::result r =
            _transport->send(_out.constData() + _out_pos, static_cast<std::size_t>(_out.size() - _out_pos));
        if (r.what == transport::outcome::failed || r.what == transport::outcome::closed) {
            fail(QStringLiteral("write to Redis: ") + _transport->error());
            return;
        }
        if (r.what != transport::outcome::done)
            break;
        ++_stats.writes;
        _out_pos += static_cast<int>(r.bytes);
        _unanswered_bytes += r.bytes;
        _quiet.restart();
    }
    if (_out_pos == _out.size())
        empty_out();
    _write_notifier->setEnabled(_transport->wants_write());
}

void client::read_in()
{
    char buffer[256 * 1024];
    int budget = read_budget;
    while (budget > 0 && _state == state::connected) {
        const transport::result r = _transport->receive(buffer, sizeof buffer);
        if (r.what == transport::outcome::closed || r.what == transport::outcome::failed) {
            fail(r.what == transport::outcome::closed ? _transport->error()
                                                      : QStringLiteral("read from Redis: ") + _transport->error());
            return;
        }
        if (r.what != transport::outcome::done)
            break;
        budget -= static_cast<int>(r.bytes);
        _quiet.restart();
        _unanswered_bytes = 0;
        if (!_reader->feed(buffer, r.bytes, *this) && _pending_failure.isEmpty())
            _pending_failure = QStringLiteral("malformed reply from Redis at %1:%2: %3")
                                   .arg(_config.host)
                                   .arg(_config.port)
                                   .arg(QString::fromLatin1(_reader->error()));
        if (!_pending_failure.isEmpty()) {
            fail(QString(_pending_failure));  // a copy: fail() clears it
            return;
        }
        if (r.bytes < sizeof buffer)
            break;
    }
    if (_state != state::connected)
        return;
    // Input held by TLS past the budget: no socket event will say it is there.
    if (budget <= 0 && _transport->holds_input())
        QTimer::singleShot(0, this, &client::read_in);
    pump();
}

client::entry* client::find_reading_job()
{
    _reading_entry = nullptr;
    // Jobs fully answered stay until the end of the read; skip them once.
    for (; _reading < _jobs.size(); ++_reading) {
        entry& e = _jobs[_reading];
        if (e.answered < e.written || e.work->open_ended())
            return _reading_entry = &e;
        if (!e.writing_done)
            break;
    }
    return nullptr;
}

void client::on_reply(reply&& r)
{
    entry* e = reading_job();
    if (!e) {
        _pending_failure = QStringLiteral("Redis sent a reply nobody asked for");
        return;
    }
    notice_demotion(r);
    e->work->on_reply(std::move(r));
    reply_done(*e);
}

void client::on_reply_view(const reply_view& r)
{
    if (r.is_error()) {
        on_reply(make_reply(r));  // looked at for a demotion
        return;
    }
    entry* e = reading_job();
    if (!e) {
        _pending_failure = QStringLiteral("Redis sent a reply nobody asked for");
        return;
    }
    e->work->on_reply_view(r);
    reply_done(*e);
}

std::size_t client::reply_limit()
{
    const entry* e = reading_job();
    return e ? std::max(_reply_limit, e->work->reply_limit(_reply_limit)) : _reply_limit;
}

void client::on_array(long long count)
{
    if (entry* e = reading_job())
        e->work->on_array(count);
    else
        _pending_failure = QStringLiteral("Redis sent a reply nobody asked for");
}

void client::on_element(reply&& element)
{
    notice_demotion(element);
    if (entry* e = reading_job())
        e->work->on_element(std::move(element));
}

void client::on_element_view(const reply_view& element)
{
    if (element.is_error())
        on_element(make_reply(element));
    else if (entry* e = reading_job())
        e->work->on_element_view(element);
}

void client::on_array_end()
{
    if (entry* e = reading_job()) {
        e->work->on_array_end();
        reply_done(*e);
    }
}

void client::finish_answered_jobs()
{
    while (!_jobs.empty() && _writer > 0 && _jobs.front().writing_done &&
           _jobs.front().answered == _jobs.front().written && !_jobs.front().work->open_ended()) {
        std::unique_ptr<job> done = std::move(_jobs.front().work);
        _jobs.pop_front();
        _reading_entry = nullptr;
        --_writer;
        if (_reading > 0)
            --_reading;
        done->finished();  // may submit more work
    }
    if (_jobs.empty())
        _watchdog.stop();
}

void client::check_silence()
{
    if (_state == state::locating && _quiet.elapsed() > _config.source->locate_limit_ms()) {
        fail(QStringLiteral("no address for Redis within %1 ms").arg(_config.source->locate_limit_ms()));
    } else if (_state == state::connecting && _quiet.elapsed() > connect_timeout_ms) {
        fail(QStringLiteral("cannot connect to Redis at %1:%2: %3 after %4 ms")
                 .arg(_config.host)
                 .arg(_config.port)
                 .arg(_transport ? QStringLiteral("no TLS handshake") : QStringLiteral("timed out"))
                 .arg(connect_timeout_ms));
    } else if (_state == state::connected && _outstanding > 0 && _quiet.elapsed() > _silence_limit_ms) {
        // Redis answers one command only once it has read and run it all: a command of millions
        // of arguments, or EXEC of a huge transaction, is silence that is not a fault.
        const entry* waiting = reading_job();
        const qint64 limit = qint64(_silence_limit_ms) + qint64(_unanswered_bytes / bytes_per_allowed_ms) +
                             (waiting ? waiting->work->extra_silence_ms() : 0);
        if (_quiet.elapsed() > limit)
            fail(QStringLiteral("no reply from Redis within %1 ms (%2 of %3 replies read)")
                     .arg(limit)
                     .arg(waiting ? waiting->answered : 0)
                     .arg(waiting ? waiting->written : 0));
    }
}

}  // namespace redis
