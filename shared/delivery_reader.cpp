// Reading a delivery's body: in place where the scan takes it, by Qt otherwise.
#include "command_envelope.h"

#include "json_scan.h"

#include <QJsonDocument>

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace {

// The members envelope::read looks at; the first three are texts.
enum class member { msg_type, sender, cmd_id, data, other };

member member_named(const char* begin, const char* end)
{
    static constexpr std::string_view names[] = {"msg_type", "sender", "cmd_id", "data"};
    const std::string_view key(begin + 1, static_cast<std::size_t>(end - begin) - 2);
    const bool as_it_stands = key.find('\\') == std::string_view::npos;
    for (int i = 0; i < 4; ++i) {
        const std::string_view name = names[i];
        if (as_it_stands ? key == name
                         : json_string_is(begin, end, QLatin1String(name.data(), static_cast<int>(name.size()))))
            return static_cast<member>(i);
    }
    return member::other;
}

// Hex digits' values, looked up; 16 for any other character.
constexpr std::array<unsigned char, 256> hex_values = [] {
    std::array<unsigned char, 256> values{};
    for (auto& value : values)
        value = 16;
    for (int c = 0; c < 10; ++c)
        values[static_cast<std::size_t>('0' + c)] = static_cast<unsigned char>(c);
    for (int c = 0; c < 6; ++c) {
        values[static_cast<std::size_t>('a' + c)] = static_cast<unsigned char>(10 + c);
        values[static_cast<std::size_t>('A' + c)] = static_cast<unsigned char>(10 + c);
    }
    return values;
}();

// The 38 characters of a braced id ({8-4-4-4-12} hex digits), read as QUuid reads them; any other
// text QUuid reads itself.
QUuid braced_uuid(const char* text)
{
    unsigned char bytes[16];
    const char* p = text + 1;
    bool ok = text[0] == '{' && text[37] == '}';
    for (int i = 0; i < 16 && ok; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            ok = *p++ == '-';
        const unsigned high = hex_values[static_cast<unsigned char>(p[0])];
        const unsigned low = hex_values[static_cast<unsigned char>(p[1])];
        ok = ok && high < 16 && low < 16;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
        p += 2;
    }
    if (!ok)
        return QUuid::fromString(QLatin1String(text, 38));
    const auto word = [&bytes](int at, int size) {
        unsigned value = 0;
        for (int i = at; i < at + size; ++i)
            value = value << 8 | bytes[i];
        return value;
    };
    return QUuid(word(0, 4), static_cast<ushort>(word(4, 2)), static_cast<ushort>(word(6, 2)), bytes[8], bytes[9],
                 bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
}

// The last string token read for a member (kept only when short) and its text.
struct last_text {
    static constexpr std::size_t most = 256;
    std::string token;
    QString text;
};

// A string member's token, quotes included; none when its value is not a string.
struct text_token {
    const char* begin = nullptr;
    const char* end = nullptr;

    QString text() const { return begin ? json_string_text(begin, end) : QString(); }
    // text(), shared with the last token given the same last when they are the same: commands
    // mostly come from a few senders, of a few types.
    QString text(last_text& last) const
    {
        const std::string_view token(begin, static_cast<std::size_t>(end - begin));
        if (!begin || token.size() > last_text::most)
            return text();
        if (last.token != token) {
            last.token.assign(token);
            last.text = text();
        }
        return last.text;
    }
    QUuid uuid() const
    {
        if (!begin)
            return QUuid();
        const int size = static_cast<int>(end - begin) - 2;
        for (int i = 1; i <= size; ++i)
            if (begin[i] < 0x20 || begin[i] >= 0x7f || begin[i] == '\\')
                return QUuid(text());
        return size == 38 ? braced_uuid(begin + 1) : QUuid::fromString(QLatin1String(begin + 1, size));
    }
};

// Reads the envelope as envelope::read reads Qt's object of it, building none: false when the
// body is not an object the scan accepts with an array as its "data", or when a member read here
// comes twice (Qt keeps the last): Qt reads such a body.
bool read_in_place(const QByteArray& body, model::command& command)
{
    json_scan scan(body.constData(), body.constData() + body.size());
    text_token texts[3];
    bool seen[4] = {};
    const char* data_begin = nullptr;
    const char* data_end = nullptr;
    int elements = 0;
    if (!scan.take('{'))
        return false;
    if (!scan.accept('}')) {
        do {
            const char* key_begin = nullptr;
            const char* key_end = nullptr;
            if (!scan.string(key_begin, key_end) || !scan.take(':'))
                return false;
            const member m = member_named(key_begin, key_end);
            if (m != member::other && std::exchange(seen[static_cast<int>(m)], true))
                return false;
            const char next = scan.peek();
            if (m == member::data) {
                if (next != '[')
                    return false;
                data_begin = scan.position();
                elements = scan.count_elements(1);  // counted here, so that its reader need not
                data_end = scan.position();
            } else if (m != member::other && next == '"') {
                text_token& token = texts[static_cast<int>(m)];
                scan.string(token.begin, token.end);
            } else {
                scan.skip(1);
            }
            if (scan.failed())
                return false;
        } while (scan.accept(','));
        if (!scan.take('}'))
            return false;
    }
    if (!scan.at_end() || data_begin == nullptr)
        return false;
    thread_local last_text last_type;
    thread_local last_text last_sender;
    command._type = texts[static_cast<int>(member::msg_type)].text(last_type);
    command._sender = texts[static_cast<int>(member::sender)].text(last_sender);
    command._id = texts[static_cast<int>(member::cmd_id)].uuid();
    const int offset = static_cast<int>(data_begin - body.constData());
    command._data_text = json_slice{body, offset, static_cast<int>(data_end - data_begin), elements};
    return true;
}

}  // namespace

delivery read_delivery(uint64_t tag, const QByteArray& routing_key, const QByteArray& body)
{
    delivery d{tag, routing_key, body, QJsonObject(), QString()};
    // A Qt document costs several times its text (16 bytes a number) and, even for a small
    // command, more time than the scan: the envelope is read in place instead.
    if (read_in_place(body, d.command))
        return d;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        d.problem = QStringLiteral("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    else if (!document.isObject())
        d.problem = QStringLiteral("the body is not a JSON object");
    else
        d.json = document.object();
    d.command = envelope::read(d.json);
    return d;
}
