// Bytes as they are, over the socket.
#include "redis_transport.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>

namespace redis {

namespace {

class plain : public transport {
public:
    explicit plain(int fd) : _fd(fd) {}

    outcome open() override { return outcome::done; }
    bool wants_write() const override { return _blocked; }

    result send(const char* data, std::size_t size) override
    {
        for (;;) {
            const ssize_t n = ::send(_fd, data, size, MSG_NOSIGNAL);
            _blocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (n >= 0)
                return {outcome::done, static_cast<std::size_t>(n)};
            if (errno != EINTR)
                return stopped(outcome::want_write);
        }
    }

    result receive(char* buffer, std::size_t size) override
    {
        for (;;) {
            const ssize_t n = ::recv(_fd, buffer, size, 0);
            if (n > 0)
                return {outcome::done, static_cast<std::size_t>(n)};
            if (n == 0) {
                _error = QStringLiteral("connection closed by the Redis server");
                return {outcome::closed, 0};
            }
            if (errno != EINTR)
                return stopped(outcome::want_read);
        }
    }

private:
    // After a call that moved nothing: blocked (errno EAGAIN), or a fault of the socket.
    result stopped(outcome blocked)
    {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {blocked, 0};
        _error = QString::fromLocal8Bit(std::strerror(errno));
        return {outcome::failed, 0};
    }

    int _fd;
    bool _blocked = false;  // the last send
};

}  // namespace

std::unique_ptr<transport> plain_transport(int fd)
{
    return std::make_unique<plain>(fd);
}

}  // namespace redis
