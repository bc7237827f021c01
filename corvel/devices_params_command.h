#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "redis_conf.h"
#include "redis_connection.h"

// "device_parameters": writes each modem's hardware type and protocol in one transaction.
class DevicesParamsCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("device_parameters"); }

    DevicesParamsCommand(redis_conf config, logger& log);
    ~DevicesParamsCommand() override;

    // Throws std::runtime_error("Illegal data format!") for a payload that is not an array,
    // before anything reaches Redis.
    QJsonObject exec(const model::command& command) override;

private:
    redis::connection _connection;
    logger& m_logger;
};
