#pragma once

#include "redis_protocol.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace redis {

// What the jobs of one connection have learnt of it; forgotten when the connection is made again.
struct connection_memo {
    QSet<QByteArray> accepted_preludes;  // as written on the wire: Redis answered each without error
};

// Appends commands to a connection's output and counts them. A command may be written argument
// by argument, so one with millions of arguments never exists whole. Small pieces are gathered
// and appended to the output together: at flush(), when it is short of room, and at the end.
class command_writer {
public:
    command_writer(QByteArray& out, int bound, connection_memo* memo = nullptr) : _out(out), _bound(bound), _memo(memo)
    {
    }
    ~command_writer() { flush(); }
    command_writer(const command_writer&) = delete;
    command_writer& operator=(const command_writer&) = delete;

    void begin(int arguments) { header('*', static_cast<std::size_t>(arguments)); }
    void arg(const char* data, int size)
    {
        arg(std::string_view(), std::string_view(data, static_cast<std::size_t>(size)));
    }
    void arg(const QByteArray& a) { arg(a.constData(), a.size()); }
    // One argument made of two pieces, a key prefix and a name say.
    void arg(std::string_view head, std::string_view tail);
    void end() { ++_count; }

    void add(const command& cmd);
    // A small command of arguments at hand: the per-key commands of the big transactions.
    void add(std::initializer_list<std::string_view> arguments);
    // Commands already in RESP, as append_command writes them.
    void add_written(const QByteArray& resp, std::size_t commands);
    // The output holds enough for now: stop and go on when it has drained.
    bool full() const { return _out.size() + static_cast<int>(_used) >= _bound; }
    std::size_t count() const { return _count; }
    // The connection's memo; null when the writer serves no connection.
    connection_memo* memo() const { return _memo; }
    // What is gathered goes to the output.
    void flush();

private:
    void header(char kind, std::size_t count);

    QByteArray& _out;
    int _bound;
    connection_memo* _memo;
    std::size_t _count = 0;
    std::size_t _used = 0;  // of _gathered
    char _gathered[1024];
};

// A piece of work on a connection: it writes its commands and reads their replies, in order;
// jobs on one connection write one after another, never interleaved.
class job : public reply_sink {
public:
    enum class progress {
        more,      // call write again once the output has room
        waiting,   // call write again after the next reply has been read
        complete,  // nothing more to write
    };

    virtual progress write(command_writer& out) = 0;
    // Every reply to what it wrote has been read.
    virtual void finished() = 0;
    // The connection failed first; the job is dropped.
    virtual void failed(const QString& why) = 0;
    // Silence to allow beyond the connection's limit while this job waits for its next reply:
    // Redis answers EXEC only once it has run the whole transaction.
    virtual int extra_silence_ms() const { return 0; }
    // Replies keep coming beyond those to what it wrote (a subscription's messages): it reads
    // them all and never finishes; only the connection's failure ends it.
    virtual bool open_ended() const { return false; }
    // The most its next reply may cost (reply_cost_per_value), given what the connection allows
    // a reply: a job that knows its reply is bigger (EXEC of a huge transaction) says so.
    virtual std::size_t reply_limit(std::size_t usual) const { return usual; }

    // By default an array reply is collected whole and handed to on_reply.
    void on_array(long long count) override;
    void on_element(reply&& element) override;
    void on_array_end() override;

private:
    reply _array;
};

// A few small commands written together; their replies are handed over once all have come, or
// the connection's failure instead.
class command_batch : public job {
public:
    using done_callback = std::function<void(std::vector<reply>&& replies, const QString& failure)>;
    // extra_silence_ms: a command that Redis answers only after waiting itself (WAIT) may be
    // silent that much longer.
    command_batch(QList<command> commands, done_callback done, int extra_silence_ms = 0)
        : _commands(std::move(commands)),
          _done(std::move(done)),
          _extra_silence_ms(extra_silence_ms)
    {
    }

    progress write(command_writer& out) override;
    int extra_silence_ms() const override { return _extra_silence_ms; }
    void on_reply(reply&& r) override { _replies.push_back(std::move(r)); }
    void finished() override { _done(std::move(_replies), QString()); }
    void failed(const QString& why) override { _done({}, why); }

private:
    QList<command> _commands;
    done_callback _done;
    int _extra_silence_ms;
    std::vector<reply> _replies;
};

}  // namespace redis
