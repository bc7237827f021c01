#include "commands/clients_devices_plan.h"

#include "diagnostic_line.h"
#include "loggable.h"

#include <QJsonObject>

#include <charconv>
#include <climits>
#include <cstring>

namespace {

int id_chars(int id, char* text)
{
    return static_cast<int>(std::to_chars(text, text + 12, id).ptr - text);
}

// The commands of an entry are written argument by argument: no command is made whole first.
void word(redis::command_writer& out, std::string_view word)
{
    out.arg(word.data(), static_cast<int>(word.size()));
}

QString text_member(json_scan& scan)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    if (scan.peek() == '"' && scan.string(begin, end))
        return json_string_text(begin, end);
    scan.skip(0);
    return QString();
}

id_list ids_member(json_scan& scan)
{
    if (scan.peek() != '[') {
        scan.skip(0);
        return id_list();
    }
    const char* const begin = scan.position();
    const int count = scan.count_elements(0);
    return id_list(begin, scan.position(), count);
}

}  // namespace

int id_list::reader::next(char* text)
{
    int id = 0;
    if (!_ids._begin) {
        id = _ids._array.at(_index).toInt();
    } else if (_index == 0 ? _scan.take('[') : _scan.accept(',')) {
        const char c = _scan.peek();
        if (c == '-' || (c >= '0' && c <= '9'))
            _scan.number(id);
        else
            _scan.skip(0);
    }
    ++_index;
    return id_chars(id, text);
}

client_entry read_client_entry(const QJsonValue& element)
{
    const QJsonObject object = element.toObject();
    client_entry entry;
    entry.api_key = object.value(QLatin1String("api_key")).toString();
    entry.modem_ids = id_list(object.value(QLatin1String("modem_ids")).toArray());
    entry.station_ids = id_list(object.value(QLatin1String("station_ids")).toArray());
    entry.has_role = object.contains(QLatin1String("role"));
    if (entry.has_role)
        entry.role = object.value(QLatin1String("role")).toString();
    return entry;
}

// A member given twice counts as Qt counts it: the last one.
client_entry read_client_entry(json_scan& scan)
{
    client_entry entry;
    if (scan.peek() != '{') {
        scan.skip(0);
        return entry;
    }
    scan.take('{');
    if (scan.accept('}'))
        return entry;
    do {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (!scan.string(begin, end) || !scan.take(':'))
            break;
        if (json_string_is(begin, end, QLatin1String("api_key"))) {
            entry.api_key = text_member(scan);
        } else if (json_string_is(begin, end, QLatin1String("modem_ids"))) {
            entry.modem_ids = ids_member(scan);
        } else if (json_string_is(begin, end, QLatin1String("station_ids"))) {
            entry.station_ids = ids_member(scan);
        } else if (json_string_is(begin, end, QLatin1String("role"))) {
            entry.has_role = true;
            entry.role = text_member(scan);
        } else {
            scan.skip(0);
        }
    } while (scan.accept(','));
    scan.take('}');
    return entry;
}

QByteArray id_text(const QJsonValue& id)
{
    return QByteArray::number(id.toInt());
}

client_commands::client_commands(client_entry entry) : _entry(std::move(entry)), _client(_entry.api_key.toLatin1()) {}

id_list::reader& client_commands::ids_reader(const id_list& ids)
{
    if (!_reader)
        _reader.emplace(ids);
    return *_reader;
}

void client_commands::next_step(step next)
{
    _reader.reset();
    _index = 0;
    _step = next;
}

// SADD <prefix><id> <client> for each id.
void client_commands::reverse(redis::command_writer& out, const char* prefix, const id_list& ids, step next)
{
    id_list::reader& reader = ids_reader(ids);
    char key[40];
    const std::size_t prefix_size = std::strlen(prefix);
    std::memcpy(key, prefix, prefix_size);
    for (; _index < ids.size() && !out.full(); ++_index) {
        const std::size_t id_size = static_cast<std::size_t>(reader.next(key + prefix_size));
        out.add({"SADD", std::string_view(key, prefix_size + id_size), client()});
    }
    if (_index == ids.size())
        next_step(next);
}

// SADD <key> <id>...: one command, written argument by argument.
void client_commands::set(redis::command_writer& out, std::string_view key_prefix, const id_list& ids, step next)
{
    if (!_mid_command) {
        out.begin(2 + ids.size());
        word(out, "SADD");
        out.arg(key_prefix, client());
        _mid_command = true;
    }
    id_list::reader& reader = ids_reader(ids);
    char id[16];
    for (; _index < ids.size() && !out.full(); ++_index)
        out.arg(id, reader.next(id));
    if (_index == ids.size()) {
        out.end();
        _mid_command = false;
        next_step(next);
    }
}

