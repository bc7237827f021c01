#include "devices_params_command.h"

#include "device_parameters_plan.h"
#include "store_transaction.h"

#include <QDateTime>
#include <QDebug>

DevicesParamsCommand::DevicesParamsCommand(redis::client& store, logger& log) : _store(store), m_logger(log)
{
}

DevicesParamsCommand::~DevicesParamsCommand() = default;

void DevicesParamsCommand::exec(const model::command& command, completion finished)
{
    if (!command._data.isArray()) {
        finished(command_result::rejected(QStringLiteral("Illegal data format!")));
        return;
    }
    const QJsonArray modems = command._data.array();
    qDebug() << "Put to redis:" << modems.size() << "properties\t" << QDateTime::currentDateTimeUtc();

    auto commands = std::make_shared<device_parameters_commands>(modems);
    run_store_transaction(
        _store, [commands](redis::command_writer& out) { return commands->write(out); }, m_logger, "device_parameters",
        {{QStringLiteral("result"), true}}, std::move(finished));
}
