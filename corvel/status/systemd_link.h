#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Tells systemd how the service is doing (sd_notify): ready, a short status, stopping, and the
// watchdog's keep-alive from the event loop, so a loop that stops turning gets the unit
// restarted. Without NOTIFY_SOCKET in the environment (not started by systemd) it does nothing.
class systemd_link : public QObject {
    Q_OBJECT
public:
    explicit systemd_link(QObject* parent = nullptr);

    bool active() const { return _active; }
    void ready();
    void stopping();
    void status(const QString& text);  // sent only when it changed

private:
    void send(const QByteArray& state);

    bool _active = false;
    bool _ready = false;
    QString _status;
    QTimer _watchdog;
};
