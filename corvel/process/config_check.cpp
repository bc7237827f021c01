#include "process/config_check.h"

#include "logger.h"
#include "loggable.h"

#include <cstdio>

int check_configuration(const QString& path)
{
    environment env(path);
    if (!env.file_exists())
        std::printf("%s: no such file; every key takes its default\n", qUtf8Printable(path));
    const QStringList problems = env.check();
    for (const QString& problem : problems)
        std::printf("%s: %s\n", qUtf8Printable(path), qUtf8Printable(problem));
    std::fflush(stdout);
    return problems.isEmpty() ? 0 : 1;
}

bool refuse_bad_configuration(environment& env)
{
    const QStringList problems = env.check();
    if (problems.isEmpty())
        return true;
    logger(env.get_log_settings(), QString()).error() << "Configuration refused, the service does not start: "
                                                   << problems.join(QStringLiteral("; "));
    throw config_error(problems);
}

namespace {
// Whether lines go somewhere else: another target, or another file.
bool moves(const log_settings& before, const log_settings& after)
{
    return before.target != after.target
           || (before.file_path != after.file_path && (before.target == log_target::file || after.target == log_target::file));
}

QStringList changes_between(const log_settings& before, const log_settings& after)
{
    QStringList changes;
    if (before.target != after.target)
        changes << QStringLiteral("LOG_TARGET from %1 to %2").arg(log_target_name(before.target), log_target_name(after.target));
    if (before.file_path != after.file_path && (before.target == log_target::file || after.target == log_target::file))
        changes << QStringLiteral("LOG_FILE_PATH from \"%1\" to \"%2\"").arg(loggable(before.file_path), loggable(after.file_path));
    if (before.level != after.level)
        changes << QStringLiteral("LOG_LEVEL from %1 to %2").arg(log_level_name(before.level), log_level_name(after.level));
    return changes;
}
}

void reload_log_settings(const QString& path, logger& log)
{
    environment fresh(path);
    const QStringList problems = fresh.check();
    if (!problems.isEmpty()) {
        log.reopen();
        log.error() << "Configuration not reloaded on SIGHUP, the running settings stay: " << problems.join(QStringLiteral("; "));
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
}
