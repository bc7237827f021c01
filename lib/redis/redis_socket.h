#pragma once

#include <QByteArray>
#include <QString>

namespace redis::detail {

// Opens a non-blocking TCP connection to host:port within timeout_ms. Returns the descriptor,
// or -1 with the reason in *error.
int dial(const QByteArray& host, quint32 port, int timeout_ms, QString* error);

// True when an idle socket is still usable: the peer has not closed it and has sent nothing
// unasked (a non-blocking peek finds no data and no end of stream).
bool idle_socket_healthy(int fd);

void close_socket(int fd);

}  // namespace redis::detail
