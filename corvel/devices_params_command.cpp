#include "devices_params_command.h"

#include "device_parameters_plan.h"
#include "store_access.h"
#include "store_transaction.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>

#include <stdexcept>

DevicesParamsCommand::DevicesParamsCommand(redis_conf config, logger& log)
    : _connection(to_connection_config(config)), m_logger(log)
{
    // A failure here surfaces as a store_error from exec.
    _connection.connect(redis_connect_timeout_ms);
}

DevicesParamsCommand::~DevicesParamsCommand() = default;

QJsonObject DevicesParamsCommand::exec(const model::command& command)
{
    if (!command._data.isArray())
        throw std::runtime_error("Illegal data format!");
    const QJsonArray modems = command._data.array();

    _connection.send({"SELECT", QByteArray::number(store_database)});
    redis::transaction tx(_connection);
    qDebug() << "Put to redis:" << modems.size() << "properties\t" << QDateTime::currentDateTimeUtc();

    for (const QJsonValue& element : modems) {
        const QList<QByteArray> hmset = device_properties_command(element);
        if (!hmset.isEmpty())
            tx.queue(hmset);
    }
    commit_logged(tx, redis_command_timeout_ms, m_logger, "device_parameters");

    return {{QStringLiteral("result"), true}};
}
