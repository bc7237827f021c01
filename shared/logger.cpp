#include "logger.h"

#include "loggable.h"

#include <QDateTime>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
const QIODevice::OpenMode append = QIODevice::WriteOnly | QIODevice::Append;
}

logger::logger(const QString& path, const QString& prefix)
    : _outFile(std::make_unique<QFile>(path)), _outFileName(path), _prefix(prefix), _summary_timer(std::make_unique<QTimer>())
{
    if (!_outFile->open(append)) {
        // The service runs on without a log; say so once where an operator will see it.
        std::fprintf(stderr, "cannot open log file \"%s\": %s\n", qUtf8Printable(path),
                     qUtf8Printable(_outFile->errorString()));
    }
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
    QMutexLocker lock(&_mutex);
    write_summaries(log_summaries::which::all);
    _outFile->close();
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

log_operator logger::error() { return log_operator(*this, ERROR); }
log_operator logger::warning() { return log_operator(*this, WARNING); }
log_operator logger::info() { return log_operator(*this, INFORM); }
log_operator logger::debug() { return log_operator(*this, DEBUG); }

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
        QMetaObject::invokeMethod(_summary_timer.get(), [this] {
            QMutexLocker lock(&_mutex);
            arm_summary_timer();
        }, Qt::QueuedConnection);
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
    auto fresh = std::make_unique<QFile>(_outFileName);
    if (!fresh->open(append)) {
        std::fprintf(stderr, "cannot reopen log file \"%s\": %s; logging on to the file open until now\n",
                     qUtf8Printable(_outFileName), qUtf8Printable(fresh->errorString()));
        return;
    }
    _outFile->close();
    _outFile = std::move(fresh);
}

QString logger::levelToString(LogLevel level)
{
    static const char* const names[] = {"Off", "Error", "Warning", "Info", "Debug"};
    return QString::fromLatin1(names[level]);
}

logger& logger::log(const QString& message, LogLevel level)
{
    if (!writes(level))
        return *this;
    QMutexLocker lock(&_mutex);
    write_summaries(log_summaries::which::due);
    write_line(message, level);
    return *this;
}

// Under the mutex.
void logger::write_line(const QString& message, LogLevel level)
{
    if (!_outFile->isOpen())
        return;  // reported once at construction
    QTextStream out(_outFile.get());
    out << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    if (level != INFORM)
        out << reinterpret_cast<const void*>(QThread::currentThreadId()) << ' ' << levelToString(level);
    // A statement is one line, whatever its pieces held.
    out << ' ' << escape_controls(message) << "\r\n";
    out.flush();
}

log_operator::log_operator(logger& target, LogLevel level) : log_operator(target, level, target.writes(level)) {}

log_operator::log_operator(logger& target, LogLevel level, bool active) : _logger(target), _level(level), _active(active)
{
    if (_active)
        _res = target._prefix + QStringLiteral(": ");
}

log_operator::log_operator(log_operator&& other) noexcept
    : _res(std::move(other._res)), _logger(other._logger), _level(other._level), _active(other._active)
{
    other._active = false;
}

log_operator::~log_operator()
{
    if (_active)
        _logger.log(_res, _level);
}
