#include "application.h"

#include "store_access.h"
#include "tmp_key_promotion.h"

#include <QDateTime>
#include <QDebug>

Application::Application(int& argc, char** argv)
    : QCoreApplication(argc, argv),
      _env(config_path()),
      _redis_config(_env.get_redis_settings()),
      _logger(_env.get_logger(QString())),
      _redis_connection(to_connection_config(_redis_config)),
      _timer(std::make_unique<QTimer>())
{
    _injector = std::make_unique<composition_root>(this, _env, *_logger, *_timer);
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
    try {
        _redis_connection.connect(redis_connect_timeout_ms);
        if (has_tmp_keys(_redis_connection)) {
            _logger->debug() << "Staging keys found at start-up, promotion in " << QString::number(promotion_delay_ms) << " ms";
            _timer->start();
        }
    } catch (const redis::store_error& e) {
        _logger->error() << "Cannot look for staging keys at start-up: " << QString::fromUtf8(e.what());
    }
    _redis_connection.disconnect();
}

void Application::redis_rename_tmp()
{
    qDebug() << "Sequence end, start rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
    try {
        _redis_connection.connect(redis_connect_timeout_ms);
        promote_tmp_keys(_redis_connection, *_logger);
    } catch (const redis::store_error& e) {
        _redis_connection.disconnect();
        _logger->error() << "Promotion of the staging keys failed, next try in " << QString::number(promotion_delay_ms)
                         << " ms: " << QString::fromUtf8(e.what());
        _timer->start();
        return;
    }
    _redis_connection.disconnect();
    qDebug() << "Sequence end, end rename \"tmp:\"\t" << QDateTime::currentDateTimeUtc();
}
