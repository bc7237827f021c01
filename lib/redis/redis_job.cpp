#include "redis_job.h"

#include <algorithm>
#include <charconv>
#include <cstring>

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

void command_writer::add(std::initializer_list<std::string_view> arguments)
{
    char text[512];
    std::size_t size = 16;
    for (const std::string_view a : arguments)
        size += a.size() + 16;
    if (size > sizeof text) {
        begin(static_cast<int>(arguments.size()));
        for (const std::string_view a : arguments)
            arg(a.data(), static_cast<int>(a.size()));
        end();
        return;
    }
    char* p = text;
    const auto header = [&p](char kind, std::size_t count) {
        *p++ = kind;
        p = std::to_chars(p, p + 20, count).ptr;
        *p++ = '\r';
        *p++ = '\n';
    };
    header('*', arguments.size());
    for (const std::string_view a : arguments) {
        header('$', a.size());
        std::memcpy(p, a.data(), a.size());
        p += a.size();
        *p++ = '\r';
        *p++ = '\n';
    }
    _out.append(text, static_cast<int>(p - text));
    ++_count;
}

job::progress command_batch::write(command_writer& out)
{
    for (const command& c : _commands)
        out.add(c);
    return progress::complete;
}

}  // namespace redis
