// The setting values that are lists, addresses or names, read from their text.

#include "config_values.h"

#include "config_error.h"
#include "loggable.h"

#include <QStringList>

#include <optional>

namespace {

// The names the file gives the log's levels and targets, both ways.
template <typename T>
struct named {
    const char* name;
    T value;
};
const named<LogLevel> level_names[] = {
    {"OFF", OFF}, {"ERROR", ERROR}, {"WARNING", WARNING}, {"INFORM", INFORM}, {"DEBUG", DEBUG}};
const named<log_target> target_names[] = {
    {"file", log_target::file}, {"journal", log_target::journal}, {"stderr-json", log_target::stderr_json}};

template <typename T, std::size_t N>
std::optional<T> value_named(const named<T> (&names)[N], const QString& name)
{
    for (const auto& n : names)
        if (name == QLatin1String(n.name))
            return n.value;
    return std::nullopt;
}

template <typename T, std::size_t N>
QString name_of(const named<T> (&names)[N], T value)
{
    for (const auto& n : names)
        if (n.value == value)
            return QLatin1String(n.name);
    return QString();
}

}  // namespace

QString log_level_name(LogLevel level)
{
    return name_of(level_names, level);
}

QString log_target_name(log_target target)
{
    return name_of(target_names, target);
}

std::optional<LogLevel> level_from_name(const QString& name)
{
    return value_named(level_names, name);
}

std::optional<log_target> target_from_name(const QString& name)
{
    return value_named(target_names, name);
}

listen_address parse_listen_address(const QString& text)
{
    const auto bad = [&text](const char* why) {
        return config_error("HTTP_LISTEN: \"" + text.toStdString() + "\" " + why);
    };
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        throw bad("is not of the form host:port");
    QString host = text.left(colon);
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    listen_address address;
    address.text = text;
    if (!address.host.setAddress(host) || (address.host.protocol() == QAbstractSocket::IPv6Protocol) != bracketed)
        throw bad("does not begin with an IP address (an IPv6 one in brackets, as [::1]:9470)");
    bool number = false;
    const uint port = text.mid(colon + 1).toUInt(&number);
    if (!number || port == 0 || port > 65535)
        throw bad("does not end with a port from 1 to 65535");
    address.port = static_cast<quint16>(port);
    return address;
}

QList<QPair<QString, QString>> parse_bindings(const QString& text)
{
    QString compact = text;
    compact.remove(QLatin1Char(' '));
    QList<QPair<QString, QString>> bindings;
    for (const QString& part : compact.split(QLatin1Char(','))) {
        if (part.isEmpty())
            continue;
        const QStringList pieces = part.split(QLatin1Char(':'));
        if (pieces.size() < 2)
            throw config_error("R_BINDINGS: \"" + part.toStdString() + "\" is not of the form exchange:routing-key");
        bindings.append({pieces[0], pieces[1]});
    }
    return bindings;
}

QList<QPair<QString, quint32>> parse_host_ports(const char* key, const QString& text)
{
    QList<QPair<QString, quint32>> found;
    for (const QString& raw : text.split(QLatin1Char(','))) {
        const QString item = raw.trimmed();
        if (item.isEmpty())
            continue;
        const int colon = item.lastIndexOf(QLatin1Char(':'));
        QString host = item.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        bool number = false;
        const uint port = item.mid(colon + 1).toUInt(&number);
        if (colon < 0 || host.isEmpty() || !number || port < 1 || port > 65535)
            throw config_error(std::string(key) + ": \"" + loggable(item).toStdString() +
                               "\" is not of the form host:port");
        found.append({host, port});
    }
    return found;
}

QVariantHash parse_queue_arguments(const QString& text)
{
    QVariantHash arguments;
    for (const QString& raw : text.split(QLatin1Char(','))) {
        const QString item = raw.trimmed();
        if (item.isEmpty())
            continue;
        const int equals = item.indexOf(QLatin1Char('='));
        const QString name = item.left(equals).trimmed();
        if (equals < 0 || name.isEmpty())
            throw config_error("R_QUEUE_ARGUMENTS: \"" + item.toStdString() + "\" is not of the form name=value");
        if (arguments.contains(name))
            throw config_error("R_QUEUE_ARGUMENTS: \"" + name.toStdString() + "\" is given twice");
        const QString value = item.mid(equals + 1).trimmed();
        bool whole = false;
        const qint64 number = value.toLongLong(&whole);
        if (value == QLatin1String("true") || value == QLatin1String("false"))
            arguments.insert(name, value == QLatin1String("true"));
        else if (whole)
            arguments.insert(name, number);
        else
            arguments.insert(name, value);
    }
    return arguments;
}
