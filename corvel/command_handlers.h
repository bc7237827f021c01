#pragma once

#include "clients_devices_command.h"
#include "cmd_handler_creator.h"
#include "devices_params_command.h"

// The command types the service serves, in the order they are tried.
using service_handler_creator = CmdHandlerCreator<ClientsDevicesCommand, DevicesParamsCommand>;
