#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>

#include <atomic>

enum LogLevel { OFF = 0, ERROR = 1, WARNING = 2, INFORM = 3, DEBUG = 4 };

class log_operator;

// The service's text log: one line per statement, appended to one file and flushed at once.
class logger {
public:
    logger(const QString& path, const QString& prefix);
    ~logger();
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    void set_log_level(LogLevel level);
    bool writes(LogLevel level) const { return level <= _log_level.load(std::memory_order_relaxed); }

    log_operator error();
    log_operator warning();
    log_operator info();
    log_operator debug();

private:
    friend class log_operator;
    logger& log(const QString& message, LogLevel level);
    static QString levelToString(LogLevel level);

    QMutex _mutex;
    QFile _outFile;
    std::atomic<LogLevel> _log_level{ERROR};
    QString _outFileName;
    const QString _prefix;
};

// Collects the pieces of one line; the line is written when the operator goes out of scope.
class log_operator {
public:
    log_operator(logger& target, LogLevel level);
    ~log_operator();
    log_operator(log_operator&& other) noexcept;
    log_operator(const log_operator&) = delete;
    log_operator& operator=(const log_operator&) = delete;
    log_operator& operator=(log_operator&&) = delete;

    template <typename T>
    log_operator& operator<<(const T& value)
    {
        if (_active) {
            QTextStream stream(&_res, QIODevice::WriteOnly | QIODevice::Append);
            stream << value;
        }
        return *this;
    }

private:
    QString _res;
    logger& _logger;
    LogLevel _level;
    bool _active;  // false when the level is filtered out (or the line was moved away)
};
