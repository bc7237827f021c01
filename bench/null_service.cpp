// The service's messaging with a handler that does nothing: what the broker and the AMQP path cost
// without Redis. Reads the same configuration file as the service.
// Usage: null_service [-c FILE] [--delay-us N]
// --delay-us makes each command block that long, as a store round trip does, so the broker's cost
// can be seen at the service's pace rather than at full speed.
#include "environment.h"
#include "rabbit_api_man.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <QThread>

#include <cstdio>
#include <memory>

namespace {

class null_handler : public ICommandHandler {
public:
    explicit null_handler(unsigned long delay_us) : _delay_us(delay_us) {}
    void exec(const model::command&, completion finished) override
    {
        if (_delay_us)
            QThread::usleep(_delay_us);
        finished(command_result::done({}));
    }

private:
    unsigned long _delay_us;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption config(QStringLiteral("c"), QStringLiteral("Config file (corvel.ini by default)"),
                                    QStringLiteral("config"), QStringLiteral("corvel.ini"));
    const QCommandLineOption delay(QStringLiteral("delay-us"), QStringLiteral("Block this long in each command"),
                                   QStringLiteral("us"), QStringLiteral("0"));
    parser.addOptions({config, delay});
    parser.process(app);
    bool ok = false;
    const unsigned long delay_us = parser.value(delay).toULong(&ok);
    if (!ok) {
        std::fprintf(stderr, "null_service: --delay-us takes a number of microseconds\n");
        return 1;
    }

    environment env(parser.value(config));
    std::unique_ptr<logger> log = env.get_logger(QString());
    rabbit_api_config settings;
    try {
        settings = env.get_rabit_man_settings();
    } catch (const config_error& e) {
        std::fprintf(stderr, "null_service: %s\n", e.what());
        return 1;
    }
    // One handler per command, as the service makes them, so only the work inside exec is missing.
    rabbit_api_man api(
        *log, settings,
        [delay_us](QString) -> std::shared_ptr<ICommandHandler> { return std::make_shared<null_handler>(delay_us); },
        nullptr);
    return QCoreApplication::exec();
}
