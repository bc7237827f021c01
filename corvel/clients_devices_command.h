#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "redis_conf.h"
#include "redis_connection.h"

#include <QTimer>

// "clients_devices": writes each client's modem set, station set and role, and adds the client
// to the staging sets of its modems and stations, in one transaction. Holds the promotion timer
// off while it runs and restarts it when done, so the promotion follows the last command of a
// sequence.
class ClientsDevicesCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("clients_devices"); }

    ClientsDevicesCommand(redis_conf config, QTimer& timer, logger& log);
    ~ClientsDevicesCommand() override;

    QJsonObject exec(const model::command& command) override;

    // What this command's connection did on the wire (dials, reuses, round trips).
    const redis::io_stats& store_stats() const { return _connection.stats(); }

private:
    redis::connection _connection;
    QTimer& _timer;
    logger& m_logger;
};
