#include "clients_devices_command.h"

#include "clients_devices_plan.h"
#include "store_access.h"
#include "store_transaction.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>

ClientsDevicesCommand::ClientsDevicesCommand(redis_conf config, QTimer& timer, logger& log)
    : _connection(to_connection_config(config)), _timer(timer), m_logger(log)
{
    // A failure here surfaces as a store_error from exec.
    _connection.connect(redis_connect_timeout_ms);
}

ClientsDevicesCommand::~ClientsDevicesCommand() = default;

QJsonObject ClientsDevicesCommand::exec(const model::command& command)
{
    _timer.stop();
    const QJsonArray clients = command._data.array();

    _connection.send({"SELECT", QByteArray::number(store_database)});
    redis::transaction tx(_connection);
    qDebug() << "Put to redis:" << clients.size() << "clients\t" << QDateTime::currentDateTimeUtc();

    const auto queue = [&tx](const QList<QByteArray>& cmd) { tx.queue(cmd); };
    for (const QJsonValue& element : clients) {
        const client_entry entry = read_client_entry(element);
        qDebug() << "Put to redis:" << entry.modem_ids.size() << "modems" << entry.station_ids.size() << "bs"
                 << QStringLiteral("(%1)").arg(entry.api_key);
        plan_client(entry, queue);
    }
    commit_logged(tx, redis_command_timeout_ms, m_logger, "clients_devices");

    _timer.start();
    return {};
}
