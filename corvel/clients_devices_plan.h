#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>

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

// Emits, in order, the Redis commands that write one client entry inside the command's
// transaction: the reverse staging sets, the client's own sets (staged and renamed into place),
// and the role.
void plan_client(const client_entry& entry, const std::function<void(const QList<QByteArray>&)>& out);
