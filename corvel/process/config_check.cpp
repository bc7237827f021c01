#include "process/config_check.h"

#include "logger.h"

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
    logger(env.log_file_path(), QString()).error() << "Configuration refused, the service does not start: "
                                                   << problems.join(QStringLiteral("; "));
    throw config_error(problems);
}
