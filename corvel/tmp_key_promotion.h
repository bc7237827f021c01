#pragma once

#include "logger.h"
#include "redis_connection.h"

#include <QByteArray>
#include <QList>

// The live name of a staging key: its name without the first four bytes ("tmp:").
QByteArray live_name(const QByteArray& staging_key);

// Moves every key of the store's database whose name matches "tmp*" to its live name, in one
// transaction, so each live set is replaced whole by the set its sequence collected. Logs
// RENAMEs that failed inside the executed transaction; throws redis::store_error when the listing
// or the transaction failed. Returns the number of keys moved.
int promote_tmp_keys(redis::connection& connection, logger& log);

// True when the store holds staging keys, that is a sequence not yet promoted.
bool has_tmp_keys(redis::connection& connection);
