#pragma once

#include "environment.h"

#include <QString>

// corvel --check-config: reads the file as a start would, without opening the log or connecting
// to anything, and prints each problem on standard output. Returns the exit status: 0 when a
// start would go ahead, 1 otherwise.
int check_configuration(const QString& path);

// At start-up, before anything else is made: when the file has problems, one ERROR line naming
// them all goes to the log file, and config_error stops the start (main prints it on standard
// error and exits with 1). Returns true otherwise.
bool refuse_bad_configuration(environment& env);

// SIGHUP: reads the file again and applies what can change without a restart, the log's target,
// file and level, saying what changed; the log file is reopened in any case (after logrotate).
// A file with problems changes nothing: one ERROR line names them, as --check-config does.
void reload_log_settings(const QString& path, logger& log);
