#pragma once

// Payloads of the benchmarks and the Redis command streams the handlers write for them, shared by
// the store benchmark and the end-to-end one so both time exactly the same work.
#include "commands/clients_devices_plan.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <hiredis.h>

#include <vector>

namespace bench {

// A clients_devices payload: `clients` entries, each with its own modem and station ids.
inline QJsonArray clients_payload(int clients, int modems, int stations)
{
    QJsonArray out;
    for (int c = 0; c < clients; ++c) {
        QJsonArray m, s;
        for (int i = 0; i < modems; ++i)
            m.append(c * modems + i);
        for (int i = 0; i < stations; ++i)
            s.append(c * stations + i);
        out.append(QJsonObject{
            {"api_key", QString("client-%1").arg(c)}, {"modem_ids", m}, {"station_ids", s}, {"role", "user"}});
    }
    return out;
}

// One command in the RESP encoding that goes on the wire.
inline QByteArray resp(const QList<QByteArray>& cmd)
{
    char* text = nullptr;
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const QByteArray& a : cmd) {
        argv.push_back(a.constData());
        lens.push_back(static_cast<size_t>(a.size()));
    }
    const int len = redisFormatCommandArgv(&text, static_cast<int>(argv.size()), argv.data(), lens.data());
    QByteArray out(text, len);
    redisFreeCommand(text);
    return out;
}

// The commands a handler sends (SELECT 2, MULTI, the planned ones, EXEC) as one RESP stream
// for redis-cli --pipe; plan(element, sink) emits the planned commands of one payload element.
template <class Plan>
QByteArray transaction_stream(const QJsonArray& payload, Plan plan, int* count)
{
    QByteArray out = resp({"SELECT", "2"}) + resp({"MULTI"});
    *count = 3;
    const auto sink = [&](const QList<QByteArray>& cmd) {
        out += resp(cmd);
        ++*count;
    };
    for (const QJsonValue& v : payload)
        plan(v, sink);
    return out + resp({"EXEC"});
}

inline QByteArray clients_stream(const QJsonArray& clients, int* count)
{
    return transaction_stream(
        clients, [](const QJsonValue& v, const auto& sink) { plan_client(read_client_entry(v), sink); }, count);
}

}  // namespace bench
