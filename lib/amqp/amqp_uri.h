#pragma once

#include <QString>

namespace amqp {

// Where and as whom to connect, read from an AMQP URI.
struct endpoint {
    bool tls = false;  // scheme "amqps"
    QString user = QStringLiteral("guest");
    QString password = QStringLiteral("guest");
    QString host = QStringLiteral("localhost");
    quint16 port = 5672;
    QString vhost = QStringLiteral("/");
};

// Parses "amqp[s]://user:password@host:port/vhost"; escapes are decoded, missing parts keep their
// defaults ("amqp://host" means the vhost "/", "amqp://host/" the empty vhost). On a bad URI
// returns false and says why in *error.
bool parse_uri(const QString& text, endpoint* out, QString* error);

// The URI with its password replaced by "***", for log lines; everything else as written.
QString redact_password(const QString& uri);

}  // namespace amqp
