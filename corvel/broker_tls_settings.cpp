#include "broker_tls_settings.h"

#include "config_error.h"
#include "loggable.h"

amqp::tls_settings read_broker_tls(const std::function<QString(const char*)>& text,
                                   const std::function<void(const char*, const QString&, const QString&)>& refuse)
{
    amqp::tls_settings tls;
    const QString verify = text("R_TLS_VERIFY");
    if (verify == QLatin1String("none"))
        tls.verify = amqp::tls_verify::none;
    else if (!verify.isEmpty() && verify != QLatin1String("full"))
        refuse("R_TLS_VERIFY", verify, QStringLiteral("is neither full nor none"));
    tls.ca_file = text("R_TLS_CA_FILE");
    tls.cert_file = text("R_TLS_CERT_FILE");
    tls.key_file = text("R_TLS_KEY_FILE");
    if (!tls.key_file.isEmpty() && tls.cert_file.isEmpty())
        refuse("R_TLS_KEY_FILE", tls.key_file,
               QStringLiteral("is set without R_TLS_CERT_FILE (the certificate it is the key of)"));
    return tls;
}

void check_broker_tls_files(const amqp::tls_settings& settings)
{
    // Without files, the system's trust store is all there is to load.
    if (settings.ca_file.isEmpty() && settings.cert_file.isEmpty())
        return;
    const QString why = amqp::check_tls_files(settings);
    if (!why.isEmpty())
        throw config_error(QStringList{QStringLiteral("AMQP_SETTINGS: ") + loggable(why, 400)});
}
