#pragma once

#include "redis_job.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// One client entry of a clients_devices payload, read leniently: what is missing or of the
// wrong type reads as empty.
struct client_entry {
    QString api_key;  // the client id
    QJsonArray modem_ids;
    QJsonArray station_ids;
    bool has_role = false;
    QString role;
};

client_entry read_client_entry(const QJsonValue& element);

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
    // Writes until the output is full or the entry is done; true once done.
    bool write(redis::command_writer& out);

private:
    enum class step { reverse_modems, reverse_stations, client_stations, client_modems, rename_stations, live_modems, role, done };
    void id_list(redis::command_writer& out, const QByteArray& key, const QJsonArray& ids, step next);
    void reverse(redis::command_writer& out, const char* prefix, const QJsonArray& ids, step next);

    client_entry _entry;
    QByteArray _client;
    step _step = step::reverse_modems;
    int _index = 0;
    bool _mid_command = false;
};

// Every client entry of a clients_devices payload, one after another; each entry's "Put to
// redis:" line is written as the entry begins.
class clients_devices_commands {
public:
    explicit clients_devices_commands(QJsonArray clients) : _clients(std::move(clients)) {}
    bool write(redis::command_writer& out);

private:
    QJsonArray _clients;
    int _index = 0;
    std::optional<client_commands> _current;
};

// The commands of one entry as a list (for tests and tools).
void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out);
