// The TLS keys of REDIS_SETTINGS, for Redis and the sentinels alike.
#include "redis_tls_settings.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

// What a certificate can carry: an IP address, or a DNS name.
bool host_name(const QString& name)
{
    static const QRegularExpression dns(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,62})(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,62}))*\\.?$"));
    return QHostAddress().setAddress(name) || (name.size() <= 253 && dns.match(name).hasMatch());
}

// Empty: the name is not given.
QString server_name(const tls_key_reader& keys, const char* key)
{
    const QString name = keys.text(key).trimmed();
    if (!name.isEmpty() && !host_name(name))
        keys.refuse(key, name, QStringLiteral("is neither a host name nor an IP address"));
    return name;
}

}  // namespace

redis::tls_settings read_redis_tls(const tls_key_reader& keys, QString* sentinel_server_name)
{
    redis::tls_settings tls;
    const QString use = keys.text("TLS").trimmed();
    if (use == QLatin1String("true"))
        tls.use = redis::tls_settings::mode::on;
    else if (!use.isEmpty() && use != QLatin1String("false"))
        keys.refuse("TLS", use, QStringLiteral("is neither true nor false"));
    tls.ca_file = keys.text("TLS_CA_FILE");
    tls.cert_file = keys.text("TLS_CERT_FILE");
    tls.key_file = keys.text("TLS_KEY_FILE");
    if (tls.cert_file.isEmpty() != tls.key_file.isEmpty())
        keys.refuse(tls.cert_file.isEmpty() ? "TLS_KEY_FILE" : "TLS_CERT_FILE", tls.cert_file + tls.key_file,
                    QStringLiteral("is set without %1")
                        .arg(QLatin1String(tls.cert_file.isEmpty() ? "TLS_CERT_FILE" : "TLS_KEY_FILE")));
    tls.server_name = server_name(keys, "TLS_SERVER_NAME");
    *sentinel_server_name = server_name(keys, "SENTINEL_TLS_SERVER_NAME");
    const QString verify = keys.text("TLS_VERIFY").trimmed();
    if (verify == QLatin1String("none"))
        tls.verify = redis::tls_settings::verification::none;
    else if (!verify.isEmpty() && verify != QLatin1String("full"))
        keys.refuse("TLS_VERIFY", verify, QStringLiteral("is neither full nor none"));
    return tls;
}
