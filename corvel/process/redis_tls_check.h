#pragma once

#include "config_layout.h"

class environment;
class logger;

// The files of the TLS settings that cannot be used (mistakes) and TLS keys set while TLS is off
// (notes), for --check-config and the start's warnings.
QList<config_remark> redis_tls_remarks(environment& env);

// At start-up: certificates that are not checked, at ERROR.
void warn_of_unverified_redis_tls(environment& env, logger& log);
