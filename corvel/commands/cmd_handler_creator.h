#pragma once

#include "commands/handler_context.h"
#include "icommand_handler.h"

#include <memory>
#include <stdexcept>

// Finds the handler class whose static type() equals a command type, trying the classes in the
// order listed, and builds a new instance of it from the handlers' context.
template <class First, class... Rest>
struct CmdHandlerCreator {
    static std::shared_ptr<ICommandHandler> create(const QString& type, const handler_context& context)
    {
        if (type == First::type())
            return std::make_shared<First>(context);
        return CmdHandlerCreator<Rest...>::create(type, context);
    }
};

template <class Only>
struct CmdHandlerCreator<Only> {
    static std::shared_ptr<ICommandHandler> create(const QString& type, const handler_context& context)
    {
        if (type == Only::type())
            return std::make_shared<Only>(context);
        throw std::runtime_error((type + QStringLiteral(" does not exist")).toStdString());
    }
};
