#include "redis_connection.h"

#include "redis_pool.h"
#include "redis_socket.h"

#include <hiredis.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include <QSet>

#include <poll.h>
#include <sys/socket.h>

namespace redis {

namespace {

using clock = std::chrono::steady_clock;

// Unsent bytes above this are written out at once, so a large pipeline never piles up.
constexpr int write_bound = 16 * 1024;
// Time limits for the implicit connect of send() and for writing out a large pipeline.
constexpr int auto_connect_timeout_ms = 2000;
constexpr int write_timeout_ms = 20000;

reply convert(const redisReply* r)
{
    reply out;
    switch (r->type) {
    case REDIS_REPLY_STATUS:
        out.type = reply::kind::status;
        out.text = QByteArray(r->str, static_cast<int>(r->len));
        break;
    case REDIS_REPLY_ERROR:
        out.type = reply::kind::error;
        out.text = QByteArray(r->str, static_cast<int>(r->len));
        break;
    case REDIS_REPLY_STRING:
        out.type = reply::kind::string;
        out.text = QByteArray(r->str, static_cast<int>(r->len));
        break;
    case REDIS_REPLY_INTEGER:
        out.type = reply::kind::integer;
        out.integer = r->integer;
        break;
    case REDIS_REPLY_ARRAY:
        out.type = reply::kind::array;
        out.elements.reserve(r->elements);
        for (size_t i = 0; i < r->elements; ++i)
            out.elements.push_back(convert(r->element[i]));
        break;
    default:
        out.type = reply::kind::nil;
    }
    return out;
}

// Every command passes through here several times: compare the length and the first letter
// before the whole name.
bool is_named(const QByteArray& name, const char* expected)
{
    return name.size() == static_cast<int>(std::strlen(expected)) && (name.at(0) & ~0x20) == expected[0]
           && qstricmp(name.constData(), expected) == 0;
}

// Commands after which a socket must not be handed to another user.
bool changes_session(const QByteArray& name)
{
    static const char* const names[] = {"AUTH", "CLIENT", "HELLO", "MONITOR", "PSUBSCRIBE", "QUIT",
                                        "RESET", "SSUBSCRIBE", "SUBSCRIBE", "WATCH", "READONLY"};
    return std::any_of(std::begin(names), std::end(names), [&](const char* n) { return is_named(name, n); });
}

int ms_left(clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

struct connection::impl {
    connection_config config;
    QByteArray pool_key;
    int fd = -1;
    redisReader* reader = nullptr;

    QByteArray out;  // formatted commands not yet written, from out_pos on
    int out_pos = 0;

    std::uint64_t sent = 0;      // commands queued so far
    std::uint64_t answered = 0;  // replies received so far
    struct internal_command {
        std::uint64_t sequence;
        bool fatal;  // an error reply makes the connection unusable
        const char* what;
    };
    std::deque<internal_command> internal;
    std::set<std::uint64_t> keep;
    std::map<std::uint64_t, reply> kept;
    std::vector<std::pair<std::uint64_t, QByteArray>> errors;

    bool attempted = false;
    bool failed = false;
    QString error;

    int db = 0;
    bool in_multi = false;
    bool poolable = true;
    bool wrote_since_wait = false;
    bool reset_db = false;  // a pooled socket still has another database selected
    io_stats stats;

    int unsent() const { return out.size() - out_pos; }

    [[noreturn]] void fail(const QString& why)
    {
        close();
        failed = true;
        error = why;
        throw store_error(why.toStdString());
    }

    void close()
    {
        detail::close_socket(fd);
        fd = -1;
        if (reader) {
            redisReaderFree(reader);
            reader = nullptr;
        }
    }

    void reset_session()
    {
        out.clear();
        out_pos = 0;
        sent = answered = 0;
        internal.clear();
        keep.clear();
        kept.clear();
        errors.clear();
        db = 0;
        in_multi = false;
        poolable = true;
        wrote_since_wait = false;
        reset_db = false;
        reader = redisReaderCreate();
    }

    bool idle() const
    {
        return fd >= 0 && !failed && poolable && !in_multi && unsent() == 0 && answered == sent
               && reader && reader->pos == reader->len;
    }

    void release()
    {
        if (idle()) {
            detail::pool_put(pool_key, {fd, db});
            fd = -1;
        }
        close();
    }

    // Appends cmd to the unsent bytes as a RESP array of bulk strings. hiredis has a formatter
    // too, but it runs sprintf per argument, which dominated the cost of queueing a command.
    std::uint64_t queue(const command& cmd)
    {
        append_header('*', cmd.size());
        for (const QByteArray& arg : cmd) {
            append_header('$', arg.size());
            out.append(arg);
            out.append("\r\n", 2);
        }
        return sent++;
    }

    void append_header(char kind, int count)
    {
        char text[16];
        text[0] = kind;
        const auto end = std::to_chars(text + 1, text + sizeof text - 2, count).ptr;
        end[0] = '\r';
        end[1] = '\n';
        out.append(text, static_cast<int>(end + 2 - text));
    }

    void track_session(const command& cmd)
    {
        const QByteArray& name = cmd.front();
        if (is_named(name, "MULTI")) {
            in_multi = true;
        } else if (is_named(name, "EXEC") || is_named(name, "DISCARD")) {
            in_multi = false;
        } else if (is_named(name, "SELECT")) {
            bool ok = false;
            const int index = cmd.value(1).toInt(&ok);
            if (ok && index >= 0 && cmd.size() == 2)
                db = index;
            else
                poolable = false;
        } else if (changes_session(name)) {
            poolable = false;
        }
    }

    void handle(const redisReply* r)
    {
        const std::uint64_t sequence = answered++;
        if (!internal.empty() && internal.front().sequence == sequence) {
            const internal_command c = internal.front();
            internal.pop_front();
            if (r->type == REDIS_REPLY_ERROR) {
                const QString text = QStringLiteral("%1 refused: %2").arg(QLatin1String(c.what), QString::fromLatin1(r->str, static_cast<int>(r->len)));
                if (c.fatal)
                    fail(text);
                error = text;
            }
            return;
        }
        if (keep.erase(sequence)) {
            kept.emplace(sequence, convert(r));
        } else if (r->type == REDIS_REPLY_ERROR) {
            errors.emplace_back(sequence, QByteArray(r->str, static_cast<int>(r->len)));
        }
    }

    void read_available()
    {
        char buffer[64 * 1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            fail(QStringLiteral("connection closed by the Redis server"));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            fail(QStringLiteral("read from Redis: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (redisReaderFeed(reader, buffer, static_cast<size_t>(n)) != REDIS_OK)
            fail(QStringLiteral("Redis reply buffer: %1").arg(QLatin1String(reader->errstr)));
        for (;;) {
            void* r = nullptr;
            if (redisReaderGetReply(reader, &r) != REDIS_OK)
                fail(QStringLiteral("malformed Redis reply: %1").arg(QLatin1String(reader->errstr)));
            if (!r)
                break;
            try {
                handle(static_cast<redisReply*>(r));
            } catch (...) {
                freeReplyObject(r);
                throw;
            }
            freeReplyObject(r);
        }
    }

    void write_available()
    {
        const ssize_t n = ::send(fd, out.constData() + out_pos, static_cast<size_t>(unsent()), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            fail(QStringLiteral("write to Redis: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        out_pos += static_cast<int>(n);
        wrote_since_wait = true;
        if (out_pos == out.size()) {
            out.clear();
            out_pos = 0;
        }
    }

    // Writes and reads until everything queued is written and, if all_answered, every reply is in.
    void pump(clock::time_point deadline, bool all_answered, int limit_ms)
    {
        for (;;) {
            const bool reading = answered < sent;
            const bool writing = unsent() > 0;
            if (!writing && (!all_answered || !reading))
                return;
            if (!writing && wrote_since_wait) {
                ++stats.round_trips;
                wrote_since_wait = false;
            }
            pollfd p{fd, static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0};
            const int ready = ::poll(&p, 1, ms_left(deadline));
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                fail(QStringLiteral("poll: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            }
            if (ready == 0)
                fail(QStringLiteral("no reply from Redis within %1 ms").arg(limit_ms));
            if (p.revents & (POLLIN | POLLHUP | POLLERR))
                read_available();
            else if (p.revents & POLLNVAL)
                fail(QStringLiteral("connection to Redis lost"));
            if (fd >= 0 && (p.revents & POLLOUT))
                write_available();
        }
    }

    void queue_internal(const command& cmd, bool fatal, const char* what)
    {
        internal.push_back({queue(cmd), fatal, what});
    }

    bool connect(int timeout_ms)
    {
        close();
        reset_session();
        attempted = true;
        failed = false;
        error.clear();

        const detail::pooled_socket pooled = detail::pool_take(pool_key);
        if (pooled.fd >= 0) {
            fd = pooled.fd;
            ++stats.pooled_reuses;
            // A pooled socket looks like a fresh one: database 0, reset with the first command
            // unless that command selects a database itself.
            reset_db = pooled.db != 0;
            db = pooled.db;
            return true;
        }

        const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        QString why;
        fd = detail::dial(config.host.toLatin1(), config.port, timeout_ms, &why);
        if (fd < 0) {
            failed = true;
            error = QStringLiteral("cannot connect to Redis at %1:%2: %3").arg(config.host).arg(config.port).arg(why);
            return false;
        }
        ++stats.dials;
        if (!config.auth.isEmpty())
            queue_internal({"AUTH", config.auth.toLatin1()}, true, "AUTH");
        if (!config.name.isEmpty())
            queue_internal({"CLIENT", "SETNAME", config.name.toLatin1()}, false, "CLIENT SETNAME");
        try {
            pump(deadline, true, timeout_ms);
        } catch (const store_error&) {
            return false;
        }
        return true;
    }
};

connection::connection(connection_config config) : d(std::make_unique<impl>())
{
    d->config = std::move(config);
    const QByteArray sep(1, '\0');
    d->pool_key = d->config.host.toUtf8() + sep + QByteArray::number(d->config.port) + sep + d->config.auth.toUtf8()
                  + sep + d->config.name.toUtf8();
}

connection::~connection()
{
    d->release();
}

bool connection::connect(int timeout_ms)
{
    return d->connect(timeout_ms);
}

void connection::disconnect()
{
    d->release();
    d->attempted = false;
}

bool connection::is_connected() const
{
    return d->fd >= 0;
}

QString connection::last_error() const
{
    return d->error;
}

std::uint64_t connection::send(const command& cmd, bool keep_reply)
{
    if (cmd.isEmpty())
        throw std::invalid_argument("redis::connection::send: empty command");
    if (d->fd < 0) {
        if (d->failed || d->attempted)
            throw store_error((d->error.isEmpty() ? QStringLiteral("not connected to Redis") : d->error).toStdString());
        if (!d->connect(auto_connect_timeout_ms))
            throw store_error(d->error.toStdString());
    }
    if (d->reset_db) {
        d->reset_db = false;
        if (!is_named(cmd.front(), "SELECT")) {
            d->queue_internal({"SELECT", "0"}, true, "SELECT");
            d->db = 0;
        }
    }
    const std::uint64_t sequence = d->queue(cmd);
    d->track_session(cmd);
    if (keep_reply)
        d->keep.insert(sequence);
    if (d->unsent() > write_bound)
        d->pump(clock::now() + std::chrono::milliseconds(write_timeout_ms), false, write_timeout_ms);
    return sequence;
}

void connection::wait_idle(int timeout_ms)
{
    if (d->fd < 0) {
        if (d->failed)
            throw store_error(d->error.toStdString());
        return;
    }
    d->pump(clock::now() + std::chrono::milliseconds(timeout_ms), true, timeout_ms);
}

std::vector<std::pair<std::uint64_t, QByteArray>> connection::take_errors()
{
    return std::exchange(d->errors, {});
}

reply connection::take_reply(std::uint64_t sequence)
{
    const auto it = d->kept.find(sequence);
    if (it == d->kept.end())
        return {};
    reply r = std::move(it->second);
    d->kept.erase(it);
    return r;
}

QList<QByteArray> connection::keys(int db, const QByteArray& pattern, int timeout_ms, int limit)
{
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::uint64_t select = send({"SELECT", QByteArray::number(db)}, true);
    QList<QByteArray> names;
    QSet<QByteArray> seen;
    QByteArray cursor = "0";
    bool first = true;
    do {
        const std::uint64_t scan = send({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"}, true);
        wait_idle(std::max(ms_left(deadline), 1));
        if (first) {
            const reply selected = take_reply(select);
            if (selected.is_error())
                d->fail(QStringLiteral("SELECT %1 refused: %2").arg(db).arg(QString::fromLatin1(selected.text)));
            first = false;
        }
        const reply page = take_reply(scan);
        if (page.is_error())
            d->fail(QStringLiteral("SCAN refused: %1").arg(QString::fromLatin1(page.text)));
        if (page.type != reply::kind::array || page.elements.size() != 2)
            d->fail(QStringLiteral("unexpected SCAN reply"));
        cursor = page.elements[0].text;
        for (const reply& name : page.elements[1].elements) {
            if (seen.contains(name.text))
                continue;
            seen.insert(name.text);
            names.append(name.text);
            if (limit > 0 && names.size() >= limit)
                return names;
        }
    } while (cursor != "0");
    return names;
}

const io_stats& connection::stats() const
{
    return d->stats;
}

void connection::clear_pool()
{
    detail::pool_clear();
}

}  // namespace redis
