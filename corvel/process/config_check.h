#pragma once

#include "environment.h"

#include <QString>

// corvel --check-config: reads the file as a start would, without opening the log or connecting
// to anything, and prints each problem on standard output, then each remark (config_layout.h),
// notes marked "warning:". Returns the exit status: 0 when a start would go ahead and nothing
// was hardly meant, 1 otherwise. `named`: the path came from -c, so a missing file is a mistake
// (without -c, a missing corvel.ini gives every default).
int check_configuration(const QString& path, bool named);

// At start-up, before anything else is made: when the file has problems, one ERROR line naming
// them all goes to the log file, and config_error stops the start (main prints it on standard
// error and exits with 1). Returns true otherwise.
bool refuse_bad_configuration(environment& env);

// At start-up, once the log is open: one WARNING line for a missing file (said on standard
// error too) and for each remark on the file; one ERROR line when Redis's certificates are not
// checked (TLS_VERIFY=none); nothing stops the start.
void warn_of_configuration(environment& env, const QString& path, const redis_conf& store, logger& log);

// Remarks on settings that each read well but do not go together: SHUTDOWN_TIMEOUT_MS against
// the packaged unit's TimeoutStopSec; the TLS files of REDIS_SETTINGS that cannot be used.
QList<config_remark> cross_checks(environment& env);

// SIGHUP: reads the file again and applies what can change without a restart, the log's target,
// file and level, saying what changed; the log file is reopened in any case (after logrotate).
// A file with problems changes nothing: one ERROR line names them, as --check-config does.
void reload_log_settings(const QString& path, logger& log);
