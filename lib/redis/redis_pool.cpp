#include "redis_pool.h"

#include "redis_socket.h"

#include <map>
#include <mutex>
#include <vector>

namespace redis::detail {

namespace {

// A handful per key covers the service: one connection per command being handled plus the
// promotion's own.
constexpr std::size_t max_idle_per_key = 4;

struct pool {
    std::mutex mutex;
    std::map<QByteArray, std::vector<pooled_socket>> idle;

    ~pool()
    {
        for (auto& entry : idle)
            for (const pooled_socket& s : entry.second)
                close_socket(s.fd);
    }
};

pool& the_pool()
{
    static pool instance;
    return instance;
}

}  // namespace

pooled_socket pool_take(const QByteArray& key)
{
    pool& p = the_pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    auto it = p.idle.find(key);
    if (it == p.idle.end())
        return {};
    std::vector<pooled_socket>& sockets = it->second;
    while (!sockets.empty()) {
        const pooled_socket s = sockets.back();
        sockets.pop_back();
        if (idle_socket_healthy(s.fd))
            return s;
        close_socket(s.fd);
    }
    return {};
}

void pool_put(const QByteArray& key, pooled_socket socket)
{
    pool& p = the_pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    std::vector<pooled_socket>& sockets = p.idle[key];
    if (sockets.size() >= max_idle_per_key) {
        close_socket(socket.fd);
        return;
    }
    sockets.push_back(socket);
}

void pool_clear()
{
    pool& p = the_pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (auto& entry : p.idle)
        for (const pooled_socket& s : entry.second)
            close_socket(s.fd);
    p.idle.clear();
}

}  // namespace redis::detail
