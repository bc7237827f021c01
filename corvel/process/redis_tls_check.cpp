#include "process/redis_tls_check.h"

#include "environment.h"
#include "loggable.h"
#include "logger.h"

QList<config_remark> redis_tls_remarks(environment& env)
{
    redis_conf conf;
    try {
        conf = env.get_redis_settings();
    } catch (const config_error&) {
        return {};  // refused by check()
    }
    QList<config_remark> remarks;
    const redis::tls_settings& tls = conf._tls;
    if (!tls.enabled()) {
        if (!tls.ca_file.isEmpty() || !tls.cert_file.isEmpty() || !tls.server_name.isEmpty())
            remarks.append(
                {config_remark::weight::note,
                 QStringLiteral("REDIS_SETTINGS: TLS keys are set but TLS is not true: Redis and the sentinels are "
                                "reached in clear, passwords included")});
        return remarks;
    }
    for (const QString& problem : redis::tls_file_problems(tls))
        remarks.append(
            {config_remark::weight::mistake, QStringLiteral("REDIS_SETTINGS/TLS: ") + loggable(problem, 400)});
    return remarks;
}

void warn_of_unverified_redis_tls(const redis_conf& conf, logger& log)
{
    if (conf._tls.enabled() && conf._tls.verify == redis::tls_settings::verification::none)
        log.error()
            << "REDIS_SETTINGS/TLS_VERIFY is none: the certificates of Redis and of the sentinels are not checked, "
               "so whoever answers at their addresses gets the password and the writes";
}
