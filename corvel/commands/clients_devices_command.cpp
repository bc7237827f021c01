#include "commands/clients_devices_command.h"

#include "commands/clients_devices_plan.h"
#include "diagnostic_line.h"
#include "promotion/staging_promotion.h"
#include "store/store_transaction.h"
#include "utc_stamp.h"

#include <QPointer>

#include <optional>

namespace {

// The command's transaction: its clients written from the command as the connection drains.
class clients_devices_transaction : public command_transaction {
public:
    clients_devices_transaction(const store_write& where, const model::command& command, logger& log,
                                ICommandHandler::completion finished)
        : command_transaction(where, body(), log, "clients_devices", {}, std::move(finished)),
          // A command's array is read from its text as it is written out.
          _commands(command._data_text.isEmpty() ? clients_devices_commands(command._data.array())
                                                 : clients_devices_commands(command._data_text))
    {
    }

    int size() const { return _commands.size(); }
    void mark_sequence(std::optional<redis::command> mark) { _mark = std::move(mark); }

private:
    bool write_body(redis::command_writer& out) override
    {
        if (_mark) {
            out.add(*_mark);
            _mark.reset();
        }
        return _commands.write(out);
    }

    clients_devices_commands _commands;
    std::optional<redis::command> _mark;
};

}  // namespace

void ClientsDevicesCommand::exec(const model::command& command, completion finished)
{
    staging_promotion& promotion = _context.promotion;
    if (promotion.new_sequence_undecided()) {
        finished(command_result::retry(QStringLiteral("the last sequence has gone quiet and cannot be promoted before "
                                                      "Redis has answered for the quiet time")));
        return;
    }
    auto job = std::make_unique<clients_devices_transaction>(
        store_write{_context.store, _context.replicas, delivery_gone()}, command, _context.log,
        [promotion = QPointer<staging_promotion>(&promotion), finished = std::move(finished)](command_result result) {
            if (promotion)
                promotion->command_settled(result.what);
            finished(std::move(result));
        });
    diagnostic::short_text line;
    line << "Put to redis: " << job->size() << " clients\t " << utc_stamp_now().text;
    CORVEL_DEBUG_LINE(line.text());
    // Holds the promotion timer off; may put a promotion ahead of this command.
    job->mark_sequence(promotion.command_started());
    _context.store.submit(std::move(job));
}
