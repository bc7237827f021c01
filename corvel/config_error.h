#pragma once

#include <QString>
#include <QStringList>

#include <stdexcept>
#include <string>

// Configuration values that cannot be used as written; start-up stops with their text. Each
// problem names its section, key and value.
class config_error : public std::runtime_error {
public:
    explicit config_error(const std::string& problem) : config_error(QStringList{QString::fromStdString(problem)}) {}
    explicit config_error(const QStringList& problems)
        : std::runtime_error(problems.join(QStringLiteral("; ")).toStdString()),
          _problems(problems)
    {
    }
    const QStringList& problems() const { return _problems; }

private:
    QStringList _problems;
};
