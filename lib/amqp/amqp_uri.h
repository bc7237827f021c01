#pragma once

#include <QString>
#include <QStringList>

namespace amqp {

// Where and as whom to connect, read from an AMQP URI.
struct endpoint {
    bool tls = false;  // scheme "amqps"
    QString user = QStringLiteral("guest");
    QString password = QStringLiteral("guest");
    bool password_given = false;  // the URI has one, so "guest" above is not a default
    QString host = QStringLiteral("localhost");
    quint16 port = 5672;
    QString vhost = QStringLiteral("/");
};

// Parses "amqp[s]://user:password@host:port/vhost"; escapes are decoded, missing parts keep their
// defaults ("amqp://host" means the vhost "/", "amqp://host/" the empty vhost). On a bad URI
// returns false and says why in *error.
bool parse_uri(const QString& text, endpoint* out, QString* error);

// The URIs of a comma-separated list, in order, with the spaces around each removed and empty
// items skipped. A comma inside a URI (in a password, say) must be written as %2C.
QStringList split_uris(const QString& list);

// The URI, or every URI of a list, with its password replaced by "***", for log lines;
// everything else as written.
QString redact_password(const QString& uri);

}  // namespace amqp
