#include "log_sinks.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <systemd/sd-journal.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

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
    QByteArray line =
        "{\"time\":" + json_string(time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs)) +
        ",\"level\":\"" + level_word(level) + "\",\"message\":" + json_string(message);
    if (!fields.cmd_id.isNull())
        line += ",\"cmd_id\":\"" + fields.cmd_id.toByteArray(QUuid::WithoutBraces) + '"';
    if (!fields.msg_type.isNull())
        line += ",\"msg_type\":" + json_string(fields.msg_type);
    return line + "}\n";
}

QByteArray journal_entry(LogLevel level, const QString& message, const log_fields& fields)
{
    QByteArray entry = "MESSAGE=" + message.toUtf8() + "\nPRIORITY=" + QByteArray::number(journal_priority(level));
    if (!QCoreApplication::applicationName().isEmpty())
        entry += "\nSYSLOG_IDENTIFIER=" + QCoreApplication::applicationName().toUtf8();
    if (!fields.cmd_id.isNull())
        entry += "\nCMD_ID=" + fields.cmd_id.toByteArray(QUuid::WithoutBraces);
    if (!fields.msg_type.isNull())
        entry += "\nMSG_TYPE=" + fields.msg_type.toUtf8();
    return entry;
}

int send_journal_entry(const char* entry, std::size_t size)
{
    std::array<iovec, 8> fields{};
    std::size_t count = 0;
    for (const char* end = entry + size; entry < end && count < fields.size(); ++count) {
        const char* next = static_cast<const char*>(std::memchr(entry, '\n', static_cast<std::size_t>(end - entry)));
        if (!next)
            next = end;
        fields[count] = {const_cast<char*>(entry), static_cast<std::size_t>(next - entry)};
        entry = next + 1;
    }
    return sd_journal_sendv(fields.data(), static_cast<int>(count));
}

std::shared_ptr<log_output> log_output::standard_error()
{
    static const auto out = std::make_shared<log_output>(STDERR_FILENO, false);
    return out;
}

std::shared_ptr<log_output> log_output::open_file(const QString& path, QString& error)
{
    const QByteArray name = QFile::encodeName(path);
    const bool created = ::access(name.constData(), F_OK) != 0;
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    if (created)
        ::fchmod(fd, 0640);  // whatever the umask
    return std::make_shared<log_output>(fd, true);
}

log_output::~log_output()
{
    if (_owned)
        ::close(_fd);
}

void log_output::write_all(const char* data, std::size_t size) const
{
    while (size > 0) {
        const ssize_t n = ::write(_fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}
