#include "store/replica_check.h"

void warn_of_missing_replicas(redis::client& store, logger& log, int replicas)
{
    if (replicas <= 0)
        return;
    // The store drops the job unanswered when it goes, before the log does.
    store.submit(std::make_unique<redis::command_batch>(
        QList<redis::command>{{"INFO", "replication"}},
        [&log, replicas](std::vector<redis::reply>&& replies, const QString&) {
            if (replies.size() != 1 || replies.front().is_error())
                return;
            for (const QByteArray& line : replies.front().text.split('\n')) {
                if (!line.startsWith("connected_slaves:"))
                    continue;
                bool number = false;
                const int connected = line.mid(17).trimmed().toInt(&number);
                if (number && connected < replicas)
                    log.warning() << "REDIS_SETTINGS/WAIT_REPLICAS is " << QString::number(replicas)
                                  << " but the master has " << QString::number(connected)
                                  << " replica(s) connected: each WAIT runs out after "
                                     "WAIT_TIMEOUT_MS and the commands are held until enough replicas are back";
                return;
            }
        }));
}
