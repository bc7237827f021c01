#include "commands/device_parameters_command.h"

#include "commands/device_parameters_plan.h"
#include "store/store_transaction.h"

#include "diagnostic_line.h"
#include "json_scan.h"
#include "utc_stamp.h"

void DevicesParamsCommand::exec(const model::command& command, completion finished)
{
    const QJsonDocument data = command_data(command);
    if (!data.isArray()) {
        finished(command_result::rejected(QStringLiteral("Illegal data format!")));
        return;
    }
    const QJsonArray modems = data.array();
    diagnostic::short_text line;
    line << "Put to redis: " << modems.size() << " properties\t " << utc_stamp_now().text;
    CORVEL_DEBUG_LINE(line.text());

    auto commands = std::make_shared<device_parameters_commands>(modems);
    run_store_transaction(
        {_context.store, _context.replicas, delivery_gone()},
        [commands](redis::command_writer& out) { return commands->write(out); }, _context.log, "device_parameters",
        {{QStringLiteral("result"), true}}, std::move(finished));
}
