#include "redis_reply_scan.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace redis::scan {

namespace {

// Lines longer than this, and strings longer than that, go the general way.
constexpr std::size_t longest_line = 1024;
constexpr long long longest_string = 64 * 1024;
// An array header announcing more is left to the general way, which refuses it by its limit.
constexpr long long most_elements = 1 << 20;

// The '\r' ending the line that starts at p, or null: not whole, too long, or a lone '\r' in it.
// The lines read here are a few bytes: a plain loop beats a call.
const char* line_end(const char* p, const char* end)
{
    const char* const last = end - p > static_cast<std::ptrdiff_t>(longest_line) ? p + longest_line : end;
    for (; p < last; ++p) {
        if (*p == '\r')
            return p + 1 < end && p[1] == '\n' ? p : nullptr;
    }
    return nullptr;
}

// Decimal as Redis writes it: an optional '-', then 1 to 18 digits.
bool number(const char* p, const char* end, long long& value)
{
    const bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    if (p == end || end - p > 18)
        return false;
    long long v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    value = negative ? -v : v;
    return true;
}

// A size or count: "-1" for nil, else digits only.
bool size_of(const char* p, const char* end, long long& value)
{
    if (end - p == 2 && p[0] == '-' && p[1] == '1') {
        value = -1;
        return true;
    }
    return p < end && *p != '-' && number(p, end, value);
}

}  // namespace

const char* scalar_at(const char* p, const char* end, reply_view& s)
{
    if (end - p < 3)
        return nullptr;
    const char* const cr = line_end(p + 1, end);
    if (!cr)
        return nullptr;
    s = reply_view{};
    switch (*p) {
    case '+':
    case '-':
        s.type = *p == '+' ? reply::kind::status : reply::kind::error;
        s.text = std::string_view(p + 1, static_cast<std::size_t>(cr - p - 1));
        return cr + 2;
    case ':':
        if (!number(p + 1, cr, s.integer))
            return nullptr;
        s.type = reply::kind::integer;
        return cr + 2;
    case '$': {
        long long size = 0;
        if (!size_of(p + 1, cr, size) || size > longest_string)
            return nullptr;
        if (size < 0) {
            s.type = reply::kind::nil;
            return cr + 2;
        }
        const char* const data = cr + 2;
        if (end - data < size + 2 || data[size] != '\r' || data[size + 1] != '\n')
            return nullptr;
        s.type = reply::kind::string;
        s.text = std::string_view(data, static_cast<std::size_t>(size));
        return data + size + 2;
    }
    default:
        return nullptr;
    }
}

const char* array_header_at(const char* p, const char* end, long long& count)
{
    if (end - p < 3 || *p != '*')
        return nullptr;
    const char* const cr = line_end(p + 1, end);
    if (!cr || !size_of(p + 1, cr, count) || count > most_elements)
        return nullptr;
    return cr + 2;
}

QByteArray status_text(std::string_view text)
{
    static const QByteArray ok = QByteArrayLiteral("OK");
    static const QByteArray queued = QByteArrayLiteral("QUEUED");
    if (text == "OK")
        return ok;
    if (text == "QUEUED")
        return queued;
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

}  // namespace redis::scan

namespace redis {

reply make_reply(const reply_view& view)
{
    reply r;
    r.type = view.type;
    if (view.type == reply::kind::integer)
        r.integer = view.integer;
    else if (view.type == reply::kind::status)
        r.text = scan::status_text(view.text);
    else if (view.type != reply::kind::integer && view.type != reply::kind::nil)
        r.text = QByteArray(view.text.data(), static_cast<int>(view.text.size()));
    return r;
}

}  // namespace redis
