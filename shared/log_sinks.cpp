#include "log_sinks.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <systemd/sd-journal.h>

#include <sys/uio.h>

#include <vector>

namespace {
// A JSON string literal, quotes included, with whatever escapes JSON needs.
QByteArray json_string(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);  // "[" and "]"
}

const char* level_word(LogLevel level)
{
    static const char* const words[] = {"off", "error", "warning", "info", "debug"};
    return words[level];
}
}

int journal_priority(LogLevel level)
{
    switch (level) {
    case ERROR:
        return 3;
    case WARNING:
        return 4;
    case INFORM:
        return 6;
    case DEBUG:
    case OFF:
        break;
    }
    return 7;
}

QByteArray json_log_line(const QDateTime& time, LogLevel level, const QString& message, const log_fields& fields)
{
    QByteArray line = "{\"time\":" + json_string(time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs))
                      + ",\"level\":\"" + level_word(level) + "\",\"message\":" + json_string(message);
    if (!fields.cmd_id.isNull())
        line += ",\"cmd_id\":\"" + fields.cmd_id.toByteArray(QUuid::WithoutBraces) + '"';
    if (!fields.msg_type.isNull())
        line += ",\"msg_type\":" + json_string(fields.msg_type);
    return line + "}\n";
}

int send_to_journal(LogLevel level, const QString& message, const log_fields& fields)
{
    std::vector<QByteArray> items{"MESSAGE=" + message.toUtf8(), "PRIORITY=" + QByteArray::number(journal_priority(level))};
    if (!QCoreApplication::applicationName().isEmpty())
        items.push_back("SYSLOG_IDENTIFIER=" + QCoreApplication::applicationName().toUtf8());
    if (!fields.cmd_id.isNull())
        items.push_back("CMD_ID=" + fields.cmd_id.toByteArray(QUuid::WithoutBraces));
    if (!fields.msg_type.isNull())
        items.push_back("MSG_TYPE=" + fields.msg_type.toUtf8());
    std::vector<iovec> vector;
    for (QByteArray& item : items)
        vector.push_back({item.data(), static_cast<size_t>(item.size())});
    return sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}
