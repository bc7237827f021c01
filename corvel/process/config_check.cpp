#include "process/config_check.h"

#include "loggable.h"
#include "logger.h"
#include "process/redis_tls_check.h"

#include <cstdio>

namespace {
// The stop of the packaged unit (packaging/corvel.service, read by the build).
constexpr int unit_stop_timeout_s = CORVEL_UNIT_STOP_TIMEOUT_S;
// What a stop takes beyond SHUTDOWN_TIMEOUT_MS: closing the connections, leaving the process.
constexpr int stop_margin_ms = 1000;

QList<config_remark> remarks_of(environment& env)
{
    return env.remarks() + cross_checks(env);
}
}  // namespace

QList<config_remark> cross_checks(environment& env)
{
    QList<config_remark> remarks;
    try {
        const int shutdown_ms = env.get_shutdown_timeout_ms();
        if (shutdown_ms > unit_stop_timeout_s * 1000 - stop_margin_ms)
            remarks.append(
                {config_remark::weight::note,
                 QStringLiteral("GENERAL_SETTINGS/SHUTDOWN_TIMEOUT_MS: a stop of up to %1 ms does not end %2 ms "
                                "before the packaged unit's TimeoutStopSec=%3s (the value in force may differ), "
                                "so systemd would kill the service before its stop ends; raise TimeoutStopSec "
                                "(systemctl edit corvel) or lower SHUTDOWN_TIMEOUT_MS")
                     .arg(shutdown_ms)
                     .arg(stop_margin_ms)
                     .arg(unit_stop_timeout_s)});
    } catch (const config_error&) {
        // refused by check()
    }
    return remarks + redis_tls_remarks(env);
}

int check_configuration(const QString& path, bool named)
{
    const QString file = loggable(path);
    const auto say = [&file](const QString& text) {
        std::printf("%s: %s\n", qUtf8Printable(file), qUtf8Printable(text));
    };
    environment env(path);
    int status = 0;
    QString why;
    switch (env.state_of_file(&why)) {
    case environment::file_state::unreadable:
        // Read as empty, it would pass: nothing else to look at.
        say(QStringLiteral("exists but cannot be read (%1); a start is refused").arg(loggable(why)));
        std::fflush(stdout);
        return 1;
    case environment::file_state::missing:
        if (named) {
            say(QStringLiteral("no such file (a start would run on every default)"));
            status = 1;
        } else {
            say(QStringLiteral("no such file; every key takes its default"));
        }
        break;
    case environment::file_state::readable:
        break;
    }
    const QStringList problems = env.check();
    for (const QString& problem : problems)
        say(problem);
    if (!problems.isEmpty())
        status = 1;
    for (const config_remark& remark : remarks_of(env)) {
        if (remark.level == config_remark::weight::mistake) {
            say(remark.text);
            status = 1;
        } else {
            say(QStringLiteral("warning: ") + remark.text);
        }
    }
    std::fflush(stdout);
    return status;
}

void warn_of_configuration(environment& env, const QString& path, const redis_conf& store, logger& log)
{
    const QString file = loggable(path);
    if (env.state_of_file() == environment::file_state::missing) {
        log.warning() << "Configuration file " << file << " not found: every key takes its default";
        // At the default level ERROR the line above is not written; without a file the log's
        // target is the file, so standard error carries no JSON lines to break.
        std::fprintf(stderr, "corvel: %s: no such file; every key takes its default\n", qUtf8Printable(file));
    }
    for (const config_remark& remark : remarks_of(env))
        log.warning() << "Configuration file " << file << ": " << remark.text;
    warn_of_unverified_redis_tls(store, log);
}

bool refuse_bad_configuration(environment& env)
{
    const QStringList problems = env.check();
    if (problems.isEmpty())
        return true;
    // Where the log goes is in the file: standard error only.
    if (env.state_of_file() == environment::file_state::unreadable)
        throw config_error(problems);
    logger(env.get_log_settings(), QString()).error()
        << "Configuration refused, the service does not start: " << problems.join(QStringLiteral("; "));
    throw config_error(problems);
}

namespace {
// Whether lines go somewhere else: another target, or another file.
bool moves(const log_settings& before, const log_settings& after)
{
    return before.target != after.target || (before.file_path != after.file_path &&
                                             (before.target == log_target::file || after.target == log_target::file));
}

QStringList changes_between(const log_settings& before, const log_settings& after)
{
    QStringList changes;
    if (before.target != after.target)
        changes << QStringLiteral("LOG_TARGET from %1 to %2")
                       .arg(log_target_name(before.target), log_target_name(after.target));
    if (before.file_path != after.file_path && (before.target == log_target::file || after.target == log_target::file))
        changes << QStringLiteral("LOG_FILE_PATH from \"%1\" to \"%2\"")
                       .arg(loggable(before.file_path), loggable(after.file_path));
    if (before.level != after.level)
        changes
            << QStringLiteral("LOG_LEVEL from %1 to %2").arg(log_level_name(before.level), log_level_name(after.level));
    return changes;
}
}

void reload_log_settings(const QString& path, logger& log)
{
    environment fresh(path);
    const QStringList problems = fresh.check();
    if (!problems.isEmpty()) {
        log.reopen();
        log.error() << "Configuration not reloaded on SIGHUP, the running settings stay: "
                    << problems.join(QStringLiteral("; "));
        return;
    }
    const log_settings before = log.settings();
    const log_settings after = fresh.get_log_settings();
    const QString changes = changes_between(before, after).join(QStringLiteral(", "));
    // Said where it is seen: in the old place when the lines move or fewer are written from now
    // on, in the new one when they move or more are written.
    const bool elsewhere = moves(before, after);
    if (!changes.isEmpty() && (elsewhere || after.level < before.level))
        log.info() << "Log settings changing on SIGHUP: " << changes;
    if (const QString failure = log.apply(after); !failure.isEmpty()) {
        log.error() << "Log settings not changed on SIGHUP: " << loggable(failure, 400);
        return;
    }
    if (!changes.isEmpty() && (elsewhere || after.level >= before.level))
        log.info() << "Log settings changed on SIGHUP: " << changes;
    if (after.target == log_target::file)
        log.info() << "Log file reopened on SIGHUP";
    else if (changes.isEmpty())
        log.info() << "Log settings reread on SIGHUP, unchanged";
}
