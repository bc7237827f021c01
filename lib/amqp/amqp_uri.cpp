#include "amqp_uri.h"

#include <QUrl>

#include <algorithm>

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
    if (!url.password().isNull()) {
        e.password = url.password(QUrl::FullyDecoded);
        e.password_given = true;
    }
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
    // Whatever the password holds ("/", ",", "@" unescaped): it runs from the first ":" after the
    // scheme to the last "@" before the next URI of the list. Without an "@", what follows a ":"
    // is a port when it is digits, and is masked otherwise (a URI the parser will refuse).
    const QLatin1String scheme_end("://");
    QString out;
    int from = 0;
    int at = uri.indexOf(scheme_end);
    while (at >= 0) {
        const int start = at + scheme_end.size();
        const int next = uri.indexOf(scheme_end, start);
        const int end = next < 0 ? uri.size() : next;
        out += uri.mid(from, start - from);
        const QStringRef item = uri.midRef(start, end - start);
        const int last_at = item.lastIndexOf(QLatin1Char('@'));
        const int colon = item.indexOf(QLatin1Char(':'));
        int mask_end = -1;
        if (last_at >= 0 && colon >= 0 && colon < last_at) {
            mask_end = last_at;
        } else if (last_at < 0 && colon >= 0) {
            int stop = colon + 1;
            while (stop < item.size() && item.at(stop) != QLatin1Char('/') && item.at(stop) != QLatin1Char(','))
                ++stop;
            const QStringRef after = item.mid(colon + 1, stop - colon - 1);
            const bool port =
                !after.isEmpty() && std::all_of(after.begin(), after.end(), [](QChar c) { return c.isDigit(); });
            if (!port)
                mask_end = stop;
        }
        if (mask_end >= 0)
            out += item.left(colon + 1) + QLatin1String("***") + item.mid(mask_end);
        else
            out += item;
        from = end;
        at = next;
    }
    return out + uri.mid(from);
}

}  // namespace amqp
