#include "application.h"

#include "loggable.h"
#include "process/config_check.h"
#include "process/health_probe.h"
#include "status/service_status.h"
#include "stderr_batch.h"

#include <sys/resource.h>

#include <cstdio>

namespace {
const char* const usage_line = "Usage: corvel [-c FILE] [--check-config] [--health] [--version]";

// Below this many descriptors a busy host can run out: say so at start-up.
constexpr rlim_t few_descriptors = 4096;

// Commands in flight from which gathering arrivals pays: below it, a hold would only add latency.
constexpr std::size_t loop_pacing_in_flight = 8;

const log_kind exception_kind(QStringLiteral("Exception dropped in event handling"));
}

Application::Application(int& argc, char** argv)
    : QCoreApplication(argc, argv),
      _env(config_path()),
      _config_checked(refuse_bad_configuration(_env)),
      _logger(_env.get_logger(QString())),
      _timer(std::make_unique<QTimer>()),
      _injector(std::make_unique<composition_root>(this, _env, *_logger, *_timer)),
      _shutdown_timeout_ms(_env.get_shutdown_timeout_ms())
{
    stderr_batch::install();
    _logger->info() << "corvel " << applicationVersion() << " starting (pid " << QString::number(applicationPid())
                    << "), configuration " << _cmdLineParser.value(QStringLiteral("c"));
    warn_of_configuration(_env, _cmdLineParser.value(QStringLiteral("c")), _injector->redis_settings(), *_logger);
    _injector->warn_of_missing_replicas();
    warn_of_few_descriptors();
    connect(_timer.get(), &QTimer::timeout, this, &Application::redis_rename_tmp);
    _logger->debug() << "Started with configuration file " << _cmdLineParser.value(QStringLiteral("c"));
    _injector->promotion().look_for_unfinished_sequence();
    _engiene = _injector->create_api();
    connect(_engiene.get(), &rabbit_api_man::queue_declared, this, &Application::warn_of_other_consumers);
    connect(&_engiene->receiver(), &rabbit_receiver::consuming, this, &Application::first_consuming);
    _stop = std::make_unique<clean_stop>(*_logger, *_engiene, _shutdown_timeout_ms);
    connect(_stop.get(), &clean_stop::finished, this, [](int status) { QCoreApplication::exit(status); });
    connect(&_signals, &signal_watch::stop_asked, this, &Application::stop);
    connect(&_signals, &signal_watch::reopen_asked, this,
            [this] { reload_log_settings(_cmdLineParser.value(QStringLiteral("c")), *_logger); });
    _injector->watch(*_engiene);
    if (_systemd.active()) {
        const auto tell_status = [this] {
            _systemd.status(status_line(gather_service_state(*_engiene, _injector->promotion().record())));
        };
        connect(&_systemd_status, &QTimer::timeout, this, tell_status);
        _systemd_status.start(2000);
        // Started once the configuration is read and the loop turns: a broker or Redis missing at
        // boot is waited for here, said in STATUS=, not a failed start that systemd repeats.
        QTimer::singleShot(0, this, [this, tell_status] {
            _systemd.ready();
            tell_status();
        });
    }
    // Last: every connection that writes at the end of a turn is built by now (see loop_pacing).
    const command_flow& flow = _engiene->flow();
    _pacing = std::make_unique<loop_pacing>(
        _env.get_load_hold(), [&flow] { return flow.unsettled() - flow.held_count() >= loop_pacing_in_flight; });
    _pacing->start();
}

void Application::warn_of_few_descriptors()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= few_descriptors)
        return;
    _logger->warning() << "The open file limit is " << QString::number(limit.rlim_cur)
                       << " descriptors; the service needs a handful, the HTTP listener at most 64 more, but a limit "
                          "this low leaves little room for anything else (raise LimitNOFILE)";
}

void Application::first_consuming()
{
    if (_ready)
        return;
    _ready = true;
    _logger->info() << "Ready: consuming queue \"" << _injector->rabbit_settings().r_que << "\"";
}

void Application::stop(int signo)
{
    stop_timers();
    _stop->begin(signo);
}

void Application::stop_timers()
{
    if (!stopping()) {
        _injector->promotion().stop();
        _systemd.stopping();
    }
}

