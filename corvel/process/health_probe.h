#pragma once

#include <QHostAddress>
#include <QString>

// corvel --health: asks the status listener that the configuration's HTTP_LISTEN names for
// /healthz, so that a container's health check needs nothing beside the binary. Prints one line
// (the answer's status and first line of body, or why there is none) and returns the exit
// status: 0 for a 200, 1 otherwise, including no HTTP_LISTEN.
int probe_health(const QString& path);

// One GET of /healthz at host:port, given up after deadline_ms; the answer is read up to a few
// KiB. Returns the HTTP status (0: none) and sets *said to a loggable account of it.
int ask_healthz(const QHostAddress& host, quint16 port, int deadline_ms, QString* said);
