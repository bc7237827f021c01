#include "broker_link_log.h"

#include "amqp_uri.h"

void log_broker_link(amqp::client& client, logger& log, const QString& owner, const QString& uris,
                     const amqp::tls_settings& tls, std::function<QString(const QString&)> advice)
{
    const QString unchecked = unchecked_tls_warning(uris, tls);
    if (!unchecked.isEmpty())
        log.error() << owner << ": " << unchecked;
    QObject::connect(&client, &amqp::client::connected, &client,
                     [&client, &log, owner] { log.info() << owner << ": connected to " << client.currentUri(); });
    // A broker down for hours fails every back-off: one kind per connection.
    const log_kind failure(owner + QStringLiteral(": broker connection failed"));
    QObject::connect(&client, &amqp::client::error, &client,
                     [&client, &log, owner, advice, failure](const QString& why) {
                         log_operator line = log.error(failure);
                         const QString uri = client.currentUri();
                         const QString remedy = advice ? advice(why) : QString();
                         line << owner << ": " << (uri.isEmpty() ? QString() : uri + QStringLiteral(": ")) << why
                              << (remedy.isEmpty() ? QString() : QStringLiteral("; ") + remedy);
                     });
}

QString unchecked_tls_warning(const QString& uris, const amqp::tls_settings& tls)
{
    if (tls.verify != amqp::tls_verify::none)
        return QString();
    for (const QString& uri : amqp::split_uris(uris)) {
        if (uri.startsWith(QLatin1String("amqps:"), Qt::CaseInsensitive))
            return QStringLiteral(
                "R_TLS_VERIFY=none: the broker's identity is not checked on amqps connections (neither "
                "its certificate nor its host name), so whoever answers at its address gets the password "
                "and the commands; remove R_TLS_VERIFY (or set R_TLS_CA_FILE to the CA that signed the "
                "broker's certificate) to have it checked");
    }
    return QString();
}
