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

QString redact_password(const QString& uri)
{
    static const QRegularExpression password(QStringLiteral("^([^:/]+://[^:@/]*:)[^@/]*@"));
    QString redacted = uri;
    redacted.replace(password, QStringLiteral("\\1***@"));
    return redacted;
}

}  // namespace amqp
