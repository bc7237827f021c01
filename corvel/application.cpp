#include "application.h"

#include "config_check.h"

#include "stderr_batch.h"
#include "store_access.h"
#include "tmp_key_promotion.h"

#include <QDateTime>
#include <QDebug>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>

namespace {
const char* const usage_line = "Usage: corvel [-c FILE] [--check-config] [--version]";

// Below this many descriptors a busy host can run out: say so at start-up.
constexpr rlim_t few_descriptors = 4096;

const log_kind exception_kind(QStringLiteral("Exception dropped in event handling"));
const log_kind look_failed_kind(QStringLiteral("Cannot look for staging keys"));
const log_kind promotion_failed_kind(QStringLiteral("Promotion of the staging keys failed"));
}

Application::Application(int& argc, char** argv)
    : QCoreApplication(argc, argv),
      _env(config_path()),
      _config_checked(refuse_bad_configuration(_env)),
      _redis_config(_env.get_redis_settings()),
      _logger(_env.get_logger(QString())),
      _store(to_connection_config(_redis_config)),
      _sequence(_store, *_logger, _redis_config._sequence_key),
      _timer(std::make_unique<QTimer>()),
      _shutdown_timeout_ms(_env.get_shutdown_timeout_ms()),
      _http_listen(_env.get_http_listen())
{
    stderr_batch::install();
    _logger->info() << "corvel " << applicationVersion() << " starting (pid " << QString::number(applicationPid())
                    << "), configuration " << _cmdLineParser.value(QStringLiteral("c"));
    warn_of_few_descriptors();
    _injector = std::make_unique<composition_root>(this, _env, *_logger, *_timer, _store, _sequence);
    _timer->setSingleShot(true);
    _timer->setInterval(promotion_delay_ms);
    // A coarse timer may fire up to 5% early; the sequence is over only after the full interval.
    _timer->setTimerType(Qt::PreciseTimer);
    connect(_timer.get(), &QTimer::timeout, this, &Application::redis_rename_tmp);
    // Direct: a promotion due before a command must reach the store ahead of it.
    connect(&_sequence, &sequence_mark::promotion_due, this,
            [this](const sequence_guard& guard) { promote(trigger::sequence_quiet, guard); }, Qt::DirectConnection);
    _logger->debug() << "Started with configuration file " << _cmdLineParser.value(QStringLiteral("c"));
    resume_unfinished_sequence();
    _engiene = _injector->create<rabbit_api_man>();
    connect(_engiene.get(), &rabbit_api_man::queue_declared, this, &Application::warn_of_other_consumers);
    connect(&_engiene->receiver(), &rabbit_receiver::consuming, this, &Application::consuming);
    _stop = std::make_unique<clean_stop>(*_logger, *_engiene, _shutdown_timeout_ms);
    connect(_stop.get(), &clean_stop::finished, this, [](int status) { QCoreApplication::exit(status); });
    connect(&_signals, &signal_watch::stop_asked, this, &Application::stop);
    connect(&_signals, &signal_watch::reopen_asked, this, [this] {
        _logger->reopen();
        _logger->info() << "Log file reopened on SIGHUP";
    });
    if (_http_listen)
        _status = std::make_unique<status_reporter>(*_http_listen, *_engiene, _store, _promotions, *_logger);
    if (_systemd.active()) {
        connect(&_systemd_status, &QTimer::timeout, this,
                [this] { _systemd.status(status_line(gather_service_state(*_engiene, _promotions))); });
        _systemd_status.start(2000);
    }
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

void Application::consuming()
{
    if (_ready)
        return;
    _ready = true;
    _logger->info() << "Ready: consuming queue \"" << _injector->rabbit_settings().r_que << "\"";
    _systemd.ready();
}

void Application::stop(int signo)
{
    if (!stopping()) {
        // A promotion not yet begun is left to the next start, which finds the staging keys.
        _timer->stop();
        _systemd.stopping();
    }
    _stop->begin(signo);
}

void Application::warn_of_other_consumers(quint32 consumers)
{
    const rabbit_api_config& amqp = _injector->rabbit_settings();
    if (consumers == 0 || amqp.single_active_consumer() || _sequence.enabled())
        return;
    _logger->error() << "The queue \"" << amqp.r_que << "\" already has " << QString::number(consumers)
                     << " other consumer(s), so instances will write the store at once; without coordination one "
                        "instance's promotion and another's next sequence corrupt the reverse sets (dev:clients:*, "
                        "bs:clients:*). Either let one instance consume at a time (R_QUEUE_ARGUMENTS "
                        "x-single-active-consumer=true, with R_QUEUE_DURABLE=true) or set REDIS_SETTINGS SEQUENCE_KEY "
                        "on every instance so that they share the promotion";
}

// Destruction only lets go of things: nothing here sends or waits. The command API manager goes
// first, since its handlers refer to the composition root and the store.
Application::~Application()
{
    _status.reset();  // its listener thread first
    _stop.reset();
    _engiene.reset();
}

QString Application::config_path()
{
    configCmdLineOptions();
    const QString path = _cmdLineParser.value(QStringLiteral("c"));
    if (_cmdLineParser.isSet(QStringLiteral("check-config")))
        ::exit(check_configuration(path));
    return path;
}

bool Application::configCmdLineOptions()
{
    const QCommandLineOption config(QStringLiteral("c"),
                                    QCoreApplication::translate("main", "Config file (corvel.ini by default)"),
                                    QStringLiteral("config"), QStringLiteral("corvel.ini"));
    const QCommandLineOption check(QStringLiteral("check-config"),
                                   QCoreApplication::translate("main", "Read the config file as a start would, print its problems, exit 0 or 1"));
    _cmdLineParser.addOption(config);
    _cmdLineParser.addOption(check);
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

// Staging keys at start-up mean an earlier run ended before promoting its sequence: promote it
// one interval from now, unless further commands continue that sequence.
void Application::resume_unfinished_sequence()
{
    _store.submit(std::make_unique<tmp_key_promotion>(tmp_key_promotion::mode::look, *_logger, [this](promotion_result r) {
        if (!r.ok()) {
            _logger->error(look_failed_kind) << "Cannot look for staging keys at start-up: " << r.error;
        } else if (r.keys > 0 && !_timer->isActive()) {
            _logger->debug() << "Staging keys found at start-up, promotion in " << QString::number(promotion_delay_ms) << " ms";
            _timer->start();
        }
    }));
}

void Application::redis_rename_tmp()
{
    if (stopping())
        return;
    qDebug() << "Sequence end, start rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
    if (!_sequence.enabled()) {
        promote(trigger::timer, std::nullopt);
        return;
    }
    if (!_sequence.observed_long_enough()) {
        // Redis failed us lately: a writer holding commands may not have marked its sequence again.
        _logger->debug() << "Promotion put off: Redis has not been answering for " << QString::number(promotion_delay_ms) << " ms yet";
        _timer->start();
        return;
    }
    promote(trigger::timer, _sequence.guard(true));
}

void Application::promote(trigger why, std::optional<sequence_guard> guard)
{
    if (_promotion_pending || stopping())
        return;  // the one submitted already goes ahead of anything submitted from now on
    _promotion_pending = true;
    _store.submit(std::make_unique<tmp_key_promotion>(tmp_key_promotion::mode::promote, *_logger,
                                                      [this, why](promotion_result r) { promotion_finished(why, r); },
                                                      std::move(guard)));
}

void Application::promotion_finished(trigger why, const promotion_result& result)
{
    _promotion_pending = false;
    _promotions.record(result);
    // The key list and the replies were large: give the memory back.
    malloc_trim(0);
    switch (result.what) {
    case promotion_result::outcome::done:
        if (why == trigger::sequence_quiet)
            _logger->info() << "Promoted the sequence that had gone quiet: " << QString::number(result.keys) << " staging keys";
        qDebug() << "Sequence end, end rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
        return;
    case promotion_result::outcome::not_due:
        // Another instance wrote lately; the sequence is promoted once it has gone quiet.
        if (why == trigger::timer)
            _logger->info() << "Promotion not due: the sequence was written " << QString::number(result.age_ms) << " ms ago";
        return;
    case promotion_result::outcome::conflict:
        _logger->info() << "Promotion given up: the sequence was written while the staging keys were listed; "
                            "it is promoted once it has gone quiet";
        return;
    case promotion_result::outcome::failed:
        break;
    }
    _logger->error(promotion_failed_kind) << "Promotion of the staging keys failed, next try in " << promotion_delay_ms
                     << " ms: " << result.error;
    if (!_timer->isActive())
        _timer->start();
}
