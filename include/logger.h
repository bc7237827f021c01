#pragma once

#include "log_summaries.h"
#include "log_words.h"

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <memory>

class QTimer;
class log_output;
class log_queue;

// How the log is set up; what a reload may change without a restart.
struct log_settings {
    log_target target = log_target::file;
    QString file_path = QStringLiteral("corvel.log");  // used by the file target only
    LogLevel level = ERROR;
};

// Streamed into a line: "cmd_id <id>, msg_type "<type>"", the type made fit for the log; both also
// become the line's fields.
struct command_named {
    const QUuid& id;
    const QString& type;
};

class log_operator;

// A kind of ERROR line that may come many times over (one per held command, per failed
// connection attempt): its lines are summarised. Lines of the same name are of the same kind.
class log_kind {
public:
    explicit log_kind(QString name) : _name(std::move(name)) {}
    const QString& name() const { return _name; }

private:
    QString _name;
};

// The service's text log: one line per statement, to the file, the journal or standard error.
// Lines are formatted on the thread that logs and written by a thread of their own (see
// log_queue): logging never waits for the file, the journal or a reader of standard error.
class logger {
public:
    // The file target at `path`, at level ERROR.
    logger(const QString& path, const QString& prefix);
    logger(const log_settings& settings, const QString& prefix);
    ~logger();
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    void set_log_level(LogLevel level);
    bool writes(LogLevel level) const { return level <= _log_level.load(std::memory_order_relaxed); }

    log_operator error();
    log_operator warning();
    log_operator info();
    log_operator debug();
    // An ERROR line of a kind: in each interval (60 s) the first 5 lines of the kind are written
    // whole, the others are neither formatted nor written, only counted, and once the interval is
    // over one line says how many more there were. The summary comes out on the next line
    // written, or by a timer of the thread that made the logger when that thread runs an event
    // loop, or when the logger goes.
    log_operator error(const log_kind& kind);
    void set_summary_interval(std::chrono::milliseconds interval);

    // Closes the file and opens the same path again, appending: once the file was moved away
    // (rotated), the following lines go to a new file there. When the path cannot be opened, the
    // lines go on to the file open until then.
    void reopen();
    // Changes where lines go and the level, at once. When the new file cannot be opened, nothing
    // changes and the reason is returned; otherwise an empty text.
    QString apply(const log_settings& settings);
    log_settings settings() const;

    // Waits until the lines logged so far are written, at most `limit`; false when they were not.
    bool flush(std::chrono::milliseconds limit = std::chrono::seconds(1));

private:
    friend class log_operator;
    logger& log(const QString& message, LogLevel level, const log_fields& fields);
    bool admit(const log_kind& kind);
    void write_line(const QString& message, LogLevel level, const log_fields& fields = {});
    QByteArray format_line(const QString& message, LogLevel level, const log_fields& fields) const;
    log_queue& queue() const;
    void write_summaries(log_summaries::which what);
    void arm_summary_timer();
    static QString levelToString(LogLevel level);

    mutable QMutex _mutex;
    std::shared_ptr<log_output> _out;  // the open log file, with the file target; standard error, with stderr-json
    std::atomic<LogLevel> _log_level{ERROR};
    QString _outFileName;
    log_target _target = log_target::file;
    const QString _prefix;
    std::unique_ptr<log_queue> _queue;  // for the file and the journal; standard error has one of its own
    log_summaries _summaries{std::chrono::seconds(60)};
    std::unique_ptr<QTimer> _summary_timer;
};

// Collects the pieces of one line; the line is written when the operator goes out of scope.
class log_operator {
public:
    log_operator(logger& target, LogLevel level);
    ~log_operator();
    log_operator(log_operator&& other) noexcept;
    log_operator(const log_operator&) = delete;
    log_operator& operator=(const log_operator&) = delete;
    log_operator& operator=(log_operator&&) = delete;

    template <typename T>
    log_operator& operator<<(const T& value)
    {
        if (_active) {
            QTextStream stream(&_res, QIODevice::WriteOnly | QIODevice::Append);
            stream << value;
        }
        return *this;
    }
    // Formatted only when the line is written; the first id of a line is its cmd_id field.
    log_operator& operator<<(const QUuid& id);
    log_operator& operator<<(const command_named& command);

private:
    friend class logger;
    log_operator(logger& target, LogLevel level, bool active);

    QString _res;
    log_fields _fields;
    logger& _logger;
    LogLevel _level;
    bool _active;  // false when the level is filtered out, the line left out (or moved away)
};
