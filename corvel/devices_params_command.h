#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "redis_client.h"

// "device_parameters": writes each modem's hardware type and protocol in one transaction.
class DevicesParamsCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("device_parameters"); }

    DevicesParamsCommand(redis::client& store, logger& log);
    ~DevicesParamsCommand() override;

    // A payload that is not an array is rejected ("Illegal data format!") before anything
    // reaches Redis.
    void exec(const model::command& command, completion finished) override;

private:
    redis::client& _store;
    logger& m_logger;
};
