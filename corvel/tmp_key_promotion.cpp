#include "tmp_key_promotion.h"

#include "store_access.h"
#include "store_transaction.h"

namespace {
const QByteArray staging_pattern = QByteArrayLiteral("tmp*");
}

QByteArray live_name(const QByteArray& staging_key)
{
    return staging_key.mid(4);
}

int promote_tmp_keys(redis::connection& connection, logger& log)
{
    const QList<QByteArray> keys = connection.keys(store_database, staging_pattern, redis_promotion_timeout_ms);

    connection.send({"SELECT", QByteArray::number(store_database)});
    redis::transaction tx(connection);
    for (const QByteArray& key : keys)
        tx.queue({"RENAME", key, live_name(key)});
    commit_logged(tx, redis_promotion_timeout_ms, log, "promotion");
    return keys.size();
}

bool has_tmp_keys(redis::connection& connection)
{
    return !connection.keys(store_database, staging_pattern, redis_promotion_timeout_ms, 1).isEmpty();
}
