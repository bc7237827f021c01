#pragma once

#include "model.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>

// What became of one command.
struct command_result {
    enum class outcome {
        done,      // applied: data is the reply to send back
        rejected,  // bad input: never to be tried again
        retry,     // the store failed: try again later, nothing overtaking it
    };
    // Why a retry: Redis answered this command's transaction with an error and ran none of it, or
    // the store could not be reached or did not confirm the write.
    enum class retry_cause { unavailable, refused };
    outcome what = outcome::done;
    QJsonObject data;
    QString reason;  // rejected or retry: why
    retry_cause cause = retry_cause::unavailable;

    static command_result done(QJsonObject data) { return {outcome::done, std::move(data), QString()}; }
    static command_result rejected(QString why) { return {outcome::rejected, {}, std::move(why)}; }
    static command_result retry(QString why) { return {outcome::retry, {}, std::move(why)}; }
    static command_result refused(QString why) { return {outcome::retry, {}, std::move(why), retry_cause::refused}; }
    bool refused_by_store() const { return what == outcome::retry && cause == retry_cause::refused; }
};

// Executes one command; a new handler serves each command.
class ICommandHandler {
public:
    using completion = std::function<void(command_result)>;

    virtual ~ICommandHandler() {}
    // Starts the command and calls finished exactly once, from the event loop or before it
    // returns. The handler may be released once exec has returned: what the work needs, it keeps.
    virtual void exec(const model::command& command, completion finished) = 0;

    // Before exec: becomes true once the command's delivery has gone with its channel. What the
    // command has not written to the store by then must never be written: the broker delivers it
    // again, here or to another instance, which may already have written newer commands.
    void follow_delivery(std::shared_ptr<const bool> gone) { _delivery_gone = std::move(gone); }

protected:
    const std::shared_ptr<const bool>& delivery_gone() const { return _delivery_gone; }

private:
    std::shared_ptr<const bool> _delivery_gone;
};

// Builds a new handler for a command type; throws std::runtime_error for an unknown type.
using TCmdHandlerBuildFunc = std::function<std::shared_ptr<ICommandHandler>(QString)>;
