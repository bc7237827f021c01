#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM, SIGINT and SIGHUP into signals of the event loop. The three are blocked in the
// process and read from a signalfd, so nothing runs inside a signal handler and a signal that
// comes while the loop is busy waits for its turn.
class signal_watch : public QObject {
    Q_OBJECT
public:
    // Blocks the three in the calling thread; threads started after this inherit the mask, so
    // call it before any thread is started.
    static void block_signals();

    explicit signal_watch(QObject* parent = nullptr);
    ~signal_watch() override;

    bool active() const { return _fd >= 0; }

signals:
    void stop_asked(int signo);  // SIGTERM or SIGINT
    void reopen_asked();         // SIGHUP

private:
    void readable();

    int _fd = -1;
    std::unique_ptr<QSocketNotifier> _notifier;
};
