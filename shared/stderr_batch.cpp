#include "stderr_batch.h"

#include "log_queue.h"
#include "log_sinks.h"

#include <QCoreApplication>
#include <QDateTime>

#include <atomic>

namespace stderr_batch {

namespace {

std::atomic<bool> json_lines{false};

LogLevel level_of(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return DEBUG;
    case QtInfoMsg:
        return INFORM;
    case QtWarningMsg:
        return WARNING;
    default:
        return ERROR;
    }
}

QByteArray as_line(LogLevel level, const QString& text)
{
    if (json_lines.load(std::memory_order_relaxed))
        return json_log_line(QDateTime::currentDateTime(), level, text, {});  // its line feed included
    return text.toLocal8Bit() + '\n';
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    write(as_line(level_of(type), qFormatLogMessage(type, context, message)), type != QtDebugMsg && type != QtInfoMsg);
    if (type == QtFatalMsg)
        flush();  // before the abort that follows
}

}  // namespace

void write(const QByteArray& line, bool urgent)
{
    log_queue& queue = log_queue::standard_error();
    const std::uint64_t lost = queue.unreported();
    const QByteArray note = lost == 0 ? QByteArray() : as_line(WARNING, lost_lines_note(lost));
    queue.write(log_output::standard_error(), {line.constData(), static_cast<std::size_t>(line.size())},
                {note.constData(), static_cast<std::size_t>(note.size())}, lost, urgent);
}

void set_json_lines(bool json)
{
    json_lines.store(json, std::memory_order_relaxed);
}

void flush()
{
    log_queue::standard_error().flush();
}

void install()
{
    log_queue::standard_error();  // made now, so that it is flushed at exit
    qInstallMessageHandler(handler);
    log_queue::hand_over_per_loop_turn();
}

}  // namespace stderr_batch
