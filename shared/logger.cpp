#include "logger.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QThread>

#include <cstdio>

logger::logger(const QString& path, const QString& prefix) : _outFileName(path), _prefix(prefix)
{
    _outFile.setFileName(path);
    if (!_outFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        // The service runs on without a log; say so once where an operator will see it.
        std::fprintf(stderr, "cannot open log file \"%s\": %s\n", qUtf8Printable(path),
                     qUtf8Printable(_outFile.errorString()));
    }
}

logger::~logger()
{
    _outFile.close();
}

void logger::set_log_level(LogLevel level)
{
    QMutexLocker lock(&_mutex);
    _log_level.store(level, std::memory_order_relaxed);
}

log_operator logger::error() { return log_operator(*this, ERROR); }
log_operator logger::warning() { return log_operator(*this, WARNING); }
log_operator logger::info() { return log_operator(*this, INFORM); }
log_operator logger::debug() { return log_operator(*this, DEBUG); }

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
    if (!_outFile.isOpen())
        return *this;  // reported once at construction
    QTextStream out(&_outFile);
    out << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    if (level != INFORM)
        out << reinterpret_cast<const void*>(QThread::currentThreadId()) << ' ' << levelToString(level);
    out << ' ' << message << "\r\n";
    out.flush();
    return *this;
}

log_operator::log_operator(logger& target, LogLevel level)
    : _logger(target), _level(level), _active(target.writes(level))
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
