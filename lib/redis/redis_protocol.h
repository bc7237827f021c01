#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

struct redisReader;

namespace redis {

// One Redis command: the command name followed by its arguments, each a byte string.
using command = QList<QByteArray>;

struct reply {
    enum class kind { status, error, integer, string, nil, array };
    kind type = kind::nil;
    QByteArray text;  // status, error and string replies
    long long integer = 0;
    std::vector<reply> elements;

    bool is_error() const { return type == kind::error; }
};

// A reply that is not an array, as it lies in the bytes read: what a sink that only counts or
// checks replies looks at without a reply made for it.
struct reply_view {
    reply::kind type = reply::kind::nil;
    std::string_view text;  // status, error and string replies
    long long integer = 0;

    bool is_error() const { return type == reply::kind::error; }
};

reply make_reply(const reply_view& view);

// Appends cmd as a RESP array of bulk strings. hiredis has a formatter too, but it runs sprintf
// per argument, which dominated the cost of queueing a command.
void append_command(QByteArray& out, const command& cmd);
// "*<count>\r\n" or "$<count>\r\n".
void append_header(QByteArray& out, char kind, int count);
// One bulk string: "$<size>\r\n<data>\r\n".
void append_bulk(QByteArray& out, const char* data, int size);
// One bulk string of two pieces, a key prefix and a name say.
void append_bulk(QByteArray& out, std::string_view head, std::string_view tail);
// The commands in RESP text, as Redis reads them; stops at the first thing that is not a whole
// command (for tests and tools).
QList<command> parse_commands(const QByteArray& resp);

// Text from a peer made fit for a message: cut at limit bytes, anything but printable ASCII
// written as \xNN.
QString printable(const QByteArray& text, int limit = 200);

// Receives replies as they are read. The elements of a top-level array come one by one, so a
// reply of millions of elements (EXEC of a huge transaction) never has to be held whole.
class reply_sink {
public:
    static constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

    virtual ~reply_sink() = default;
    // The most the next top-level reply may cost (see reply_cost), asked as it begins.
    virtual std::size_t reply_limit() { return unbounded; }
    // What reply_limit says at least, for every reply until the next bytes are fed: a reply that
    // costs no more is not asked about.
    virtual std::size_t reply_limit_floor() { return 0; }
    virtual void on_reply(reply&& r) = 0;          // a whole top-level reply, not an array
    virtual void on_array(long long count) = 0;    // a top-level array of count elements begins
    virtual void on_element(reply&& element) = 0;  // its next element, nested arrays whole
    virtual void on_array_end() = 0;               // after its last element
    // The common replies may come as views instead; by default they are made replies and go
    // the ways above.
    virtual void on_reply_view(const reply_view& r) { on_reply(make_reply(r)); }
    virtual void on_element_view(const reply_view& element) { on_element(make_reply(element)); }
};

// What a reply costs against its limit: the bytes of its strings and, per value, what holding it
// takes. An array is charged for all its elements as its header arrives, so a header that
// announces more than the limit allows is refused before anything is allocated for it.
constexpr std::size_t reply_cost_per_value = sizeof(reply);

// Reads RESP replies from the bytes fed to it: the common small ones directly, the rest over
// hiredis's protocol reader. A reply beyond
// the limit its sink sets is a protocol error, noticed once the bytes fed (what is buffered of
// an unfinished string included) pass it.
class reply_reader {
public:
    reply_reader();
    ~reply_reader();
    reply_reader(const reply_reader&) = delete;
    reply_reader& operator=(const reply_reader&) = delete;

    // Parses what it can and hands the replies to sink. False on a protocol error (error()).
    bool feed(const char* data, std::size_t size, reply_sink& sink);
    QByteArray error() const;

    struct node;

private:
    // Reads the whole replies of the common shapes from p on, while hiredis holds nothing; p is
    // left at the first byte for hiredis. False once a reply is refused.
    bool read_simple(const char*& p, const char* end);
    bool hiredis_idle() const;
    // A top-level reply has gone to the sink.
    void reply_read()
    {
        if (!_nodes.empty())
            drop_nodes();
        _spent = 0;
        _limit_known = false;
    }
    // Charges cost to the reply being read; false, and the reader failed, beyond its limit.
    bool charge(std::size_t cost, const char* what, long long size, const char* unit)
    {
        // Under the floor the limit need not be asked.
        if (!_limit_known && cost <= _floor && _spent <= _floor - cost) {
            _spent += cost;
            return true;
        }
        return charge_asking(cost, what, size, unit);
    }
    void drop_nodes();
    bool charge_asking(std::size_t cost, const char* what, long long size, const char* unit);

    redisReader* _reader;
    reply_sink* _sink = nullptr;
    std::size_t _spent = 0;  // by the reply being read
    std::size_t _limit = 0;
    std::size_t _floor = 0;                     // the sink's reply_limit_floor, for this feed
    bool _limit_known = false;                  // asked of the sink once the reply has begun
    QByteArray _fault;                          // why a reply was refused
    std::vector<std::unique_ptr<node>> _nodes;  // the nodes of the reply being read
    reply_view _views[64];                      // the elements of a short array read directly
    friend struct reader_functions;
};

}  // namespace redis
