// corvel-send: sends one command through the broker and prints the "data" of its response.
#include "amqp_client.h"
#include "environment.h"
#include "loggable.h"
#include "rabbit_api_man.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

// What the broker or a file says is written with its control characters escaped and cut long.
constexpr int message_limit = 2000;

[[noreturn]] void die(const QString& message, int status = 2)
{
    std::fprintf(stderr, "corvel-send: %s\n", qUtf8Printable(loggable(message, message_limit)));
    std::exit(status);
}

QByteArray read_input(const QString& path)
{
    QFile file;
    if (path.isEmpty() || path == QLatin1String("-")) {
        if (!file.open(stdin, QIODevice::ReadOnly))
            die(QStringLiteral("cannot read standard input"), 1);
    } else {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            die(QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString()), 1);
    }
    return file.readAll();
}

// Declares each exchange as a durable topic exchange unless it exists already (of whatever kind).
int declare_exchanges(const QString& uri, const QString& vhost, const rabbit_receiver_cfg& service,
                      const QStringList& names, int timeout_ms)
{
    amqp::client client;
    client.setConnectionName(QStringLiteral("corvel-send"));
    client.setVirtualHost(vhost);
    client.setTls(service._tls);
    client.setPassword(service._password);
    int left = names.size();
    int status = 0;
    const auto done = [&] {
        if (--left == 0)
            QCoreApplication::exit(status);
    };
    // Of several brokers, the next is tried at once when one fails: give up once all have.
    const int brokers = amqp::split_uris(uri).size();
    int failures = 0;
    bool up = false;
    QObject::connect(&client, &amqp::client::error, [&](const QString& why) {
        if (up || ++failures >= brokers)
            die(QStringLiteral("broker: ") + client.currentUri() + QStringLiteral(": ") + why);
    });
    QObject::connect(&client, &amqp::client::connected, [&] {
        up = true;
        for (const QString& name : names) {
            amqp::exchange* exchange = client.createExchange(name);
            auto creating = std::make_shared<bool>(false);  // false while only checking that it exists
            QObject::connect(exchange, &amqp::exchange::declared, [=, &done] {
                if (*creating)
                    std::printf("declared exchange %s\n", qUtf8Printable(loggable(name)));
                done();
            });
            QObject::connect(exchange, &amqp::channel::error, [=, &status, &done](int code, const QString& text) {
                if (code == 404 && !*creating) {
                    *creating = true;
                    exchange->declare(QStringLiteral("topic"), amqp::exchange::Durable);
                    return;
                }
                std::fprintf(stderr, "corvel-send: exchange %s: %d %s\n", qUtf8Printable(loggable(name)), code,
                             qUtf8Printable(loggable(text, message_limit)));
                status = 2;
                done();
            });
            exchange->declare(QStringLiteral("topic"), amqp::exchange::Passive);
        }
    });
    QTimer::singleShot(timeout_ms, [] { die(QStringLiteral("no answer from the broker in time")); });
    client.connectToHost(uri);
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvel-send"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends a command whose \"data\" is read from FILE (or standard input) and prints the \"data\" of its "
        "response.\n"
        "The broker, the vhost and the exchanges come from the service's configuration file unless given."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("JSON file with the command's data; - or none for standard input"));
    const QCommandLineOption config({QStringLiteral("c"), QStringLiteral("config")},
                                    QStringLiteral("Service configuration file (default corvel.ini)"),
                                    QStringLiteral("file"), QStringLiteral("corvel.ini"));
    const QCommandLineOption type({QStringLiteral("t"), QStringLiteral("type")},
                                  QStringLiteral("Command type (msg_type), e.g. clients_devices"),
                                  QStringLiteral("type"));
    const QCommandLineOption key({QStringLiteral("k"), QStringLiteral("routing-key")},
                                 QStringLiteral("Routing key to send the command under, e.g. clients.devices"),
                                 QStringLiteral("key"));
    const QCommandLineOption uri(QStringLiteral("uri"), QStringLiteral("AMQP URI of the broker"),
                                 QStringLiteral("uri"));
    const QCommandLineOption vhost(QStringLiteral("vhost"), QStringLiteral("Virtual host"), QStringLiteral("vhost"));
    const QCommandLineOption exchange(
        QStringLiteral("exchange"),
        QStringLiteral("Exchange the command goes to (default: that of the service's first binding)"),
        QStringLiteral("name"));
    const QCommandLineOption reply_exchange(QStringLiteral("reply-exchange"),
                                            QStringLiteral("Exchange the service answers on (default: its R_EXCHANGE)"),
                                            QStringLiteral("name"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Milliseconds to wait for the response (default 10000)"),
                                     QStringLiteral("ms"), QStringLiteral("10000"));
    const QCommandLineOption declare(QStringLiteral("declare-exchange"),
                                     QStringLiteral("Declare this exchange as a durable topic exchange when missing, "
                                                    "then exit unless a type is given (repeatable)"),
                                     QStringLiteral("name"));
    const QCommandLineOption declare_configured(
        QStringLiteral("declare-configured-exchanges"),
        QStringLiteral("Declare the service's exchanges (R_EXCHANGE and those of R_BINDINGS) when missing, then exit "
                       "unless a type is given"));
    parser.addOptions({config, type, key, uri, vhost, exchange, reply_exchange, timeout, declare, declare_configured});
    parser.process(app);

    environment env(parser.value(config));
    rabbit_api_config service;
    try {
        service = env.get_rabit_man_settings();
    } catch (const config_error& e) {
        die(QString::fromUtf8(e.what()), 1);
    }
    const QString broker = parser.isSet(uri) ? parser.value(uri) : service.path;
    if (parser.isSet(uri))
        service._password = QString();  // R_PASSWORD_FILE is for the configured brokers
    const QString virtual_host = parser.isSet(vhost) ? parser.value(vhost) : service.vhost;
    bool ok = false;
    const int timeout_ms = parser.value(timeout).toInt(&ok);
    if (!ok || timeout_ms <= 0)
        die(QStringLiteral("--timeout takes a positive number of milliseconds"), 1);

    QStringList exchanges = parser.values(declare);
    if (parser.isSet(declare_configured)) {
        exchanges << service._exchange_cmd_out;
        for (const auto& binding : service._bindings)
            exchanges << binding.first;
    }
    exchanges.removeDuplicates();
    if (!exchanges.isEmpty()) {
        const int status = declare_exchanges(broker, virtual_host, service, exchanges, timeout_ms);
        if (status != 0 || !parser.isSet(type))
            return status;
    }
    if (!parser.isSet(type) || !parser.isSet(key))
        die(QStringLiteral("give the command's --type and --routing-key (see --help)"), 1);

    const QByteArray input = read_input(parser.positionalArguments().value(0));
    QJsonParseError error;
    const QJsonDocument data = QJsonDocument::fromJson(input, &error);
    if (data.isNull())
        die(QStringLiteral("the data is not JSON: ") + error.errorString(), 1);

    // Our own reply queue, bound to the exchange the service answers on under its own name.
    rabbit_api_config reply;
    reply.path = broker;
    reply.vhost = virtual_host;
    reply._tls = service._tls;
    reply._password = service._password;
    reply.r_que = QStringLiteral("corvel-send.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    reply._mode = queue_option::Exclusive | queue_option::AutoDelete;
    reply._prefetch_count = 10;
    const QString answers_on = parser.isSet(reply_exchange) ? parser.value(reply_exchange) : service._exchange_cmd_out;
    reply._bindings = {{answers_on, reply.r_que}};
    if (parser.isSet(exchange))
        reply._exchange_cmd_out = parser.value(exchange);
    else if (!service._bindings.isEmpty())
        reply._exchange_cmd_out = service._bindings.first().first;
    else
        die(QStringLiteral("the configuration has no binding: give --exchange"), 1);

    logger log(QStringLiteral("/dev/stderr"), QString());
    rabbit_api_man api(
        log, reply,
        [](QString t) -> std::shared_ptr<ICommandHandler> {
            throw std::runtime_error(t.toStdString() + " does not exist");
        },
        nullptr);
    api.outbound().set_timeout(timeout_ms);

    const QString command_type = parser.value(type);
    const QString routing_key = parser.value(key);
    bool sent = false;
    QObject::connect(&api.receiver(), &rabbit_receiver::consuming, [&] {
        if (sent)
            return;
        sent = true;
        api.outbound().send(
            command_type, data.isArray() ? QJsonValue(data.array()) : QJsonValue(data.object()), routing_key,
            [](QJsonDocument response) {
                std::printf("%s", response.toJson(QJsonDocument::Indented).constData());
                QCoreApplication::exit(0);
                return true;
            },
            [](QString) { QCoreApplication::exit(3); });
    });
    QTimer::singleShot(timeout_ms, [&] {
        if (!sent)
            die(QStringLiteral("could not set up a reply queue on the broker within %1 ms").arg(timeout_ms));
    });
    const int status = QCoreApplication::exec();
    if (status == 3)
        std::fprintf(stderr, "corvel-send: no response within %d ms\n", timeout_ms);
    return status;
}
