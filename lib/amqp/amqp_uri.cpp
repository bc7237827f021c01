#include "amqp_uri.h"

#include <QRegularExpression>
#include <QUrl>

namespace amqp {

bool parse_uri(const QString& text, endpoint* out, QString* error)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("amqp") && scheme != QLatin1String("amqps"))) {
        *error = QStringLiteral("not an amqp:// or amqps:// URI");
        return false;
    }
    endpoint e;
    e.tls = scheme == QLatin1String("amqps");
    e.port = e.tls ? 5671 : 5672;
    if (!url.userName().isEmpty())
        e.user = url.userName(QUrl::FullyDecoded);
    if (!url.password().isNull())
        e.password = url.password(QUrl::FullyDecoded);
    if (!url.host().isEmpty())
        e.host = url.host(QUrl::FullyDecoded);
    if (url.port() > 0)
        e.port = static_cast<quint16>(url.port());
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.isEmpty())
        e.vhost = path.mid(1);
    *out = e;
    return true;
}

QStringList split_uris(const QString& list)
{
    QStringList uris;
    for (const QString& item : list.split(QLatin1Char(','))) {
        const QString uri = item.trimmed();
        if (!uri.isEmpty())
            uris.append(uri);
    }
    return uris;
}

QString redact_password(const QString& uri)
{
    // At the start of the text or of a list item; a password (not a port) is followed by "@".
    static const QRegularExpression password(QStringLiteral("((?:^|,)\\s*[^:/,\\s]+://[^:@/,]*:)[^@/]*@"));
    QString redacted = uri;
    redacted.replace(password, QStringLiteral("\\1***@"));
    return redacted;
}

}  // namespace amqp
