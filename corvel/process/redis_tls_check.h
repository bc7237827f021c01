#pragma once

#include "config_layout.h"

class environment;
class logger;
struct redis_conf;

// The files of the TLS settings that cannot be used (mistakes) and TLS keys set while TLS is off
// (notes), for --check-config and the start's warnings.
QList<config_remark> redis_tls_remarks(environment& env);

// At start-up: certificates that are not checked, at ERROR.
void warn_of_unverified_redis_tls(const redis_conf& conf, logger& log);
