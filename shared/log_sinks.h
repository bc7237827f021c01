#pragma once

#include "logger.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The syslog priority of a level: ERROR 3, WARNING 4, INFORM 6, DEBUG 7.
int journal_priority(LogLevel level);

// One line of the stderr-json target, with its line feed: time (ISO 8601, milliseconds, the
// offset from UTC), level, message, and cmd_id and msg_type when the line has them.
QByteArray json_log_line(const QDateTime& time, LogLevel level, const QString& message, const log_fields& fields);

// Sends one entry to the journal: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER (the application's name)
// and, when the line has them, CMD_ID and MSG_TYPE. Returns 0 or the negative errno of the failure.
int send_to_journal(LogLevel level, const QString& message, const log_fields& fields);
