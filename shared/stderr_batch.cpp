#include "stderr_batch.h"

#include "log_queue.h"
#include "log_sinks.h"

#include <QCoreApplication>

namespace stderr_batch {

namespace {

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    write(qFormatLogMessage(type, context, message).toLocal8Bit() + '\n', type != QtDebugMsg && type != QtInfoMsg);
    if (type == QtFatalMsg)
        flush();  // before the abort that follows
}

}  // namespace

void write(const QByteArray& line, bool urgent)
{
    log_queue& queue = log_queue::standard_error();
    const std::uint64_t lost = queue.unreported();
    const QByteArray note = lost == 0 ? QByteArray() : (lost_lines_note(lost) + QLatin1Char('\n')).toLocal8Bit();
    queue.write(log_output::standard_error(), {line.constData(), static_cast<std::size_t>(line.size())},
                {note.constData(), static_cast<std::size_t>(note.size())}, lost, urgent);
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
