#include "store/store_transaction.h"

#include "loggable.h"
#include "store/store_access.h"

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

namespace {

// What becomes of the command once its transaction executed and reached the replicas waited for.
void settle(const QString& failure, const QElapsedTimer& since_submit, QJsonObject reply,
            const ICommandHandler::completion& finished)
{
    if (!failure.isEmpty()) {
        ++stats.failed;
        finished(command_result::retry(failure));
        return;
    }
    stats.executed.observe(static_cast<double>(since_submit.nsecsElapsed()) / 1e9);
    finished(command_result::done(std::move(reply)));
}

// SELECT of the store's database, the same for every command: written once.
const redis::transaction::prelude& select_store()
{
    static const redis::transaction::prelude select(
        QList<redis::command>{{"SELECT", QByteArray::number(store_database)}});
    return select;
}

}  // namespace

command_transaction::command_transaction(const store_write& where, body source, logger& log, const char* what,
                                         QJsonObject reply, ICommandHandler::completion finished)
    : transaction(select_store(), std::move(source), done_callback()),
      _replicas(where.replicas),
      _delivery_gone(where.delivery_gone),
      _log(log),
      _what(what),
      _reply(std::move(reply)),
      _finished(std::move(finished))
{
    _since_submit.start();
}

bool command_transaction::wanted() const
{
    return !_delivery_gone || !*_delivery_gone;
}

void command_transaction::done(redis::transaction_result&& result)
{
    if (!result.executed) {
        ++stats.failed;
        _finished(result.refused ? command_result::refused(result.error) : command_result::retry(result.error));
        return;
    }
    log_failed_commands(result, _log, _what, command_failures);
    if (!_replicas.enabled()) {
        settle(QString(), _since_submit, std::move(_reply), _finished);
        return;
    }
    _replicas.after_written([reply = std::move(_reply), finished = std::move(_finished),
                             since_submit = _since_submit](const QString& failure) mutable {
        settle(failure, since_submit, std::move(reply), finished);
    });
}

void run_store_transaction(const store_write& where, redis::transaction::body body, logger& log, const char* what,
                           QJsonObject reply, ICommandHandler::completion finished)
{
    where.store.submit(std::make_unique<command_transaction>(where, std::move(body), log, what, std::move(reply),
                                                             std::move(finished)));
}
