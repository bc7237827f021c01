#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// Who holds the status listener's connections, and whom to close: a client has a few seconds to
// send a whole request, and a new client finding no room takes the place of the oldest one still
// to send its request, so idle or trickling clients can neither fill the listener nor keep
// anyone out. Sockets are only named here (by their descriptor); closing them is the caller's.
class http_connections {
public:
    using clock = std::chrono::steady_clock;

    // Far below any descriptor limit, so that clients never leave the service without a
    // descriptor for Redis or the broker.
    static constexpr unsigned total_limit = 1024;
    static constexpr unsigned per_address_limit = 256;
    // From the connection (or the end of the previous answer on it) to a complete request.
    static constexpr clock::duration request_deadline = std::chrono::seconds(3);
    // For the whole answer to go out: a client that does not read it loses the connection.
    static constexpr clock::duration answer_deadline = std::chrono::seconds(10);
    // An answer still going out after this long is stalled, and its slot may be taken.
    static constexpr clock::duration answer_grace = std::chrono::seconds(1);

    // A new connection from address (its bytes, as the socket gives them). Returns the
    // descriptor to shut down to make room for it: another client's, or its own when every
    // slot is answering a request; -1 when there is room.
    int admit(const void* id, int fd, const std::string& address, clock::time_point now);
    // Its request is complete: it is answered before anyone may take its slot.
    void answering(const void* id, clock::time_point now);
    // Its answer went out; on a kept-alive connection the next request's time starts.
    void answered(const void* id, clock::time_point now);
    void closed(const void* id);

    // The descriptors of connections past their deadline, which no longer count here.
    std::vector<int> expired(clock::time_point now);
    // The nearest deadline; none without connections.
    std::optional<clock::time_point> next_deadline() const;

private:
    enum class phase { awaiting_request, answering };
    struct slot {
        int fd;
        std::string address;
        phase state;
        clock::time_point since;  // the phase's start
    };
    using table = std::unordered_map<const void*, slot>;

    static clock::time_point deadline(const slot& s);
    static bool takeable(const slot& s, clock::time_point now);
    // The oldest takeable slot, from address only unless it is empty; end() when none.
    table::iterator oldest_takeable(const std::string* address, clock::time_point now);
    const std::string& busiest_address() const;
    int take(table::iterator victim);

    table _slots;
    std::unordered_map<std::string, unsigned> _per_address;
};
