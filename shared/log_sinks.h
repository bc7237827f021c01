#pragma once

#include "log_words.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstddef>
#include <memory>

// The syslog priority of a level: ERROR 3, WARNING 4, INFORM 6, DEBUG 7.
int journal_priority(LogLevel level);

// One line of the stderr-json target, with its line feed: time (ISO 8601, milliseconds, the
// offset from UTC), level, message, and cmd_id and msg_type when the line has them.
QByteArray json_log_line(const QDateTime& time, LogLevel level, const QString& message, const log_fields& fields);

// One journal entry as text, a field "NAME=value" a line: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER (the
// application's name) and, when the line has them, CMD_ID and MSG_TYPE. The message and the type
// come escaped (see loggable), so no value holds a line feed.
QByteArray journal_entry(LogLevel level, const QString& message, const log_fields& fields);
// Sends an entry made by journal_entry. Returns 0 or the negative errno of the failure.
int send_journal_entry(const char* entry, std::size_t size);

// A descriptor the log's lines are written to: standard error, or a log file that is closed once
// nothing holds it any more (the last line queued for it written).
class log_output {
public:
    static std::shared_ptr<log_output> standard_error();
    // Opens `path` for appending; a file it creates is readable by its owner and group only, as
    // logrotate creates it. Null, and the reason in `error`, when it cannot.
    static std::shared_ptr<log_output> open_file(const QString& path, QString& error);

    log_output(int fd, bool owned) : _fd(fd), _owned(owned) {}
    ~log_output();
    log_output(const log_output&) = delete;
    log_output& operator=(const log_output&) = delete;

    // Blocks until all is written or the descriptor refuses (the rest is then lost).
    void write_all(const char* data, std::size_t size) const;

private:
    const int _fd;
    const bool _owned;
};
