#pragma once

#include "commands/handler_context.h"
#include "icommand_handler.h"

// "device_parameters": writes each modem's hardware type and protocol in one transaction.
class DevicesParamsCommand : public ICommandHandler {
public:
    static QString type() { return QStringLiteral("device_parameters"); }

    explicit DevicesParamsCommand(const handler_context& context) : _context(context) {}

    // A payload that is not an array is rejected ("Illegal data format!") before anything
    // reaches Redis.
    void exec(const model::command& command, completion finished) override;

private:
    handler_context _context;
};
