#pragma once

#include <QByteArray>

namespace redis::detail {

// Idle sockets kept for reuse, keyed by everything that makes two connections interchangeable
// (host, port, password, name). Each socket remembers the database it has selected.
struct pooled_socket {
    int fd = -1;
    int db = 0;
};

// Takes a healthy idle socket for key, closing any stale ones found on the way; fd -1 if none.
pooled_socket pool_take(const QByteArray& key);
// Keeps the socket for the next taker, or closes it when the key already holds enough.
void pool_put(const QByteArray& key, pooled_socket socket);
void pool_clear();

}  // namespace redis::detail
