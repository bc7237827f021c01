#pragma once

#include "commands/handler_context.h"
#include "icommand_handler.h"

// "clients_devices": writes each client's modem set, station set and role, and adds the client
// to the staging sets of its modems and stations, in one transaction. The promotion holds its
// timer off from the command's start and restarts it once written, so the promotion follows the
// last command of a sequence. With a shared sequence, each transaction also marks the sequence
// as open.
class ClientsDevicesCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("clients_devices"); }

    explicit ClientsDevicesCommand(const handler_context& context) : _context(context) {}

    void exec(const model::command& command, completion finished) override;

private:
    handler_context _context;
};
