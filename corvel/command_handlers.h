#pragma once

#include "cmd_handler_creator.h"
#include "icommand_handler.h"
#include "logger.h"
#include "redis_client.h"

#include <QTimer>

class replica_wait;
class staging_promotion;

// "clients_devices": writes each client's modem set, station set and role, and adds the client
// to the staging sets of its modems and stations, in one transaction. Holds the promotion timer
// off from its start and restarts it once written, so the promotion follows the last command of
// a sequence. With a shared sequence, each transaction also marks the sequence as open.
class ClientsDevicesCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("clients_devices"); }

    ClientsDevicesCommand(redis::client& store, replica_wait& replicas, QTimer& timer, staging_promotion& promotion,
                          logger& log);
    ~ClientsDevicesCommand() override;

    void exec(const model::command& command, completion finished) override;

private:
    redis::client& _store;
    replica_wait& _replicas;
    QTimer& _timer;
    staging_promotion& _promotion;
    logger& m_logger;
};

// "device_parameters": writes each modem's hardware type and protocol in one transaction.
class DevicesParamsCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("device_parameters"); }

    DevicesParamsCommand(redis::client& store, replica_wait& replicas, logger& log);
    ~DevicesParamsCommand() override;

    // A payload that is not an array is rejected ("Illegal data format!") before anything
    // reaches Redis.
    void exec(const model::command& command, completion finished) override;

private:
    redis::client& _store;
    replica_wait& _replicas;
    logger& m_logger;
};

// The command types the service serves, in the order they are tried.
using service_handler_creator = CmdHandlerCreator<ClientsDevicesCommand, DevicesParamsCommand>;
