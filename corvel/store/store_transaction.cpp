#include "store/store_transaction.h"

#include "loggable.h"
#include "store/store_access.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {
// Everything in the service runs on one thread: plain counts suffice.
store_transaction_stats stats;

// One transaction tells this many of its failed commands; a count stands for the others.
constexpr std::size_t failures_told = 5;

const store_failure_kinds command_failures{
    log_kind(QStringLiteral("Redis command in a command's transaction failed")),
    log_kind(QStringLiteral("Redis commands in a command's transaction failed"))};
}

const store_transaction_stats& store_transactions()
{
    return stats;
}

store_failure_kinds::store_failure_kinds(log_kind each, log_kind rest) : each(std::move(each)), rest(std::move(rest)) {}

void log_failed_commands(const redis::transaction_result& result, logger& log, const char* what,
                         const store_failure_kinds& kinds)
{
    const std::size_t told = std::min(result.failed.size(), failures_told);
    for (std::size_t i = 0; i < told; ++i) {
        const redis::failed_command& failed = result.failed[i];
        log.error(kinds.each) << what << ": Redis command " << static_cast<quint64>(failed.index + 1) << " of "
                              << static_cast<quint64>(result.size)
                              << " in the transaction failed: " << loggable(failed.error, 200);
    }
    if (result.failed_count > told)
        log.error(kinds.rest) << what << ": " << static_cast<quint64>(result.failed_count - told)
                              << " more Redis commands in the transaction failed";
}

void run_store_transaction(const store_write& where, redis::transaction::body body, logger& log, const char* what,
                           QJsonObject reply, ICommandHandler::completion finished)
{
    QElapsedTimer since_submit;
    since_submit.start();
    replica_wait& replicas = where.replicas;
    auto done = [&log, &replicas, what, reply = std::move(reply), finished = std::move(finished),
                 since_submit](redis::transaction_result&& result) mutable {
        if (!result.executed) {
            ++stats.failed;
            finished(result.refused ? command_result::refused(result.error) : command_result::retry(result.error));
            return;
        }
        log_failed_commands(result, log, what, command_failures);
        replicas.after_written(
            [reply = std::move(reply), finished = std::move(finished), since_submit](const QString& failure) {
                if (!failure.isEmpty()) {
                    ++stats.failed;
                    finished(command_result::retry(failure));
                    return;
                }
                stats.executed.observe(static_cast<double>(since_submit.nsecsElapsed()) / 1e9);
                finished(command_result::done(reply));
            });
    };
    auto job = std::make_unique<redis::transaction>(
        QList<redis::command>{{"SELECT", QByteArray::number(store_database)}}, std::move(body), std::move(done));
    if (where.delivery_gone)
        job->only_while([gone = where.delivery_gone] { return !*gone; });
    where.store.submit(std::move(job));
}
