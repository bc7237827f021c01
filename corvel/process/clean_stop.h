#pragma once

#include "logger.h"

#include <QObject>
#include <QTimer>

class rabbit_api_man;

// Carries the service from a stop signal to the end of its event loop: the commands under way
// are finished and the broker connections closed, within a time limit; a second signal ends it
// at once. Each stop logs one line as it begins and one as it ends.
class clean_stop : public QObject {
    Q_OBJECT
public:
    clean_stop(logger& log, rabbit_api_man& api, int timeout_ms, QObject* parent = nullptr);

    void begin(int signo);
    // A stop the service decides on itself, having said why: as for a signal, with exit status 1.
    void refuse();
    bool under_way() const { return _state != state::running; }

signals:
    // The event loop may end now, with this exit status.
    void finished(int exit_status);

private:
    enum class state { running, finishing, done };

    void finish_in_flight(const QString& cause);
    void api_stopped();  // the manager has answered what was under way and closed both connections
    void timed_out();
    void end(int exit_status);

    logger& _logger;
    rabbit_api_man& _api;
    QTimer _limit;
    state _state = state::running;
    int _exit_status = 0;  // of a stop that ends cleanly
};

// "SIGTERM" for 15, and so on; "signal N" for the others.
QString signal_name(int signo);
