#include "redis_protocol.h"

#include "redis_reply_scan.h"

#include <hiredis.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <string_view>

namespace redis {

void append_header(QByteArray& out, char kind, int count)
{
    char text[16];
    text[0] = kind;
    const auto end = std::to_chars(text + 1, text + sizeof text - 2, count).ptr;
    end[0] = '\r';
    end[1] = '\n';
    out.append(text, static_cast<int>(end + 2 - text));
}

QString printable(const QByteArray& text, int limit)
{
    QString out;
    for (const char c : text.left(limit)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && u != '\\')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    if (text.size() > limit)
        out += QStringLiteral("... (%1 bytes)").arg(text.size());
    return out;
}

namespace {

// What hiredis keeps for a scalar; our replies travel through the sink instead.
char scalar_marker;

}  // namespace

void append_bulk(QByteArray& out, const char* data, int size)
{
    append_bulk(out, std::string_view(), std::string_view(data, static_cast<std::size_t>(size)));
}

void append_bulk(QByteArray& out, std::string_view head, std::string_view tail)
{
    const std::size_t size = head.size() + tail.size();
    // A short argument (most are) goes out in one append rather than one per piece.
    char text[256];
    if (size > sizeof text - 16) {
        append_header(out, '$', static_cast<int>(size));
        out.append(head.data(), static_cast<int>(head.size()));
        out.append(tail.data(), static_cast<int>(tail.size()));
        out.append("\r\n", 2);
        return;
    }
    text[0] = '$';
    char* p = std::to_chars(text + 1, text + 16, size).ptr;
    *p++ = '\r';
    *p++ = '\n';
    p = std::copy(head.begin(), head.end(), p);
    p = std::copy(tail.begin(), tail.end(), p);
    *p++ = '\r';
    *p++ = '\n';
    out.append(text, static_cast<int>(p - text));
}

void append_command(QByteArray& out, const command& cmd)
{
    append_header(out, '*', cmd.size());
    for (const QByteArray& arg : cmd)
        append_bulk(out, arg.constData(), arg.size());
}

// An array being read: the top-level one streams its elements to the sink, nested ones are
// collected and handed to their parent once complete.
struct reply_reader::node {
    reply value;
    long long pending = 0;
    node* parent = nullptr;
    bool top = false;
};

struct reader_functions {
    static reply_reader& reader_of(const redisReadTask* task) { return *static_cast<reply_reader*>(task->privdata); }

    static void deliver(reply_reader& r, reply_reader::node* parent, reply&& value)
    {
        if (parent->top) {
            r._sink->on_element(std::move(value));
            if (--parent->pending == 0)
                r._sink->on_array_end();
            return;
        }
        parent->value.elements.push_back(std::move(value));
        if (--parent->pending == 0)
            deliver(r, parent->parent, std::move(parent->value));
    }

    static void* scalar(const redisReadTask* task, reply&& value)
    {
        reply_reader& r = reader_of(task);
        // An element was paid for with its array's header; a string pays for its bytes besides.
        const std::size_t cost = value.text.size() + (task->parent ? 0 : reply_cost_per_value);
        if (!r.charge(cost, "a string of", value.text.size(), "bytes"))
            return nullptr;
        if (!task->parent)
            r._sink->on_reply(std::move(value));
        else
            deliver(r, static_cast<reply_reader::node*>(task->parent->obj), std::move(value));
        return &scalar_marker;
    }

    static void* create_string(const redisReadTask* task, char* str, size_t len)
    {
        reply value;
        value.type = task->type == REDIS_REPLY_ERROR    ? reply::kind::error
                     : task->type == REDIS_REPLY_STATUS ? reply::kind::status
                                                        : reply::kind::string;
        if (len > static_cast<size_t>(std::numeric_limits<int>::max())) {
            reader_of(task).charge(reply_sink::unbounded, "a string of", static_cast<long long>(len), "bytes");
            return nullptr;
        }
        value.text = value.type == reply::kind::status ? scan::status_text(std::string_view(str, len))
                                                       : QByteArray(str, static_cast<int>(len));
        return scalar(task, std::move(value));
    }

    static void* create_integer(const redisReadTask* task, long long integer)
    {
        reply value;
        value.type = reply::kind::integer;
        value.integer = integer;
        return scalar(task, std::move(value));
    }

    static void* create_nil(const redisReadTask* task) { return scalar(task, reply{}); }

    static void* create_array(const redisReadTask* task, int count)
    {
        reply_reader& r = reader_of(task);
        const std::size_t cost = count < 0 ? reply_sink::unbounded
                                           : static_cast<std::size_t>(count) * reply_cost_per_value +
                                                 sizeof(reply_reader::node) + (task->parent ? 0 : reply_cost_per_value);
        if (!r.charge(cost, "an array of", count, "elements"))
            return nullptr;
        r._nodes.push_back(std::make_unique<reply_reader::node>());
        reply_reader::node* n = r._nodes.back().get();
        n->pending = count;
        if (!task->parent) {
            n->top = true;
            r._sink->on_array(count);
            if (count == 0)
                r._sink->on_array_end();
            return n;
        }
        n->parent = static_cast<reply_reader::node*>(task->parent->obj);
        n->value.type = reply::kind::array;
        // Grown as the elements arrive, not sized by what the peer announces.
        n->value.elements.reserve(static_cast<std::size_t>(std::min(count, 16)));
        if (count == 0)
            deliver(r, n->parent, std::move(n->value));
        return n;
    }

