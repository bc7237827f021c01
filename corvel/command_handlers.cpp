#include "command_handlers.h"

#include "commands/clients_devices_plan.h"
#include "commands/device_parameters_plan.h"
#include "commands/store_transaction.h"
#include "promotion/staging_promotion.h"

#include <QDateTime>
#include <QDebug>
#include <QPointer>

#include <optional>

ClientsDevicesCommand::ClientsDevicesCommand(redis::client& store, replica_wait& replicas, QTimer& timer,
                                             staging_promotion& promotion, logger& log)
    : _store(store), _replicas(replicas), _timer(timer), _promotion(promotion), m_logger(log)
{
}

ClientsDevicesCommand::~ClientsDevicesCommand() = default;

void ClientsDevicesCommand::exec(const model::command& command, completion finished)
{
    if (_promotion.new_sequence_undecided()) {
        finished(command_result::retry(QStringLiteral("the last sequence has gone quiet and cannot be promoted before "
                                                      "Redis has answered for the quiet time")));
        return;
    }
    _timer.stop();
    // A large command's array is read from its text as it is written out.
    auto commands = command._data_text.isEmpty() ? std::make_shared<clients_devices_commands>(command._data.array())
                                                 : std::make_shared<clients_devices_commands>(command._data_text);
    qDebug() << "Put to redis:" << commands->size() << "clients\t" << QDateTime::currentDateTimeUtc();

    std::optional<redis::command> mark = _promotion.command_started();  // may put a promotion ahead of this command
    QPointer<QTimer> timer(&_timer);
    QPointer<staging_promotion> promotion(&_promotion);
    run_store_transaction(
        {_store, _replicas, delivery_gone()},
        [commands, mark](redis::command_writer& out) mutable {
            if (mark) {
                out.add(*mark);
                mark.reset();
            }
            return commands->write(out);
        },
        m_logger, "clients_devices", {},
        [timer, promotion, finished = std::move(finished)](command_result result) {
            if (promotion)
                promotion->command_settled(result.what);
            if (result.what == command_result::outcome::done && timer)
                timer->start();
            finished(std::move(result));
        });
}

DevicesParamsCommand::DevicesParamsCommand(redis::client& store, replica_wait& replicas, logger& log)
    : _store(store), _replicas(replicas), m_logger(log)
{
}

DevicesParamsCommand::~DevicesParamsCommand() = default;

void DevicesParamsCommand::exec(const model::command& command, completion finished)
{
    const QJsonDocument data = command_data(command);
    if (!data.isArray()) {
        finished(command_result::rejected(QStringLiteral("Illegal data format!")));
        return;
    }
    const QJsonArray modems = data.array();
    qDebug() << "Put to redis:" << modems.size() << "properties\t" << QDateTime::currentDateTimeUtc();

    auto commands = std::make_shared<device_parameters_commands>(modems);
    run_store_transaction(
        {_store, _replicas, delivery_gone()}, [commands](redis::command_writer& out) { return commands->write(out); }, m_logger,
        "device_parameters",
        {{QStringLiteral("result"), true}}, std::move(finished));
}
