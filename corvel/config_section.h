#pragma once

#include "amqp_channel.h"
#include "config_error.h"
#include "loggable.h"
#include "secret_file.h"

#include <QMap>
#include <QSettings>
#include <QStringList>

// A value the INI reader split at unquoted commas comes back as a list: read it as written.
inline QString as_written(const QVariant& value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// Longer than a name the broker takes.
inline bool too_long(const QString& name)
{
    return name.toUtf8().size() > amqp::short_string_max;
}

// Reads one section of the INI file; what it cannot read is added to its problems.
class section_reader {
public:
    // read_keys: by section, every key asked for.
    section_reader(QSettings& settings, QMap<QString, QStringList>& read_keys, const char* section)
        : _settings(settings),
          _section(QLatin1String(section)),
          _asked(read_keys[_section])
    {
        _settings.beginGroup(_section);
    }
    ~section_reader() { _settings.endGroup(); }
    section_reader(const section_reader&) = delete;
    section_reader& operator=(const section_reader&) = delete;

    // Every read goes through here, which is how known_keys() learns the keys.
    bool has(const char* key) const
    {
        const QString name = QLatin1String(key);
        if (!_asked.contains(name))
            _asked.append(name);
        return _settings.contains(name);
    }
    QString text(const char* key, const QString& fallback = QString()) const
    {
        return has(key) ? as_written(_settings.value(QLatin1String(key))) : fallback;
    }
    // A whole number from low to high; fallback when the key is absent.
    qint64 number(const char* key, qint64 fallback, qint64 low, qint64 high)
    {
        if (!has(key))
            return fallback;
        const QString value = text(key).trimmed();
        bool whole = false;
        const qint64 n = value.toLongLong(&whole);
        if (whole && n >= low && n <= high)
            return n;
        refuse(key, value, QStringLiteral("is not a whole number from %1 to %2").arg(low).arg(high));
        return fallback;
    }
    // A name the broker takes: at most 255 bytes, and not empty unless allowed.
    QString name(const char* key, const QString& fallback, bool may_be_empty)
    {
        const QString value = text(key, fallback);
        if (value.isEmpty() && !may_be_empty)
            refuse(key, value, QStringLiteral("is empty"));
        else if (too_long(value))
            refuse(key, value, QStringLiteral("is longer than %1 bytes").arg(amqp::short_string_max));
        return value;
    }
    // The password the key names (see secret_file.h); fallback when the key is absent or empty.
    QString secret(const char* key, const QString& fallback)
    {
        const QString name = text(key);
        QString why;
        const QString value = name.isEmpty() ? fallback : read_secret(name, &why);
        if (value.isNull() && !why.isEmpty())
            refuse(key, name, loggable(why, 400));
        return value;
    }

    void refuse(const char* key, const QString& value, const QString& why)
    {
        _problems << QStringLiteral("%1/%2: \"%3\" %4").arg(_section, QLatin1String(key), loggable(value), why);
    }
    // A problem a parser of one key found, its text beginning with the key's name.
    void refuse(const config_error& e)
    {
        for (const QString& problem : e.problems())
            _problems << _section + QLatin1Char('/') + problem;
    }
    void throw_problems() const
    {
        if (!_problems.isEmpty())
            throw config_error(_problems);
    }

private:
    QSettings& _settings;
    const QString _section;
    QStringList& _asked;
    QStringList _problems;
};
