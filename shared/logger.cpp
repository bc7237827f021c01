#include "logger.h"

#include "log_queue.h"
#include "log_sinks.h"
#include "loggable.h"
#include "stderr_batch.h"

#include <QDateTime>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {
// Said on standard error, where an operator looks when the log itself cannot be written.
void say_on_stderr(const QString& text)
{
    stderr_batch::write((text + QLatin1Char('\n')).toLocal8Bit(), true);
}

std::string_view view(const QByteArray& bytes)
{
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}
}

logger::logger(const QString& path, const QString& prefix) : logger(log_settings{log_target::file, path, ERROR}, prefix)
{
}

logger::logger(const log_settings& settings, const QString& prefix)
    : _log_level(settings.level),
      _outFileName(settings.file_path),
      _target(settings.target),
      _prefix(prefix),
      _queue(std::make_unique<log_queue>()),
      _summary_timer(std::make_unique<QTimer>())
{
    if (_target == log_target::file) {
        QString error;
        _out = log_output::open_file(_outFileName, error);
        // The service runs on without a log; said once where an operator will see it.
        if (!_out)
            say_on_stderr(QStringLiteral("cannot open log file \"%1\": %2").arg(_outFileName, error));
    } else if (_target == log_target::stderr_json) {
        _out = log_output::standard_error();
    }
    stderr_batch::set_json_lines(_target == log_target::stderr_json);
    _summary_timer->setSingleShot(true);
    QObject::connect(_summary_timer.get(), &QTimer::timeout, _summary_timer.get(), [this] {
        QMutexLocker lock(&_mutex);
        write_summaries(log_summaries::which::due);
        arm_summary_timer();
    });
}

logger::~logger()
{
    _summary_timer.reset();  // and with it any arming still queued
    {
        QMutexLocker lock(&_mutex);
        write_summaries(log_summaries::which::all);
    }
    if (_target == log_target::stderr_json) {
        stderr_batch::set_json_lines(false);
        log_queue::standard_error().flush();
    }
    // Then the queue goes, waiting for its writer within a bound; the log file closes once its
    // last line is written.
}

void logger::set_log_level(LogLevel level)
{
    QMutexLocker lock(&_mutex);
    _log_level.store(level, std::memory_order_relaxed);
}

void logger::set_summary_interval(std::chrono::milliseconds interval)
{
    QMutexLocker lock(&_mutex);
    _summaries.set_interval(interval);
}

log_operator logger::error()
{
    return log_operator(*this, ERROR);
}
log_operator logger::warning()
{
    return log_operator(*this, WARNING);
}
log_operator logger::info()
{
    return log_operator(*this, INFORM);
}
log_operator logger::debug()
{
    return log_operator(*this, DEBUG);
}

log_operator logger::error(const log_kind& kind)
{
    return log_operator(*this, ERROR, writes(ERROR) && admit(kind));
}

bool logger::admit(const log_kind& kind)
{
    QMutexLocker lock(&_mutex);
    write_summaries(log_summaries::which::due);
    switch (_summaries.admit(kind.name(), log_summaries::clock::now())) {
    case log_summaries::admission::write:
        return true;
    case log_summaries::admission::counted_first:
        // The timer belongs to the thread that made the logger: it is started there.
        QMetaObject::invokeMethod(
            _summary_timer.get(),
            [this] {
                QMutexLocker lock(&_mutex);
                arm_summary_timer();
            },
            Qt::QueuedConnection);
        return false;
    case log_summaries::admission::counted:
        break;
    }
    return false;
}

// Under the mutex, on the timer's thread.
void logger::arm_summary_timer()
{
    const auto due = _summaries.next_due();
    if (!due) {
        _summary_timer->stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - log_summaries::clock::now());
    _summary_timer->start(static_cast<int>(std::max<long long>(0, wait.count())));
}

// Under the mutex.
void logger::write_summaries(log_summaries::which what)
{
    for (const QString& line : _summaries.take(log_summaries::clock::now(), what))
        write_line(_prefix + QStringLiteral(": ") + line, ERROR);
}

void logger::reopen()
{
    QMutexLocker lock(&_mutex);
    if (_target != log_target::file)
        return;
    QString error;
    auto fresh = log_output::open_file(_outFileName, error);
    if (!fresh) {
        say_on_stderr(QStringLiteral("cannot reopen log file \"%1\": %2; logging on to the file open until now")
                          .arg(_outFileName, error));
        return;
    }
    // Lines queued until now still go to the file they were written for.
    _out = std::move(fresh);
}

