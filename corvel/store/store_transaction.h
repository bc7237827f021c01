#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "redis_client.h"
#include "redis_transaction.h"
#include "store/latency_histogram.h"
#include "store/replica_wait.h"

#include <QElapsedTimer>

#include <memory>

// Where a command's transaction goes.
struct store_write {
    redis::client& store;
    replica_wait& replicas;
    // Set once the command's delivery has gone: nothing of it not yet written is written then.
    std::shared_ptr<const bool> delivery_gone;
};

// A command's transaction in the store's database (SELECT, MULTI, the body, EXEC); it reports the
// command's outcome: done with reply once it executed (and reached the replicas waited for),
// after logging at ERROR the commands that failed inside it; to be tried again when it did not
// execute or did not reach them.
class command_transaction : public redis::transaction {
public:
    // source: empty when a subclass writes the body (write_body).
    command_transaction(const store_write& where, body source, logger& log, const char* what, QJsonObject reply,
                        ICommandHandler::completion finished);

private:
    bool wanted() const override;
    void done(redis::transaction_result&& result) override;

    replica_wait& _replicas;
    std::shared_ptr<const bool> _delivery_gone;
    logger& _log;
    const char* _what;
    QJsonObject _reply;
    ICommandHandler::completion _finished;
    QElapsedTimer _since_submit;
};

// Submits a command's transaction of a body function.
void run_store_transaction(const store_write& where, redis::transaction::body body, logger& log, const char* what,
                           QJsonObject reply, ICommandHandler::completion finished);

// The kinds of ERROR line of the commands failed in transactions of one sort: each of the first
// few of a transaction, and the count of the others.
struct store_failure_kinds {
    store_failure_kinds(log_kind each, log_kind rest);
    log_kind each;
    log_kind rest;
};

// Logs the first few commands that failed inside an executed transaction, and how many more did.
void log_failed_commands(const redis::transaction_result& result, logger& log, const char* what,
                         const store_failure_kinds& kinds);

// The command transactions of this process so far; main thread only.
const store_transaction_stats& store_transactions();
