#include "store_transaction.h"

void commit_logged(redis::transaction& tx, int timeout_ms, logger& log, const char* what)
{
    for (const redis::failed_command& failed : tx.commit(timeout_ms)) {
        log.error() << what << ": Redis command " << QString::number(failed.index + 1) << " of "
                    << QString::number(tx.size()) << " in the transaction failed: " << failed.error;
    }
}
