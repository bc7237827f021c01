#include "commands/clients_devices_plan.h"

#include "loggable.h"

#include <QDebug>
#include <QJsonObject>

#include <charconv>
#include <climits>
#include <cstring>

namespace {

int id_chars(const QJsonValue& id, char* text)
{
    return static_cast<int>(std::to_chars(text, text + 12, id.toInt()).ptr - text);
}

const QByteArray sadd = QByteArrayLiteral("SADD");

}  // namespace

client_entry read_client_entry(const QJsonValue& element)
{
    const QJsonObject object = element.toObject();
    client_entry entry;
    entry.api_key = object.value(QLatin1String("api_key")).toString();
    entry.modem_ids = object.value(QLatin1String("modem_ids")).toArray();
    entry.station_ids = object.value(QLatin1String("station_ids")).toArray();
    entry.has_role = object.contains(QLatin1String("role"));
    if (entry.has_role)
        entry.role = object.value(QLatin1String("role")).toString();
    return entry;
}

QByteArray id_text(const QJsonValue& id)
{
    return QByteArray::number(id.toInt());
}

client_commands::client_commands(client_entry entry) : _entry(std::move(entry)), _client(_entry.api_key.toLatin1())
{
}

// SADD <prefix><id> <client> for each id.
void client_commands::reverse(redis::command_writer& out, const char* prefix, const QJsonArray& ids, step next)
{
    const QByteArray key_prefix = QByteArray::fromRawData(prefix, static_cast<int>(std::strlen(prefix)));
    char id[16];
    while (_index < ids.size() && !out.full()) {
        out.begin(3);
        out.arg(sadd);
        out.arg(key_prefix, id, id_chars(ids.at(_index++), id));
        out.arg(_client);
        out.end();
    }
    if (_index == ids.size()) {
        _index = 0;
        _step = next;
    }
}

// SADD <key> <id>...: one command, written argument by argument.
void client_commands::id_list(redis::command_writer& out, const QByteArray& key, const QJsonArray& ids, step next)
{
    if (!_mid_command) {
        out.begin(2 + ids.size());
        out.arg(sadd);
        out.arg(key);
        _mid_command = true;
    }
    char id[16];
    while (_index < ids.size() && !out.full())
        out.arg(id, id_chars(ids.at(_index++), id));
    if (_index == ids.size()) {
        out.end();
        _mid_command = false;
        _index = 0;
        _step = next;
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
                out.add({sadd, "tmp:client:bs:" + _client, "NULL"});
                _step = step::client_modems;
            } else {
                id_list(out, "tmp:client:bs:" + _client, _entry.station_ids, step::client_modems);
            }
            break;
        case step::client_modems:
            // A client without modems gets an empty set; Redis stores that as no key. An SADD
            // without a member would be refused and take the whole transaction down with it.
            if (has_modems)
                id_list(out, "tmp:client:devices:" + _client, _entry.modem_ids, step::rename_stations);
            else
                _step = step::rename_stations;
            break;
        case step::rename_stations:
            out.add({"RENAME", "tmp:client:bs:" + _client, "client:bs:" + _client});
            _step = step::live_modems;
            break;
        case step::live_modems:
            if (has_modems)
                out.add({"RENAME", "tmp:client:devices:" + _client, "client:devices:" + _client});
            else
                out.add({"DEL", "client:devices:" + _client});
            _step = step::role;
            break;
        case step::role:
            if (_entry.has_role)
                out.add({"HSET", "client:properties:" + _client, "role", _entry.role.toLatin1()});
            _step = step::done;
            break;
        case step::done:
            break;
        }
    }
    return _step == step::done;
}

bool clients_devices_commands::write(redis::command_writer& out)
{
    while (!out.full()) {
        if (!_current) {
            if (_index == _clients.size())
                return true;
            client_entry entry = read_client_entry(_clients.at(_index++));
            qDebug() << "Put to redis:" << entry.modem_ids.size() << "modems" << entry.station_ids.size() << "bs"
                     << QStringLiteral("(%1)").arg(loggable(entry.api_key));
            _current.emplace(std::move(entry));
        }
        if (_current->write(out))
            _current.reset();
    }
    return !_current && _index == _clients.size();
}

void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out)
{
    QByteArray resp;
    redis::command_writer writer(resp, INT_MAX);
    client_commands(entry).write(writer);
    for (const redis::command& cmd : redis::parse_commands(resp))
        out(cmd);
}
