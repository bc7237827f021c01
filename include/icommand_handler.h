#pragma once

#include "model.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>

// Executes one command; a new handler serves each command.
class ICommandHandler {
public:
    virtual ~ICommandHandler() {}
    // Returns the reply data; reports failure only by throwing.
    virtual QJsonObject exec(const model::command& command) = 0;
};

// Builds a new handler for a command type; throws std::runtime_error for an unknown type.
using TCmdHandlerBuildFunc = std::function<std::shared_ptr<ICommandHandler>(QString)>;
