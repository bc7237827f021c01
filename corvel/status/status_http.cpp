#include "status/status_http.h"

#include <QHostAddress>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// libmicrohttpd's own cap is above the table's, leaving room for the connections shut down to
// make way, which it closes on its next turn.
constexpr unsigned connection_limit = http_connections::total_limit + 64;
constexpr size_t connection_memory = 32 * 1024;  // per connection: larger headers get an error

const char* const plain_text = "text/plain; charset=utf-8";
const char* const exposition_text = "text/plain; version=0.0.4; charset=utf-8";

std::chrono::steady_clock::rep steady_ticks()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

void shut(int fd)
{
    // libmicrohttpd sees the end on its next turn and closes the socket itself: it still owns it.
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

}  // namespace

struct status_http::callbacks {
    static MHD_Result access(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                             const char*, size_t*, void**)
    {
        auto* http = static_cast<status_http*>(self);
        http->_connections.answering(connection, http_connections::clock::now());
        const status_http::answer a = http->respond(url, method);
        MHD_Response* response =
            MHD_create_response_from_buffer(a.body.size(), const_cast<char*>(a.body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, a.content_type);
        if (a.status == MHD_HTTP_METHOD_NOT_ALLOWED)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        const MHD_Result queued = MHD_queue_response(connection, a.status, response);
        MHD_destroy_response(response);
        return queued;
    }

    static void completed(void* self, MHD_Connection* connection, void**, MHD_RequestTerminationCode)
    {
        static_cast<status_http*>(self)->_connections.answered(connection, http_connections::clock::now());
    }

    static void connection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode event)
    {
        http_connections& table = static_cast<status_http*>(self)->_connections;
        if (event == MHD_CONNECTION_NOTIFY_CLOSED) {
            table.closed(connection);
            return;
        }
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (!fd || !peer)
            return;
        std::string address;
        if (peer->client_addr->sa_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(peer->client_addr);
            address.assign(reinterpret_cast<const char*>(&v6->sin6_addr), sizeof v6->sin6_addr);
        } else {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(peer->client_addr);
            address.assign(reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr);
        }
        shut(table.admit(connection, fd->connect_fd, address, http_connections::clock::now()));
    }

    static void log(void* self, const char* format, va_list args)
    {
        auto* http = static_cast<status_http*>(self);
        if (!http->_starting)
            return;  // later messages concern single clients
        char buffer[512];
        std::vsnprintf(buffer, sizeof buffer, format, args);
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (!http->_start_error.empty())
            http->_start_error += "; ";
        http->_start_error += line;
    }
};

status_http::~status_http()
{
    stop();
}

std::string status_http::start(const QHostAddress& host, std::uint16_t port)
{
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address;
    // Polled by serve(), so that the table's deadlines are kept on the same thread.
    unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&v6.sin6_addr, bytes.c, sizeof bytes.c);
        v6.sin6_scope_id = host.scopeId().toUInt();
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(host.toIPv4Address());
        address = reinterpret_cast<const sockaddr*>(&v4);
    }
    _heartbeat = steady_ticks();
    _start_error.clear();
    _starting = true;
    // The logger goes first, so that the messages about the options come to it too.
    _daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &callbacks::access, this,     //
                               MHD_OPTION_EXTERNAL_LOGGER, &callbacks::log, this,           //
                               MHD_OPTION_SOCK_ADDR, address,                               //
                               MHD_OPTION_CONNECTION_LIMIT, connection_limit,               //
                               MHD_OPTION_NOTIFY_CONNECTION, &callbacks::connection, this,  //
                               MHD_OPTION_NOTIFY_COMPLETED, &callbacks::completed, this,    //
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_END);
    _starting = false;
    if (!_daemon)
        return _start_error.empty() ? std::string("the listener did not start") : _start_error;
    _wake = ::eventfd(0, EFD_CLOEXEC);
    if (_wake < 0) {
        const std::string reason = std::strerror(errno);
        MHD_stop_daemon(_daemon);
        _daemon = nullptr;
        return "no eventfd: " + reason;
    }
    _thread = std::thread(&status_http::serve, this);
    return std::string();
}

void status_http::stop()
{
    if (!_daemon)
        return;
    const std::uint64_t one = 1;
    while (::write(_wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    _thread.join();
    MHD_stop_daemon(_daemon);
    ::close(_wake);
    _wake = -1;
    _daemon = nullptr;
}

void status_http::serve()
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd fds[2] = {{_wake, POLLIN, 0}, {info->epoll_fd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, wait_ms()) > 0 && fds[0].revents != 0)
            return;
        MHD_run(_daemon);
        for (const int fd : _connections.expired(http_connections::clock::now()))
            shut(fd);
    }
}

int status_http::wait_ms()
{
    long long wait = -1;
    MHD_UNSIGNED_LONG_LONG pending = 0;
    if (MHD_get_timeout(_daemon, &pending) == MHD_YES)
        wait = static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(pending, INT_MAX));
    if (const auto next = _connections.next_deadline()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - http_connections::clock::now()).count();
        const long long until = std::max<long long>(left, 0);
        wait = wait < 0 ? until : std::min(wait, until);
    }
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

void status_http::publish(status_snapshot snapshot)
{
    {
        std::lock_guard<std::mutex> hold(_lock);
        std::swap(_snapshot, snapshot);
    }
    _heartbeat = steady_ticks();
}

status_http::answer status_http::respond(const char* url, const char* method)
{
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const std::string path(url);
    if (path != "/healthz" && path != "/readyz" && path != "/metrics")
        return {MHD_HTTP_NOT_FOUND, "not found\n", plain_text};
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return {MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed: GET or HEAD\n", plain_text};
    if (path == "/healthz") {
        const auto silent = std::chrono::steady_clock::duration(steady_ticks() - _heartbeat.load());
        if (silent < stall_limit)
            return {MHD_HTTP_OK, "ok\n", plain_text};
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(silent).count();
        return {MHD_HTTP_SERVICE_UNAVAILABLE, "the event loop has not turned for " + std::to_string(seconds) + " s\n",
                plain_text};
    }
    std::lock_guard<std::mutex> hold(_lock);
    if (path == "/metrics")
        return {MHD_HTTP_OK, _snapshot.metrics, exposition_text};
    if (_snapshot.not_ready.empty())
        return {MHD_HTTP_OK, "ready\n", plain_text};
    return {MHD_HTTP_SERVICE_UNAVAILABLE, _snapshot.not_ready + '\n', plain_text};
}
