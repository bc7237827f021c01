#pragma once

#include "redis_tls.h"

#include <QString>

#include <cstddef>
#include <memory>

namespace redis {

// How a connection's bytes move over its connected, non-blocking socket: as they are, or through
// TLS. The client arms its socket notifiers as told and knows nothing more of it.
class transport {
public:
    enum class outcome { done, want_read, want_write, closed, failed };
    struct result {
        outcome what;
        std::size_t bytes;  // moved, with done
    };

    virtual ~transport() = default;
    // Makes the connection ready for bytes: at once for TCP; for TLS the handshake, the server's
    // certificate checked. Called again, on the socket event asked for, until done or failed.
    virtual outcome open() = 0;
    // Hands over what of data the connection takes now.
    virtual result send(const char* data, std::size_t size) = 0;
    // Reads what has come, up to size.
    virtual result receive(char* buffer, std::size_t size) = 0;
    // Bytes read from the socket and held here, that no socket event will announce.
    virtual bool holds_input() const { return false; }
    // The last call, of either kind, waits for the socket to take bytes (TLS may have to write
    // to read, and read to write).
    virtual bool wants_write() const = 0;
    // Why the last call failed or found the connection closed: short, printable.
    const QString& error() const { return _error; }

protected:
    QString _error;
};

std::unique_ptr<transport> plain_transport(int fd);
// peer_name: the host connected to, which the certificate must carry unless settings name another.
std::unique_ptr<transport> tls_transport(int fd, const tls_settings& settings, const QString& peer_name);

}  // namespace redis