    static void free_object(void*) {}  // the reader owns every node
};

namespace {
redisReplyObjectFunctions functions{reader_functions::create_string, reader_functions::create_array,
                                    reader_functions::create_integer, reader_functions::create_nil,
                                    reader_functions::free_object};
}

reply_reader::reply_reader() : _reader(redisReaderCreateWithFunctions(&functions))
{
    if (!_reader)
        throw std::bad_alloc();
    _reader->privdata = this;
}

reply_reader::~reply_reader()
{
    redisReaderFree(_reader);
}

bool reply_reader::feed(const char* data, std::size_t size, reply_sink& sink)
{
    _sink = &sink;
    _floor = sink.reply_limit_floor();
    const char* const end = data + size;
    // hiredis goes on with an item it has begun; otherwise the common replies need none of it.
    if (hiredis_idle()) {
        if (!read_simple(data, end))
            return false;
        if (data == end)
            return true;
    }
    if (redisReaderFeed(_reader, data, static_cast<std::size_t>(end - data)) != REDIS_OK)
        return false;
    for (;;) {
        void* r = nullptr;
        if (redisReaderGetReply(_reader, &r) != REDIS_OK)
            return false;
        if (!r)
            break;
        reply_read();
    }
    // What is buffered is the start of an item not yet whole: a long string, say.
    const std::size_t buffered = _reader->len - _reader->pos;
    if (buffered == 0)
        return true;
    if (!charge(buffered, "more than", static_cast<long long>(buffered), "bytes waiting"))
        return false;
    _spent -= buffered;  // charged again once whole
    return true;
}

// Nothing of a reply held: every byte read, and no item begun (after a whole reply hiredis
// starts the next one at once, which has not read its type byte yet).
bool reply_reader::hiredis_idle() const
{
    return _reader->err == 0 && _reader->pos == _reader->len &&
           (_reader->ridx == -1 || (_reader->ridx == 0 && _reader->rstack[0].type < 0));
}

// Charged as hiredis's way charges them (reader_functions), so a limit refuses the same replies.
bool reply_reader::read_simple(const char*& p, const char* end)
{
    reply_view s;
    while (p < end) {
        long long count = 0;
        const char* const elements = *p == '*' ? scan::array_header_at(p, end, count) : nullptr;
        const char* next = nullptr;
        if (!elements) {
            next = scan::scalar_at(p, end, s);
        } else if (count < 0) {
            s = reply_view{};  // the nil array reads as a nil
            next = elements;
        }
        if (next) {
            if (!charge(s.text.size() + reply_cost_per_value, "a string of", static_cast<long long>(s.text.size()),
                        "bytes"))
                return false;
            _sink->on_reply_view(s);
        } else if (elements) {
            // Only an array whole here and of scalars only; any other goes to hiredis whole. The
            // elements of a short one are read once, those of a long one once more as they go.
            const bool kept = count <= static_cast<long long>(std::size(_views));
            next = elements;
            for (long long i = 0; i < count && next; ++i)
                next = scan::scalar_at(next, end, kept ? _views[i] : s);
            if (!next)
                return true;
            const std::size_t cost =
                static_cast<std::size_t>(count) * reply_cost_per_value + sizeof(node) + reply_cost_per_value;
            if (!charge(cost, "an array of", count, "elements"))
                return false;
            _sink->on_array(count);
            const char* again = elements;
            for (long long i = 0; i < count; ++i) {
                if (!kept)
                    again = scan::scalar_at(again, end, s);
                const reply_view& element = kept ? _views[i] : s;
                if (!charge(element.text.size(), "a string of", static_cast<long long>(element.text.size()), "bytes"))
                    return false;
                _sink->on_element_view(element);
            }
            _sink->on_array_end();
        } else {
            return true;
        }
        reply_read();
        p = next;
    }
    return true;
}

void reply_reader::drop_nodes()
{
    _nodes.clear();
}

bool reply_reader::charge_asking(std::size_t cost, const char* what, long long size, const char* unit)
{
    if (!_limit_known) {
        _limit = _sink->reply_limit();
        _limit_known = true;
    }
    if (cost != reply_sink::unbounded && cost <= _limit && _spent <= _limit - cost) {
        _spent += cost;
        return true;
    }
    if (_fault.isEmpty())
        _fault = QByteArrayLiteral("a reply beyond its limit of ") + QByteArray::number(quint64(_limit)) + " bytes (" +
                 what + ' ' + QByteArray::number(size) + ' ' + unit + ')';
    return false;
}

QList<command> parse_commands(const QByteArray& resp)
{
    struct collect : reply_sink {
        QList<command> commands;
        command current;
        void on_reply(reply&&) override {}
        void on_array(long long) override { current.clear(); }
        void on_element(reply&& element) override { current.append(element.text); }
        void on_array_end() override { commands.append(current); }
    } sink;
    reply_reader reader;
    reader.feed(resp.constData(), static_cast<std::size_t>(resp.size()), sink);
    return sink.commands;
}

QByteArray reply_reader::error() const
{
    return _fault.isEmpty() ? QByteArray(_reader->errstr) : _fault;
}

}  // namespace redis
