#pragma once

#include "commands/clients_devices_command.h"
#include "commands/cmd_handler_creator.h"
#include "commands/device_parameters_command.h"

// The command types the service serves, in the order they are tried.
using service_handler_creator = CmdHandlerCreator<ClientsDevicesCommand, DevicesParamsCommand>;
