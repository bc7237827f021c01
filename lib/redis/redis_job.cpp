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

namespace {
// The most a header takes: a kind, 20 digits, CR LF.
constexpr std::size_t header_room = 23;
}  // namespace

void command_writer::flush()
{
    if (_used == 0)
        return;
    _out.append(_gathered, static_cast<int>(_used));
    _used = 0;
}

void command_writer::header(char kind, std::size_t count)
{
    if (_used + header_room > sizeof _gathered)
        flush();
    char* p = _gathered + _used;
    *p++ = kind;
    // Most counts and sizes have a digit or two.
    if (count < 10) {
        *p++ = static_cast<char>('0' + count);
    } else if (count < 100) {
        *p++ = static_cast<char>('0' + count / 10);
        *p++ = static_cast<char>('0' + count % 10);
    } else {
        p = std::to_chars(p, p + 20, count).ptr;
    }
    *p++ = '\r';
    *p++ = '\n';
    _used = static_cast<std::size_t>(p - _gathered);
}

void command_writer::arg(std::string_view head, std::string_view tail)
{
    const std::size_t size = head.size() + tail.size();
    const std::size_t room = header_room + size + 2;
    if (room > sizeof _gathered) {
        flush();
        append_bulk(_out, head, tail);  // a long one as it stands
        return;
    }
    if (_used + room > sizeof _gathered)
        flush();
    header('$', size);
    char* p = _gathered + _used;
    if (!head.empty())
        std::memcpy(p, head.data(), head.size());
    p += head.size();
    if (!tail.empty())
        std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    *p++ = '\r';
    *p++ = '\n';
    _used = static_cast<std::size_t>(p - _gathered);
}

void command_writer::add(const command& cmd)
{
    begin(cmd.size());
    for (const QByteArray& a : cmd)
        arg(a);
    end();
}

void command_writer::add(std::initializer_list<std::string_view> arguments)
{
    begin(static_cast<int>(arguments.size()));
    for (const std::string_view a : arguments)
        arg(std::string_view(), a);
    end();
}

void command_writer::add_written(const QByteArray& resp, std::size_t commands)
{
    flush();
    _out.append(resp);
    _count += commands;
}

job::progress command_batch::write(command_writer& out)
{
    for (const command& c : _commands)
        out.add(c);
    return progress::complete;
}

}  // namespace redis
