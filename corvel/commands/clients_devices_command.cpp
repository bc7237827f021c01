#include "commands/clients_devices_command.h"

#include "commands/clients_devices_plan.h"
#include "diagnostic_line.h"
#include "promotion/staging_promotion.h"
#include "store/store_transaction.h"
#include "utc_stamp.h"

#include <QPointer>

#include <optional>

void ClientsDevicesCommand::exec(const model::command& command, completion finished)
{
    staging_promotion& promotion = _context.promotion;
    if (promotion.new_sequence_undecided()) {
        finished(command_result::retry(QStringLiteral("the last sequence has gone quiet and cannot be promoted before "
                                                      "Redis has answered for the quiet time")));
        return;
    }
    // A command's array is read from its text as it is written out.
    auto commands = command._data_text.isEmpty() ? std::make_shared<clients_devices_commands>(command._data.array())
                                                 : std::make_shared<clients_devices_commands>(command._data_text);
    diagnostic::short_text line;
    line << "Put to redis: " << commands->size() << " clients\t " << utc_stamp_now().text;
    CORVEL_DEBUG_LINE(line.text());
    // Holds the promotion timer off; may put a promotion ahead of this command.
    std::optional<redis::command> mark = promotion.command_started();
    run_store_transaction(
        {_context.store, _context.replicas, delivery_gone()},
        [commands, mark](redis::command_writer& out) mutable {
            if (mark) {
                out.add(*mark);
                mark.reset();
            }
            return commands->write(out);
        },
        _context.log, "clients_devices", {},
        [promotion = QPointer<staging_promotion>(&promotion), finished = std::move(finished)](command_result result) {
            if (promotion)
                promotion->command_settled(result.what);
            finished(std::move(result));
        });
}
