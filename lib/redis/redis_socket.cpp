#include "redis_socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace redis::detail {

namespace {

QString errno_text(const char* what, int err)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(err)));
}

// Connects one address; waits for the non-blocking connect at most timeout_ms.
int dial_address(const addrinfo* ai, int timeout_ms, QString* error)
{
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *error = errno_text("socket", errno);
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *error = errno_text("connect", errno);
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        *error = QStringLiteral("connect: timed out after %1 ms").arg(timeout_ms);
        ::close(fd);
        return -1;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr != 0) {
        *error = errno_text("connect", soerr ? soerr : errno);
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    return fd;
}

}  // namespace

int dial(const QByteArray& host, quint32 port, int timeout_ms, QString* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int rc = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
    if (rc != 0) {
        *error = QStringLiteral("cannot resolve %1: %2").arg(QString::fromLatin1(host), QString::fromLocal8Bit(gai_strerror(rc)));
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int fd = -1;
    for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            *error = QStringLiteral("connect: timed out after %1 ms").arg(timeout_ms);
            break;
        }
        fd = dial_address(ai, static_cast<int>(left), error);
    }
    ::freeaddrinfo(found);
    return fd;
}

bool idle_socket_healthy(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void close_socket(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

}  // namespace redis::detail