bool client_commands::write(redis::command_writer& out)
{
    const bool has_modems = !_entry.modem_ids.isEmpty();
    while (_step != step::done && !out.full()) {
        switch (_step) {
        case step::reverse_modems:
            reverse(out, "tmp:dev:clients:", _entry.modem_ids, step::reverse_stations);
            break;
        case step::reverse_stations:
            reverse(out, "tmp:bs:clients:", _entry.station_ids, step::client_stations);
            break;
        case step::client_stations:
            if (_entry.station_ids.isEmpty()) {
                out.begin(3);
                word(out, "SADD");
                out.arg("tmp:client:bs:", client());
                word(out, "NULL");
                out.end();
                _step = step::client_modems;
            } else {
                set(out, "tmp:client:bs:", _entry.station_ids, step::client_modems);
            }
            break;
        case step::client_modems:
            // A client without modems gets an empty set; Redis stores that as no key. An SADD
            // without a member would be refused and take the whole transaction down with it.
            if (has_modems)
                set(out, "tmp:client:devices:", _entry.modem_ids, step::rename_stations);
            else
                _step = step::rename_stations;
            break;
        case step::rename_stations:
            out.begin(3);
            word(out, "RENAME");
            out.arg("tmp:client:bs:", client());
            out.arg("client:bs:", client());
            out.end();
            _step = step::live_modems;
            break;
        case step::live_modems:
            if (has_modems) {
                out.begin(3);
                word(out, "RENAME");
                out.arg("tmp:client:devices:", client());
                out.arg("client:devices:", client());
            } else {
                out.begin(2);
                word(out, "DEL");
                out.arg("client:devices:", client());
            }
            out.end();
            _step = step::role;
            break;
        case step::role:
            if (_entry.has_role) {
                const QByteArray role = _entry.role.toLatin1();
                out.begin(4);
                word(out, "HSET");
                out.arg("client:properties:", client());
                word(out, "role");
                out.arg(role);
                out.end();
            }
            _step = step::done;
            break;
        case step::done:
            break;
        }
    }
    return _step == step::done;
}

clients_devices_commands::clients_devices_commands(json_slice clients) : _from(source::text), _text(std::move(clients))
{
    _scan.emplace(_text);
    if (_text.size > read_whole_bytes) {
        // Counted while the envelope was read, when it was read in place.
        _size = _text.elements >= 0 ? _text.elements : json_scan(_text).count_elements(0);
        return;
    }
    // The text was checked before: its elements are its entries.
    _from = source::entries;
    if (_scan->take('[') && !_scan->accept(']')) {
        do
            _entries.push_back(read_client_entry(*_scan));
        while (_scan->accept(','));
    }
    _size = static_cast<int>(_entries.size());
}

client_entry clients_devices_commands::next_entry()
{
    switch (_from) {
    case source::qt_array:
        return read_client_entry(_clients.at(_index++));
    case source::entries:
        return std::move(_entries[static_cast<std::size_t>(_index++)]);
    case source::text:
        break;
    }
    if (_index++ == 0 ? !_scan->take('[') : !_scan->accept(','))
        return client_entry();
    return read_client_entry(*_scan);
}

bool clients_devices_commands::write(redis::command_writer& out)
{
    while (!out.full()) {
        if (!_current) {
            if (_index == _size)
                return true;
            client_entry entry = next_entry();
            diagnostic::short_text line;
            line << "Put to redis: " << entry.modem_ids.size() << " modems " << entry.station_ids.size() << " bs ";
            const QString client = loggable(entry.api_key);
            QString named;  // "(client)", made in one piece
            named.reserve(client.size() + 2);
            named += QLatin1Char('(');
            named += client;
            named += QLatin1Char(')');
            QString text = line.text();
            text += diagnostic::quoted(named);
            CORVEL_DEBUG_LINE(text);
            _current.emplace(std::move(entry));
        }
        if (_current->write(out))
            _current.reset();
    }
    return !_current && _index == _size;
}

void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out)
{
    QByteArray resp;
    redis::command_writer writer(resp, INT_MAX);
    client_commands(entry).write(writer);
    writer.flush();
    for (const redis::command& cmd : redis::parse_commands(resp))
        out(cmd);
}
