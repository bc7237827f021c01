#include "stderr_batch.h"

#include "log_queue.h"
#include "log_sinks.h"

#include <QCoreApplication>
#include <QDateTime>

#include <atomic>
#include <string>
#include <string_view>

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

// A line of ASCII, as diagnostic lines mostly are, reads the same in every locale's encoding: it
// is narrowed as it is into line (whose room is kept), with its line feed. False for any other.
bool as_ascii_line(const QString& text, std::string& line)
{
    if (json_lines.load(std::memory_order_relaxed))
        return false;
    const ushort* const from = text.utf16();
    const std::size_t size = static_cast<std::size_t>(text.size());
    ushort any = 0;
    for (std::size_t i = 0; i < size; ++i)  // two plain loops, which the compiler unrolls
        any |= from[i];
    if (any >= 0x80)
        return false;
    line.resize(size + 1);
    char* const to = line.data();
    for (std::size_t i = 0; i < size; ++i)
        to[i] = static_cast<char>(from[i]);
    to[size] = '\n';
    return true;
}

void write_line(std::string_view line, bool urgent);

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QString text = qFormatLogMessage(type, context, message);
    const bool urgent = type != QtDebugMsg && type != QtInfoMsg;
    thread_local std::string ascii;
    if (as_ascii_line(text, ascii)) {
        write_line(ascii, urgent);
    } else {
        const QByteArray line = as_line(level_of(type), text);
        write_line({line.constData(), static_cast<std::size_t>(line.size())}, urgent);
    }
    if (type == QtFatalMsg)
        flush();  // before the abort that follows
}

void write_line(std::string_view line, bool urgent)
{
    log_queue& queue = log_queue::standard_error();
    const std::uint64_t lost = queue.unreported();
    const QByteArray note = lost == 0 ? QByteArray() : as_line(WARNING, lost_lines_note(lost));
    queue.write(log_output::standard_error(), line, {note.constData(), static_cast<std::size_t>(note.size())}, lost,
                urgent);
}

}  // namespace

void write(const QByteArray& line, bool urgent)
{
    write_line({line.constData(), static_cast<std::size_t>(line.size())}, urgent);
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
