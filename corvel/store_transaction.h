#pragma once

#include "logger.h"
#include "redis_transaction.h"

// Commits a command's transaction, logging at ERROR each command that failed inside it; throws
// redis::store_error when the transaction did not execute.
void commit_logged(redis::transaction& tx, int timeout_ms, logger& log, const char* what);
