#include "logger.h"

#include "log_sinks.h"
#include "loggable.h"

#include <QDateTime>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const QIODevice::OpenMode append = QIODevice::WriteOnly | QIODevice::Append;

// A file the log creates is readable by its owner and group only, as logrotate creates it.
std::unique_ptr<QFile> open_log_file(const QString& path)
{
    auto file = std::make_unique<QFile>(path);
    const bool created = !file->exists();
    if (file->open(append) && created)
        file->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    return file;
}
}

logger::logger(const QString& path, const QString& prefix) : logger(log_settings{log_target::file, path, ERROR}, prefix) {}

logger::logger(const log_settings& settings, const QString& prefix)
    : _outFile(std::make_unique<QFile>()), _log_level(settings.level), _outFileName(settings.file_path),
      _target(settings.target), _prefix(prefix), _summary_timer(std::make_unique<QTimer>())
{
    if (_target == log_target::file) {
        _outFile = open_log_file(_outFileName);
        if (!_outFile->isOpen()) {
            // The service runs on without a log; say so once where an operator will see it.
            std::fprintf(stderr, "cannot open log file \"%s\": %s\n", qUtf8Printable(_outFileName),
                         qUtf8Printable(_outFile->errorString()));
        }
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
    if (_target != log_target::file)
        return;
    auto fresh = open_log_file(_outFileName);
    if (!fresh->isOpen()) {
        std::fprintf(stderr, "cannot reopen log file \"%s\": %s; logging on to the file open until now\n",
                     qUtf8Printable(_outFileName), qUtf8Printable(fresh->errorString()));
        return;
    }
    _outFile = std::move(fresh);
}

QString logger::apply(const log_settings& settings)
{
    QMutexLocker lock(&_mutex);
    auto file = std::make_unique<QFile>();
    if (settings.target == log_target::file) {
        file = open_log_file(settings.file_path);
        if (!file->isOpen())
            return QStringLiteral("cannot open log file \"%1\": %2").arg(settings.file_path, file->errorString());
    }
    write_summaries(log_summaries::which::all);  // where the lines they count went
    _outFile = std::move(file);
    _outFileName = settings.file_path;
    _target = settings.target;
    _journal_failed = false;
    _log_level.store(settings.level, std::memory_order_relaxed);
    return QString();
}

log_settings logger::settings() const
{
    QMutexLocker lock(&_mutex);
    return {_target, _outFileName, _log_level.load(std::memory_order_relaxed)};
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

// Under the mutex. A statement is one line, whatever its pieces held.
void logger::write_line(const QString& message, LogLevel level, const log_fields& fields)
{
    if (_target == log_target::file) {
        write_file_line(escape_controls(message), level);
        return;
    }
    // The journal and JSON lines carry the message alone, without the file's ": " before it.
    const QString text = escape_controls(_prefix.isEmpty() && message.startsWith(QLatin1String(": ")) ? message.mid(2) : message);
    if (_target == log_target::journal) {
        write_journal_line(text, level, fields);
        return;
    }
    const QByteArray line = json_log_line(QDateTime::currentDateTime(), level, text, fields);
    // One write per line, so that what others write to standard error falls between lines.
    for (qsizetype done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

void logger::write_file_line(const QString& message, LogLevel level)
{
    if (!_outFile->isOpen())
        return;  // reported once at construction
    QTextStream out(_outFile.get());
    out << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    if (level != INFORM)
        out << reinterpret_cast<const void*>(QThread::currentThreadId()) << ' ' << levelToString(level);
    out << ' ' << message << "\r\n";
    out.flush();
}

void logger::write_journal_line(const QString& message, LogLevel level, const log_fields& fields)
{
    const int failure = send_to_journal(level, message, fields);
    if (failure < 0 && !_journal_failed) {
        _journal_failed = true;  // no journal on this host: said once, the lines are lost
        std::fprintf(stderr, "cannot write to the journal: %s\n", std::strerror(-failure));
    } else if (failure == 0) {
        _journal_failed = false;
    }
}

log_operator::log_operator(logger& target, LogLevel level) : log_operator(target, level, target.writes(level)) {}

log_operator::log_operator(logger& target, LogLevel level, bool active) : _logger(target), _level(level), _active(active)
{
    if (_active)
        _res = target._prefix + QStringLiteral(": ");
}

log_operator::log_operator(log_operator&& other) noexcept
    : _res(std::move(other._res)), _fields(std::move(other._fields)), _logger(other._logger), _level(other._level),
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