void Application::warn_of_other_consumers(quint32 consumers)
{
    const rabbit_api_config& amqp = _injector->rabbit_settings();
    if (consumers == 0)
        return;
    const QString others = QStringLiteral("The queue \"") + amqp.r_que + QStringLiteral("\" already has ") +
                           QString::number(consumers) + QStringLiteral(" other consumer(s)");
    if (amqp.single_active_consumer()) {
        if (_injector->promotion().shared())
            return;
        _logger->error() << others
                         << "; with single active consumer one instance consumes at a time, but "
                            "without coordination an instance that takes over in the middle of a sequence and the one "
                            "it replaces each promote the staging keys on their own, which corrupts the reverse sets "
                            "(dev:clients:*, bs:clients:*). Set REDIS_SETTINGS SEQUENCE_KEY on every instance so that "
                            "they share the promotion";
        return;
    }
    // Each client's commands are written in their order only while one instance consumes at a time.
    if (!amqp._concurrent_consumers) {
        _logger->error()
            << others
            << " and no single active consumer: instances would write the store at once, and an older "
               "command for a client could overwrite a newer one. Refusing to consume: set "
               "R_QUEUE_ARGUMENTS x-single-active-consumer=true (with R_QUEUE_DURABLE=true) on every "
               "instance, or AMQP_SETTINGS R_CONCURRENT_CONSUMERS=true to consume anyway without that order";
        stop_timers();
        _stop->refuse();
        return;
    }
    _logger->error()
        << others
        << ", and R_CONCURRENT_CONSUMERS=true: instances write the store at once, so one client's commands "
           "are not kept in order across them"
        << (_injector->promotion().shared() ? ""
                                            : "; without REDIS_SETTINGS SEQUENCE_KEY one instance's promotion and "
                                              "another's next sequence also corrupt the reverse sets (dev:clients:*, "
                                              "bs:clients:*): set it on every instance");
}

// Destruction only lets go of things: nothing here sends or waits. What watches the command API
// manager goes first, then the manager, since its handlers refer to the composition root and the
// store.
Application::~Application()
{
    _injector->stop_watching();
    _stop.reset();
    _engiene.reset();
}

QString Application::config_path()
{
    configCmdLineOptions();
    const QString path = _cmdLineParser.value(QStringLiteral("c"));
    if (_cmdLineParser.isSet(QStringLiteral("check-config")))
        ::exit(check_configuration(path, _cmdLineParser.isSet(QStringLiteral("c"))));
    if (_cmdLineParser.isSet(QStringLiteral("health")))
        ::exit(probe_health(path));
    return path;
}

bool Application::configCmdLineOptions()
{
    const QCommandLineOption config(QStringLiteral("c"),
                                    QCoreApplication::translate("main", "Config file (corvel.ini by default)"),
                                    QStringLiteral("config"), QStringLiteral("corvel.ini"));
    const QCommandLineOption check(
        QStringLiteral("check-config"),
        QCoreApplication::translate("main", "Read the config file as a start would, print its problems, exit 0 or 1"));
    _cmdLineParser.addOption(config);
    _cmdLineParser.addOption(check);
    _cmdLineParser.addOption(QCommandLineOption(
        QStringLiteral("health"),
        QCoreApplication::translate("main", "Ask the running service's HTTP_LISTEN for /healthz, exit 0 or 1")));
    _cmdLineParser.addVersionOption();
    // -h and --help are no options of the service: like any other unknown option, an error.
    if (!_cmdLineParser.parse(arguments())) {
        std::fprintf(stderr, "%s\n%s\n", qUtf8Printable(_cmdLineParser.errorText()), usage_line);
        ::exit(1);
    }
    if (_cmdLineParser.isSet(QStringLiteral("version")))
        _cmdLineParser.showVersion();  // exits 0
    return true;
}

bool Application::notify(QObject* receiver, QEvent* e)
{
    try {
        return QCoreApplication::notify(receiver, e);
    } catch (const stop_application&) {
        QCoreApplication::quit();
        return true;
    } catch (const std::exception& ex) {
        if (_logger)
            _logger->error(exception_kind) << "Exception dropped in event handling: " << QString::fromUtf8(ex.what());
        return true;
    }
}
