#include "application.h"

#include "stderr_batch.h"
#include "store_access.h"
#include "tmp_key_promotion.h"

#include <QDateTime>
#include <QDebug>

#include <malloc.h>

Application::Application(int& argc, char** argv)
    : QCoreApplication(argc, argv),
      _env(config_path()),
      _redis_config(_env.get_redis_settings()),
      _logger(_env.get_logger(QString())),
      _store(to_connection_config(_redis_config)),
      _timer(std::make_unique<QTimer>())
{
    stderr_batch::install();
    _injector = std::make_unique<composition_root>(this, _env, *_logger, *_timer, _store);
    _timer->setSingleShot(true);
    _timer->setInterval(promotion_delay_ms);
    // A coarse timer may fire up to 5% early; the sequence is over only after the full interval.
    _timer->setTimerType(Qt::PreciseTimer);
    connect(_timer.get(), &QTimer::timeout, this, &Application::redis_rename_tmp);
    _logger->debug() << "Started with configuration file " << _cmdLineParser.value(QStringLiteral("c"));
    resume_unfinished_sequence();
    _engiene = _injector->create<rabbit_api_man>();
}

Application::~Application() = default;

QString Application::config_path()
{
    configCmdLineOptions();
    return _cmdLineParser.value(QStringLiteral("c"));
}

bool Application::configCmdLineOptions()
{
    const QCommandLineOption config(QStringLiteral("c"),
                                    QCoreApplication::translate("main", "Config file (corvel.ini by default)"),
                                    QStringLiteral("config"), QStringLiteral("corvel.ini"));
    _cmdLineParser.addOption(config);
    _cmdLineParser.process(*this);
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
            _logger->error() << "Exception dropped in event handling: " << QString::fromUtf8(ex.what());
        return true;
    }
}

// Staging keys at start-up mean an earlier run ended before promoting its sequence: promote it
// one interval from now, unless further commands continue that sequence.
void Application::resume_unfinished_sequence()
{
    _store.submit(std::make_unique<tmp_key_promotion>(tmp_key_promotion::mode::look, *_logger, [this](promotion_result r) {
        if (!r.ok) {
            _logger->error() << "Cannot look for staging keys at start-up: " << r.error;
        } else if (r.keys > 0 && !_timer->isActive()) {
            _logger->debug() << "Staging keys found at start-up, promotion in " << QString::number(promotion_delay_ms) << " ms";
            _timer->start();
        }
    }));
}

void Application::redis_rename_tmp()
{
    qDebug() << "Sequence end, start rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
    _store.submit(std::make_unique<tmp_key_promotion>(tmp_key_promotion::mode::promote, *_logger,
                                                      [this](promotion_result r) { promotion_finished(r); }));
}

void Application::promotion_finished(const promotion_result& result)
{
    // The key list and the replies were large: give the memory back.
    malloc_trim(0);
    if (!result.ok) {
        _logger->error() << "Promotion of the staging keys failed, next try in " << QString::number(promotion_delay_ms)
                         << " ms: " << result.error;
        if (!_timer->isActive())
            _timer->start();
        return;
    }
    qDebug() << "Sequence end, end rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
}
