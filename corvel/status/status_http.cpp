#include "status/status_http.h"

#include <QHostAddress>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace {

// Bounds on what clients can make the listener hold: far below any descriptor limit, so that a
// flood of clients never leaves the service without a descriptor for Redis or the broker. Those
// beyond are closed at once.
constexpr unsigned connection_limit = 64;
constexpr unsigned connections_per_address = 16;
constexpr unsigned connection_timeout_s = 10;   // a client silent this long is dropped
constexpr size_t connection_memory = 32 * 1024;  // per connection: larger headers get an error

const char* const plain_text = "text/plain; charset=utf-8";
const char* const exposition_text = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result access(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**)
{
    const status_http::answer a = static_cast<status_http*>(self)->respond(url, method);
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

std::chrono::steady_clock::rep now()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace

status_http::~status_http()
{
    stop();
}

std::string status_http::start(const QHostAddress& host, std::uint16_t port)
{
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
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
    _heartbeat = now();
    _start_error.clear();
    _starting = true;
    // The logger goes first, so that the messages about the options come to it too.
    _daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &access, this,                    //
                               MHD_OPTION_EXTERNAL_LOGGER, &status_http::log_start_error, this,  //
                               MHD_OPTION_SOCK_ADDR, address,                                   //
                               MHD_OPTION_CONNECTION_LIMIT, connection_limit,                   //
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, connections_per_address,     //
                               MHD_OPTION_CONNECTION_TIMEOUT, connection_timeout_s,             //
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_END);
    _starting = false;
    if (_daemon)
        return std::string();
    return _start_error.empty() ? std::string("the listener did not start") : _start_error;
}

void status_http::stop()
{
    if (!_daemon)
        return;
    MHD_stop_daemon(_daemon);
    _daemon = nullptr;
}

void status_http::log_start_error(void* self, const char* format, va_list args)
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

void status_http::publish(status_snapshot snapshot)
{
    {
        std::lock_guard<std::mutex> hold(_lock);
        std::swap(_snapshot, snapshot);
    }
    _heartbeat = now();
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
        const auto silent = std::chrono::steady_clock::duration(now() - _heartbeat.load());
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
