#include "redis_job.h"

#include <algorithm>

namespace redis {

void job::on_array(long long count)
{
    _array = reply{};
    if (count < 0)
        return;
    _array.type = reply::kind::array;
    // Grown as the elements arrive, not sized by what the peer announces.
    _array.elements.reserve(static_cast<std::size_t>(std::min(count, 16LL)));
}

void job::on_element(reply&& element)
{
    _array.elements.push_back(std::move(element));
}

void job::on_array_end()
{
    on_reply(std::move(_array));
    _array = reply{};
}

job::progress command_batch::write(command_writer& out)
{
    for (const command& c : _commands)
        out.add(c);
    return progress::complete;
}

}  // namespace redis
