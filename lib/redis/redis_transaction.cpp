#include "redis_transaction.h"

namespace redis {

transaction::transaction(connection& conn) : _conn(conn), _multi(conn.send({"MULTI"}))
{
}

void transaction::queue(const command& cmd)
{
    _conn.send(cmd);
    ++_queued;
}

std::vector<failed_command> transaction::commit(int timeout_ms)
{
    const std::uint64_t exec = _conn.send({"EXEC"}, true);
    _conn.wait_idle(timeout_ms);
    const auto refused = _conn.take_errors();
    const reply result = _conn.take_reply(exec);

    for (const auto& [sequence, text] : refused) {
        if (sequence <= _multi)
            throw store_error("Redis refused a command before the transaction: " + text.toStdString());
    }
    if (result.is_error()) {
        std::string why = "Redis discarded the transaction: " + result.text.toStdString();
        if (!refused.empty())
            why += " (queued command " + std::to_string(refused.front().first - _multi - 1) + ": "
                   + refused.front().second.toStdString() + ")";
        throw store_error(why);
    }
    if (result.type != reply::kind::array)
        throw store_error("Redis did not execute the transaction (EXEC answered nil)");

    std::vector<failed_command> failed;
    for (std::size_t i = 0; i < result.elements.size(); ++i) {
        if (result.elements[i].is_error())
            failed.push_back({i, result.elements[i].text});
    }
    return failed;
}

}  // namespace redis
