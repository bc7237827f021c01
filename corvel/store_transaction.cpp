#include "store_transaction.h"

#include "store_access.h"

#include <QElapsedTimer>

namespace {
// Everything in the service runs on one thread: plain counts suffice.
store_transaction_stats stats;
}  // namespace

const store_transaction_stats& store_transactions()
{
    return stats;
}

void log_failed_commands(const redis::transaction_result& result, logger& log, const char* what)
{
    for (const redis::failed_command& failed : result.failed) {
        log.error() << what << ": Redis command " << QString::number(failed.index + 1) << " of "
                    << QString::number(result.size) << " in the transaction failed: " << failed.error;
    }
    if (result.failed_count > result.failed.size())
        log.error() << what << ": " << QString::number(result.failed_count - result.failed.size())
                    << " more Redis commands in the transaction failed";
}

void run_store_transaction(redis::client& store, redis::transaction::body body, logger& log, const char* what,
                           QJsonObject reply, ICommandHandler::completion finished)
{
    QElapsedTimer since_submit;
    since_submit.start();
    auto done = [&log, what, reply = std::move(reply), finished = std::move(finished),
                 since_submit](redis::transaction_result&& result) {
        if (!result.executed) {
            ++stats.failed;
            finished(command_result::retry(result.error));
            return;
        }
        stats.executed.observe(static_cast<double>(since_submit.nsecsElapsed()) / 1e9);
        log_failed_commands(result, log, what);
        finished(command_result::done(reply));
    };
    store.submit(std::make_unique<redis::transaction>(QList<redis::command>{{"SELECT", QByteArray::number(store_database)}},
                                                      std::move(body), std::move(done)));
}
