#include "json_scan.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <array>
#include <charconv>
#include <climits>
#include <cmath>

namespace {

bool is_digit(const char* p, const char* end)
{
    return p < end && *p >= '0' && *p <= '9';
}

// The bytes a string holds as they are, looked up rather than compared: most of a body is strings.
constexpr std::array<bool, 256> plain_in_string = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7f; ++c)
        plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The length of the UTF-8 sequence at p if it encodes one scalar value that is not a
// noncharacter, else 0.
int utf8_length(const unsigned char* p, const unsigned char* end)
{
    const unsigned lead = p[0];
    int length = 0;
    unsigned value = 0;
    unsigned least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, value = lead & 0x1f, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, value = lead & 0x0f, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (end - p < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3f);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    if ((value >= 0xfdd0 && value <= 0xfdef) || (value & 0xfffe) == 0xfffe)
        return 0;
    return length;
}

}  // namespace

bool json_scan::fail()
{
    _failed = true;
    _at = _end;
    return false;
}

bool json_scan::at_end()
{
    return peek() == 0 && !_failed;
}

bool json_scan::literal(const char* word, int size)
{
    if (_end - _at < size || std::char_traits<char>::compare(_at, word, static_cast<std::size_t>(size)) != 0)
        return fail();
    _at += size;
    return true;
}

bool json_scan::string(const char*& begin, const char*& end)
{
    if (peek() != '"')
        return fail();
    begin = _at++;
    while (_at < _end) {
        while (_at < _end && plain_in_string[static_cast<unsigned char>(*_at)])
            ++_at;
        if (_at == _end)
            break;
        const auto c = static_cast<unsigned char>(*_at);
        if (c == '"') {
            end = ++_at;
            return true;
        }
        if (c == '\\') {
            if (_end - _at < 2)
                return fail();
            const char e = _at[1];
            if (e == 'u') {
                if (_end - _at < 6 || !is_hex(_at[2]) || !is_hex(_at[3]) || !is_hex(_at[4]) || !is_hex(_at[5]))
                    return fail();
                _at += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                _at += 2;
            } else {
                return fail();
            }
        } else if (c == 0) {
            return fail();
        } else if (c < 0x80) {
            ++_at;
        } else {
            const int length =
                utf8_length(reinterpret_cast<const unsigned char*>(_at), reinterpret_cast<const unsigned char*>(_end));
            if (length == 0)
                return fail();
            _at += length;
        }
    }
    return fail();
}

bool json_scan::number(int& value)
{
    peek();
    const char* const start = _at;
    const char* p = _at;
    if (p < _end && *p == '-')
        ++p;
    if (!is_digit(p, _end))
        return fail();
    if (*p == '0')
        ++p;
    else
        while (is_digit(p, _end))
            ++p;
    bool integer = true;
    if (p < _end && *p == '.') {
        integer = false;
        if (!is_digit(++p, _end))
            return fail();
        while (is_digit(p, _end))
            ++p;
    }
    if (p < _end && (*p == 'e' || *p == 'E')) {
        integer = false;
        ++p;
        if (p < _end && (*p == '+' || *p == '-'))
            ++p;
        if (!is_digit(p, _end))
            return fail();
        while (is_digit(p, _end))
            ++p;
    }
    _at = p;
    long long whole = 0;
    if (integer && std::from_chars(start, p, whole).ec == std::errc()) {
        value = whole >= INT_MIN && whole <= INT_MAX ? static_cast<int>(whole) : 0;
        return true;
    }
    // Beyond 64 bits, or with a fraction or an exponent: Qt reads a double.
    double d = 0;
    const auto read = std::from_chars(start, p, d);
    if (read.ec != std::errc() || read.ptr != p)
        return fail();  // out of a double's range: Qt's verdict
    value = d >= INT_MIN && d <= INT_MAX && d == std::trunc(d) ? static_cast<int>(d) : 0;
    return true;
}

bool json_scan::skip(int depth)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    int ignored = 0;
    switch (peek()) {
    case '"':
        return string(begin, end);
    case '{':
        if (depth >= max_depth)
            return fail();
        ++_at;
        if (accept('}'))
            return true;
        do {
            if (!string(begin, end) || !take(':') || !skip(depth + 1))
                return false;
        } while (accept(','));
        return take('}');
    case '[':
        if (depth >= max_depth)
            return fail();
        ++_at;
        if (accept(']'))
            return true;
        do {
            if (!skip(depth + 1))
                return false;
        } while (accept(','));
        return take(']');
    case 't':
        return literal("true", 4);
    case 'f':
        return literal("false", 5);
    case 'n':
        return literal("null", 4);
    default:
        return skip_number() || number(ignored);
    }
}

bool json_scan::skip_number()
{
    // A whole number of a few digits needs no reading: what number() would accept as it stands.
    const char* p = _at;
    if (p < _end && *p == '-')
        ++p;
    const char* const digits = p;
    while (is_digit(p, _end))
        ++p;
    const auto count = p - digits;
    const bool plain = count == 1 || (count > 1 && count <= 18 && *digits != '0');
    if (!plain || (p < _end && (*p == '.' || *p == 'e' || *p == 'E')))
        return false;  // number() reads it, and says whether Qt takes it
    _at = p;
    return true;
}

int json_scan::count_elements(int depth)
{
    if (depth >= max_depth || !take('['))
        return 0;
    int count = 0;
    if (!accept(']')) {
        do {
            if (!skip(depth + 1))
                return 0;
            ++count;
        } while (accept(','));
        if (!take(']'))
            return 0;
    }
    return count;
}

QString json_string_text(const char* begin, const char* end)
{
    const char* const inner = begin + 1;
    const int size = static_cast<int>(end - begin) - 2;
    bool plain = true;
    for (int i = 0; i < size && plain; ++i)
        plain = inner[i] >= 0x20 && inner[i] < 0x7f && inner[i] != '\\';
    if (plain)
        return QString::fromLatin1(inner, size);
    QByteArray array;
    array.reserve(size + 4);
    array.append('[').append(begin, static_cast<int>(end - begin)).append(']');
    return QJsonDocument::fromJson(array).array().at(0).toString();
}

bool json_string_is(const char* begin, const char* end, QLatin1String word)
{
    const std::size_t size = static_cast<std::size_t>(end - begin) - 2;
    if (std::char_traits<char>::find(begin + 1, size, '\\') != nullptr)
        return json_string_text(begin, end) == word;
    return size == static_cast<std::size_t>(word.size()) &&
           std::char_traits<char>::compare(begin + 1, word.data(), size) == 0;
}

QJsonDocument command_data(const model::command& command)
{
    if (command._data_text.isEmpty())
        return command._data;
    return QJsonDocument::fromJson(QByteArray::fromRawData(command._data_text.begin(), command._data_text.size));
}
