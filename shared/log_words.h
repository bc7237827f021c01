#pragma once

#include <QString>
#include <QUuid>

// The words the logger and its sinks share: the levels, where lines go, and the fields a line
// may carry besides its text.

enum LogLevel { OFF = 0, ERROR = 1, WARNING = 2, INFORM = 3, DEBUG = 4 };

// Where the log's lines go.
enum class log_target {
    file,         // the text file, one line per statement (the default)
    journal,      // the systemd journal, the level as the priority
    stderr_json,  // standard error, one JSON object per line, for log shippers
};

// What a line says about the command it is about, besides its text: fields of the journal and of
// the JSON line. Empty when the line names no command.
struct log_fields {
    QUuid cmd_id;
    QString msg_type;  // already fit for the log (see loggable)
};
