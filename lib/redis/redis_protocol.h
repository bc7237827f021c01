#pragma once

#include <QByteArray>
#include <QList>

#include <memory>
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

// Appends cmd as a RESP array of bulk strings. hiredis has a formatter too, but it runs sprintf
// per argument, which dominated the cost of queueing a command.
void append_command(QByteArray& out, const command& cmd);
// "*<count>\r\n" or "$<count>\r\n".
void append_header(QByteArray& out, char kind, int count);
// One bulk string: "$<size>\r\n<data>\r\n".
void append_bulk(QByteArray& out, const char* data, int size);
// The commands in RESP text, as Redis reads them; stops at the first thing that is not a whole
// command (for tests and tools).
QList<command> parse_commands(const QByteArray& resp);

// Receives replies as they are read. The elements of a top-level array come one by one, so a
// reply of millions of elements (EXEC of a huge transaction) never has to be held whole.
class reply_sink {
public:
    virtual ~reply_sink() = default;
    virtual void on_reply(reply&& r) = 0;             // a whole top-level reply, not an array
    virtual void on_array(long long count) = 0;       // a top-level array of count elements begins
    virtual void on_element(reply&& element) = 0;     // its next element, nested arrays whole
    virtual void on_array_end() = 0;                  // after its last element
};

// Reads RESP replies from the bytes fed to it, over hiredis's protocol reader.
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
    redisReader* _reader;
    reply_sink* _sink = nullptr;
    std::vector<std::unique_ptr<node>> _nodes;  // the nodes of the reply being read
    friend struct reader_functions;
};

}  // namespace redis
