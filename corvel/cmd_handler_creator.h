#pragma once

#include "icommand_handler.h"

#include <memory>
#include <stdexcept>

// Finds the handler class whose static type() equals a command type, trying the classes in the
// order listed, and has the injector build a new instance of it.
template <class First, class... Rest>
struct CmdHandlerCreator {
    template <class Injector>
    static std::shared_ptr<ICommandHandler> create(const QString& type, const Injector& injector)
    {
        if (type == First::type())
            return std::shared_ptr<ICommandHandler>(injector.template create<First>());
        return CmdHandlerCreator<Rest...>::create(type, injector);
    }
};

template <class Only>
struct CmdHandlerCreator<Only> {
    template <class Injector>
    static std::shared_ptr<ICommandHandler> create(const QString& type, const Injector& injector)
    {
        if (type == Only::type())
            return std::shared_ptr<ICommandHandler>(injector.template create<Only>());
        throw std::runtime_error((type + QStringLiteral(" does not exist")).toStdString());
    }
};
