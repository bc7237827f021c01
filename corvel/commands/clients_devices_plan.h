#pragma once

#include "json_scan.h"
#include "model.h"
#include "redis_job.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// The ids of one member of a client entry, read as they are needed: from a Qt array, or from the
// text of an array (a command's body, checked before), which must outlive it.
class id_list {
public:
    id_list() = default;
    explicit id_list(QJsonArray ids) : _array(std::move(ids)), _size(_array.size()) {}
    id_list(const char* begin, const char* end, int size) : _begin(begin), _end(end), _size(size) {}

    int size() const { return _size; }
    bool isEmpty() const { return _size == 0; }

    // One pass through the ids, each as id_text reads it.
    class reader {
    public:
        explicit reader(const id_list& ids) : _ids(ids), _scan(ids._begin, ids._end) {}
        // The next id's text in text (12 bytes): its length.
        int next(char* text);

    private:
        const id_list& _ids;
        json_scan _scan;
        int _index = 0;
    };

private:
    QJsonArray _array;
    const char* _begin = nullptr;
    const char* _end = nullptr;
    int _size = 0;
};

// One client entry of a clients_devices payload, read leniently: what is missing or of the
// wrong type reads as empty.
struct client_entry {
    QString api_key;  // the client id
    id_list modem_ids;
    id_list station_ids;
    bool has_role = false;
    QString role;
};

client_entry read_client_entry(const QJsonValue& element);
// The entry at the scan (an element of the payload's array, checked before), read as the one
// above reads its Qt value.
client_entry read_client_entry(json_scan& scan);

// An id as it appears in keys: a whole JSON number in the 32-bit signed range in decimal,
// anything else 0.
QByteArray id_text(const QJsonValue& id);

// The Redis commands that write one client entry inside the command's transaction, in order:
// the reverse staging sets, the client's own sets (staged and renamed into place), and the
// role. They are written in pieces, so an entry with millions of modems never exists whole as
// commands.
class client_commands {
public:
    explicit client_commands(client_entry entry);
    // Its id reader points into its entry.
    client_commands(const client_commands&) = delete;
    client_commands& operator=(const client_commands&) = delete;
    // Writes until the output is full or the entry is done; true once done.
    bool write(redis::command_writer& out);

private:
    enum class step {
        reverse_modems,
        reverse_stations,
        client_stations,
        client_modems,
        rename_stations,
        live_modems,
        role,
        done
    };
    void set(redis::command_writer& out, std::string_view key_prefix, const id_list& ids, step next);
    void reverse(redis::command_writer& out, const char* prefix, const id_list& ids, step next);
    id_list::reader& ids_reader(const id_list& ids);
    void next_step(step next);
    std::string_view client() const { return {_client.constData(), static_cast<std::size_t>(_client.size())}; }

    client_entry _entry;
    QByteArray _client;
    step _step = step::reverse_modems;
    int _index = 0;  // ids written of the step's list
    std::optional<id_list::reader> _reader;
    bool _mid_command = false;
};

// Every client entry of a clients_devices payload, one after another; each entry's "Put to
// redis:" line is written as the entry begins. The payload is the text of its array or, for a
// body only Qt reads (lax JSON), a Qt array. A short text is read whole at once, its count
// with it; a long one is counted first and read as it is written.
class clients_devices_commands {
public:
    explicit clients_devices_commands(QJsonArray clients)
        : _from(source::qt_array),
          _clients(std::move(clients)),
          _size(_clients.size())
    {
    }
    explicit clients_devices_commands(json_slice clients);
    int size() const { return _size; }
    bool write(redis::command_writer& out);

    static constexpr int read_whole_bytes = 16 * 1024;

private:
    enum class source { qt_array, text, entries };
    client_entry next_entry();

    source _from;
    QJsonArray _clients;
    json_slice _text;
    std::optional<json_scan> _scan;
    std::vector<client_entry> _entries;
    int _size = 0;
    int _index = 0;
    std::optional<client_commands> _current;
};

// The commands of one entry as a list (for tests and tools).
void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out);
