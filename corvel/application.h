#pragma once

#include "composition_root.h"
#include "environment.h"
#include "logger.h"
#include "process/clean_stop.h"
#include "process/loop_pacing.h"
#include "process/signal_watch.h"
#include "rabbit_api_man.h"
#include "status/systemd_link.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <exception>
#include <memory>

// Thrown inside event delivery to end the event loop.
class stop_application : public std::exception {};

// The service process: start-up in the constructor, then everything runs from the event loop.
class Application : public QCoreApplication {
    Q_OBJECT
public:
    Application(int& argc, char** argv);
    ~Application() override;

    bool notify(QObject* receiver, QEvent* e) override;
    bool configCmdLineOptions();

    // The promotion timer and the object graph, for inspection.
    QTimer& promotion_timer() { return *_timer; }
    const composition_root& injector() const { return *_injector; }

private slots:
    // The promotion timer fired: the staging keys of the sequence that just ended go to their
    // live names.
    void redis_rename_tmp() { _injector->promotion().timer_fired(); }

private:
    QString config_path();
    void warn_of_other_consumers(quint32 consumers);
    void stop_timers();  // a stop begins: no promotion, systemd told
    void warn_of_few_descriptors();
    void first_consuming();
    void stop(int signo);
    bool stopping() const { return _stop && _stop->under_way(); }

    QCommandLineParser _cmdLineParser;
    // First, so that no signal finds its default action once start-up has begun.
    signal_watch _signals;
    environment _env;
    bool _config_checked;  // start-up stops here, logging why, on a value that cannot be read
    std::unique_ptr<logger> _logger;
    std::unique_ptr<rabbit_api_man> _engiene;
    std::unique_ptr<QTimer> _timer;
    // Builds and keeps the store, the promotion, the handlers and what watches the manager.
    std::unique_ptr<composition_root> _injector;
    int _shutdown_timeout_ms;
    systemd_link _systemd;
    std::unique_ptr<clean_stop> _stop;
    bool _ready = false;     // consumed once since start-up
    QTimer _systemd_status;  // with systemd only
    std::unique_ptr<loop_pacing> _pacing;
};
