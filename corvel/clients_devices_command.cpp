#include "clients_devices_command.h"

#include "clients_devices_plan.h"
#include "store_transaction.h"

#include <QDateTime>
#include <QDebug>
#include <QPointer>

ClientsDevicesCommand::ClientsDevicesCommand(redis::client& store, QTimer& timer, logger& log)
    : _store(store), _timer(timer), m_logger(log)
{
}

ClientsDevicesCommand::~ClientsDevicesCommand() = default;

void ClientsDevicesCommand::exec(const model::command& command, completion finished)
{
    _timer.stop();
    const QJsonArray clients = command._data.array();
    qDebug() << "Put to redis:" << clients.size() << "clients\t" << QDateTime::currentDateTimeUtc();

    auto commands = std::make_shared<clients_devices_commands>(clients);
    QPointer<QTimer> timer(&_timer);
    run_store_transaction(
        _store, [commands](redis::command_writer& out) { return commands->write(out); }, m_logger, "clients_devices", {},
        [timer, finished = std::move(finished)](command_result result) {
            if (result.what == command_result::outcome::done && timer)
                timer->start();
            finished(std::move(result));
        });
}
