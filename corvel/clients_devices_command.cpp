#include "clients_devices_command.h"

#include "clients_devices_plan.h"
#include "store_transaction.h"

#include <QDateTime>
#include <QDebug>
#include <QPointer>

#include <optional>

ClientsDevicesCommand::ClientsDevicesCommand(redis::client& store, QTimer& timer, sequence_mark& sequence, logger& log)
    : _store(store), _timer(timer), _sequence(sequence), m_logger(log)
{
}

ClientsDevicesCommand::~ClientsDevicesCommand() = default;

void ClientsDevicesCommand::exec(const model::command& command, completion finished)
{
    _timer.stop();
    const QJsonArray clients = command._data.array();
    qDebug() << "Put to redis:" << clients.size() << "clients\t" << QDateTime::currentDateTimeUtc();

    _sequence.command_started();  // may put a promotion ahead of this command
    auto commands = std::make_shared<clients_devices_commands>(clients);
    std::optional<redis::command> mark;
    if (_sequence.enabled())
        mark = _sequence.mark();
    QPointer<QTimer> timer(&_timer);
    QPointer<sequence_mark> sequence(&_sequence);
    run_store_transaction(
        _store,
        [commands, mark](redis::command_writer& out) mutable {
            if (mark) {
                out.add(*mark);
                mark.reset();
            }
            return commands->write(out);
        },
        m_logger, "clients_devices", {},
        [timer, sequence, finished = std::move(finished)](command_result result) {
            if (sequence)
                sequence->command_settled(result.what);
            if (result.what == command_result::outcome::done && timer)
                timer->start();
            finished(std::move(result));
        });
}
