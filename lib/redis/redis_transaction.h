#pragma once

#include "redis_connection.h"

#include <cstdint>
#include <vector>

namespace redis {

// A command inside a transaction that executed but failed on its own (WRONGTYPE, say).
struct failed_command {
    std::size_t index;  // position among the queued commands, from 0
    QByteArray error;
};

// MULTI ... EXEC written as one pipeline on a connection: MULTI goes out when the transaction is
// made, each queued command right after, and commit() sends EXEC and waits once for everything.
class transaction {
public:
    explicit transaction(connection& conn);

    void queue(const command& cmd);
    std::size_t size() const { return _queued; }

    // Sends EXEC and waits at most timeout_ms for every reply. Throws store_error when the
    // transaction did not execute: the connection failed or timed out, a command sent on this
    // connection before MULTI (SELECT, say) was refused, Redis discarded the transaction
    // (EXECABORT after a refused command) or EXEC answered nil. Returns the commands that
    // failed inside an executed transaction.
    std::vector<failed_command> commit(int timeout_ms);

private:
    connection& _conn;
    std::uint64_t _multi;
    std::size_t _queued = 0;
};

}  // namespace redis
