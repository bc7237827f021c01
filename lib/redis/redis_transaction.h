#pragma once

#include "redis_job.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace redis {

// A command inside a transaction that executed but failed on its own (WRONGTYPE, say).
struct failed_command {
    std::size_t index;  // position among the queued commands, from 0
    QByteArray error;
};

struct transaction_result {
    bool executed = false;
    QString error;                       // why it did not execute
    std::size_t size = 0;                // commands queued between MULTI and EXEC
    std::vector<failed_command> failed;  // executed: the first commands that failed on their own
    std::size_t failed_count = 0;        // executed: how many failed on their own
    bool watched_key_changed = false;    // not executed because EXEC answered nil
    bool refused = false;                // not executed because Redis answered with an error

    static constexpr std::size_t failures_kept = 1000;
};

// MULTI ... EXEC as one job: the prelude commands (SELECT, say) go first, then MULTI, the body
// and EXEC. The body writes its commands in pieces as the connection drains, so a huge
// transaction never exists whole in memory; the EXEC reply is read element by element.
//
// It did not execute when the connection failed, a prelude command was refused, Redis discarded
// it (EXECABORT after a refused command) or EXEC answered nil (a WATCHed key changed).
//
// A prelude changes the connection (SELECT): until Redis has accepted it once on a connection,
// the transaction waits for its answers before MULTI, so a refused one stops the transaction
// before anything of it runs (in another database, say). Once accepted, later transactions with
// the same prelude pipeline it with the rest.
class transaction : public job {
public:
    // Writes some of the body's commands and returns true once it has written all of them.
    using body = std::function<bool(command_writer&)>;
    using done_callback = std::function<void(transaction_result&&)>;

    // The prelude as written on the wire: made once, shared by every transaction that uses it.
    struct prelude {
        prelude() = default;
        explicit prelude(const QList<command>& commands);
        QByteArray wire;
        std::size_t count = 0;
    };

    transaction(QList<command> prelude, body source, done_callback done);
    transaction(prelude before, body source, done_callback done);

    // A body of commands already at hand.
    static body of(QList<command> commands);

    progress write(command_writer& out) override;
    void on_reply(reply&& r) override;
    void on_reply_view(const reply_view& r) override;
    void on_array(long long count) override;
    void on_element(reply&& element) override;
    void on_element_view(const reply_view& element) override;
    void on_array_end() override;
    void finished() override;
    void failed(const QString& why) override;

    // Ends the transaction with DISCARD instead of EXEC, as a failure for this reason: what the
    // body was to write cannot be had whole. No effect once EXEC has been written.
    void abandon(const QString& why);
    // Nothing more is written once wanted() says false: not at all before MULTI, DISCARD instead
    // of EXEC after it. Asked before each piece written.
    void only_while(std::function<bool()> wanted) { _wanted = std::move(wanted); }

    // The reply to EXEC has been read.
    bool answered() const { return _exec_read; }
    // While Redis runs the transaction nothing comes back: allow for its size.
    int extra_silence_ms() const override;
    static constexpr int exec_allowance_us_per_command = 10;
    // EXEC answers every command queued: its reply may be that much bigger than the usual.
    std::size_t reply_limit(std::size_t usual) const override;
    static constexpr std::size_t exec_allowance_bytes_per_command = reply_cost_per_value + 256;

protected:
    // A job made of a transaction may write its body, take its end and say whether it is still
    // wanted here rather than through functions (left empty then).
    virtual bool write_body(command_writer& out) { return _body(out); }
    virtual void done(transaction_result&& result) { _done(std::move(result)); }
    virtual bool wanted() const { return !_wanted || _wanted(); }

private:
    enum class phase { prelude, confirming, body, exec, refused, done };
    enum class reading { prelude, multi, body, exec };
    reading next_reply() const;

    prelude _prelude;  // its wire is the key of connection_memo::accepted_preludes
    connection_memo* _memo = nullptr;
    body _body;
    done_callback _done;
    std::function<bool()> _wanted;
    phase _phase = phase::prelude;
    std::size_t _replies = 0;
    bool _exec_read = false;
    std::size_t _exec_index = 0;     // the element of the EXEC reply read next
    QString _refused;                // a prelude command refused, or no longer wanted
    bool _refused_by_redis = false;  // _refused is Redis's answer
    QString _abandoned;              // why DISCARD goes out instead of EXEC
    QByteArray _queued_error;        // the first queued command refused
    std::size_t _queued_error_index = 0;
    transaction_result _result;
};

}  // namespace redis
