#include "status/systemd_link.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

systemd_link::systemd_link(QObject* parent) : QObject(parent)
{
    _active = std::getenv("NOTIFY_SOCKET") != nullptr;
    if (!_active)
        return;
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Twice per period, so one late turn of the loop is no restart.
        _watchdog.setInterval(static_cast<int>(qMax<uint64_t>(usec / 2000, 1)));
        connect(&_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        _watchdog.start();
    }
}

void systemd_link::ready()
{
    if (!_active || _ready)
        return;
    _ready = true;
    send("READY=1");
}

void systemd_link::stopping()
{
    if (_active)
        send("STOPPING=1");
}

void systemd_link::status(const QString& text)
{
    if (!_active || text == _status)
        return;
    _status = text;
    send("STATUS=" + text.toUtf8());
}

void systemd_link::send(const QByteArray& state)
{
    sd_notify(0, state.constData());
}
