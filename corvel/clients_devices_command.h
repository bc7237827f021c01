#pragma once

#include "icommand_handler.h"
#include "logger.h"
#include "redis_client.h"
#include "sequence_mark.h"

#include <QTimer>

// "clients_devices": writes each client's modem set, station set and role, and adds the client
// to the staging sets of its modems and stations, in one transaction. Holds the promotion timer
// off from its start and restarts it once written, so the promotion follows the last command of
// a sequence. With a sequence key, each transaction also marks the sequence as open.
class ClientsDevicesCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("clients_devices"); }

    ClientsDevicesCommand(redis::client& store, QTimer& timer, sequence_mark& sequence, logger& log);
    ~ClientsDevicesCommand() override;

    void exec(const model::command& command, completion finished) override;

private:
    redis::client& _store;
    QTimer& _timer;
    sequence_mark& _sequence;
    logger& m_logger;
};
