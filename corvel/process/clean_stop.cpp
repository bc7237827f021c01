#include "process/clean_stop.h"

#include "rabbit_api_man.h"

#include <csignal>
#include <cstring>

QString signal_name(int signo)
{
    const char* abbrev = sigabbrev_np(signo);
    return abbrev ? QStringLiteral("SIG") + QLatin1String(abbrev) : QStringLiteral("signal %1").arg(signo);
}

clean_stop::clean_stop(logger& log, rabbit_api_man& api, int timeout_ms, QObject* parent)
    : QObject(parent),
      _logger(log),
      _api(api)
{
    _limit.setSingleShot(true);
    _limit.setInterval(timeout_ms);
    connect(&_limit, &QTimer::timeout, this, &clean_stop::timed_out);
    connect(&_api, &rabbit_api_man::stopped, this, &clean_stop::api_stopped);
}

void clean_stop::begin(int signo)
{
    switch (_state) {
    case state::running:
        break;
    case state::finishing:
        _logger.warning() << "Stopping at once on a second " << signal_name(signo) << ": "
                          << QString::number(_api.flow().unsettled())
                          << " commands unfinished go back to the queue with the connection";
        end(128 + signo);
        return;
    case state::done:
        return;
    }
    finish_in_flight(QStringLiteral("Stopping on ") + signal_name(signo));
}

void clean_stop::refuse()
{
    if (_state != state::running)
        return;
    _exit_status = 1;
    finish_in_flight(QStringLiteral("Stopping"));
}

void clean_stop::finish_in_flight(const QString& cause)
{
    _state = state::finishing;
    _logger.info() << cause << ": finishing " << QString::number(_api.flow().unsettled()) << " commands in flight";
    _limit.start();
    _api.stop();
}

void clean_stop::api_stopped()
{
    if (_state != state::finishing)
        return;
    _logger.info() << "Stopped cleanly";
    end(_exit_status);
}

void clean_stop::timed_out()
{
    if (_state != state::finishing)
        return;
    _logger.warning() << "Stopped after " << QString::number(_limit.interval()) << " ms with "
                      << QString::number(_api.flow().unsettled())
                      << " commands unfinished: they go back to the queue with the connection";
    end(_exit_status);
}

void clean_stop::end(int exit_status)
{
    _state = state::done;
    _limit.stop();
    emit finished(exit_status);
}