QString logger::apply(const log_settings& settings)
{
    QMutexLocker lock(&_mutex);
    std::shared_ptr<log_output> out;
    if (settings.target == log_target::file) {
        QString error;
        out = log_output::open_file(settings.file_path, error);
        if (!out)
            return QStringLiteral("cannot open log file \"%1\": %2").arg(settings.file_path, error);
    } else if (settings.target == log_target::stderr_json) {
        out = log_output::standard_error();
    }
    write_summaries(log_summaries::which::all);  // where the lines they count went
    _out = std::move(out);
    _outFileName = settings.file_path;
    _target = settings.target;
    stderr_batch::set_json_lines(_target == log_target::stderr_json);
    _log_level.store(settings.level, std::memory_order_relaxed);
    return QString();
}

log_settings logger::settings() const
{
    QMutexLocker lock(&_mutex);
    return {_target, _outFileName, _log_level.load(std::memory_order_relaxed)};
}

bool logger::flush(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const bool own = _queue->flush(limit);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return log_queue::standard_error().flush(std::max(left, std::chrono::milliseconds(0))) && own;
}

log_queue& logger::queue() const
{
    return _target == log_target::stderr_json ? log_queue::standard_error() : *_queue;
}

QString logger::levelToString(LogLevel level)
{
    static const char* const names[] = {"Off", "Error", "Warning", "Info", "Debug"};
    return QString::fromLatin1(names[level]);
}

logger& logger::log(const QString& message, LogLevel level, const log_fields& fields)
{
    if (!writes(level))
        return *this;
    QMutexLocker lock(&_mutex);
    write_summaries(log_summaries::which::due);
    write_line(message, level, fields);
    return *this;
}

// Under the mutex, so that lines are queued in the order they were written. A statement is one
// line, whatever its pieces held.
void logger::write_line(const QString& message, LogLevel level, const log_fields& fields)
{
    if (_target == log_target::file && !_out)
        return;  // reported once when the file could not be opened
    log_queue& out = queue();
    const QByteArray line = format_line(message, level, fields);
    const std::uint64_t lost = out.unreported();
    const QByteArray note =
        lost == 0 ? QByteArray() : format_line(_prefix + QStringLiteral(": ") + lost_lines_note(lost), WARNING, {});
    out.write(_out, view(line), view(note), lost);
}

QByteArray logger::format_line(const QString& message, LogLevel level, const log_fields& fields) const
{
    const QDateTime now = QDateTime::currentDateTime();
    if (_target == log_target::file) {
        QString line = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
        if (level != INFORM) {
            line += QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16) +
                    QLatin1Char(' ') + levelToString(level);
        }
        return (line + QLatin1Char(' ') + escape_controls(message) + QStringLiteral("\r\n")).toLocal8Bit();
    }
    // The journal and JSON lines carry the message alone, without the file's ": " before it.
    const QString text =
        escape_controls(_prefix.isEmpty() && message.startsWith(QLatin1String(": ")) ? message.mid(2) : message);
    if (_target == log_target::journal)
        return journal_entry(level, text, fields);
    return json_log_line(now, level, text, fields);
}

log_operator::log_operator(logger& target, LogLevel level) : log_operator(target, level, target.writes(level)) {}

log_operator::log_operator(logger& target, LogLevel level, bool active)
    : _logger(target),
      _level(level),
      _active(active)
{
    if (_active)
        _res = target._prefix + QStringLiteral(": ");
}

log_operator::log_operator(log_operator&& other) noexcept
    : _res(std::move(other._res)),
      _fields(std::move(other._fields)),
      _logger(other._logger),
      _level(other._level),
      _active(other._active)
{
    other._active = false;
}

log_operator::~log_operator()
{
    if (_active)
        _logger.log(_res, _level, _fields);
}

log_operator& log_operator::operator<<(const QUuid& id)
{
    if (!_active)
        return *this;
    if (_fields.cmd_id.isNull())
        _fields.cmd_id = id;
    return *this << id.toString();
}

log_operator& log_operator::operator<<(const command_named& command)
{
    if (!_active)
        return *this;
    _fields.msg_type = loggable(command.type);
    return *this << "cmd_id " << command.id << ", msg_type \"" << _fields.msg_type << "\"";
}
