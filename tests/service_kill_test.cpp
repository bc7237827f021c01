// The service binary killed or stopped in the middle of a stream of commands loses nothing.
#include "amqp_peer.h"
#include "notify_socket.h"
#include "rabbit_server.h"
#include "redis_server.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int stream_length = 300;

// Command i of the stream: clients are updated again and again, so the order of application
// shows in the final state.
QJsonObject command(int i)
{
    QJsonArray data;
    for (int c = 0; c < 3; ++c) {
        const int client = (i * 3 + c) % 40;
        data.append(QJsonObject{{"api_key", QStringLiteral("key%1").arg(client)},
                                {"client_id", client},
                                {"role", QStringLiteral("role%1").arg(i)},
                                {"modem_ids", QJsonArray{i, i + 1000, client}},
                                {"station_ids", QJsonArray{i % 7}}});
    }
    return QJsonObject{{"msg_type", "clients_devices"},
                       {"sender", "peer.stream"},
                       {"cmd_id", QUuid::createUuid().toString()},
                       {"data", data}};
}

// Message i of a seeded stream of what careless or hostile producers send: every kind of body, and
// every field of the envelope of the wrong type, too long, or odd.
QByteArray hostile_message(std::mt19937& random, int i)
{
    const auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const auto envelope = [&](const QJsonValue& type, const QJsonValue& sender, const QJsonValue& id,
                              const QJsonValue& data) {
        return QJsonDocument(QJsonObject{{"msg_type", type}, {"sender", sender}, {"cmd_id", id}, {"data", data}})
            .toJson(QJsonDocument::Compact);
    };
    const QJsonArray small{QJsonObject{{"api_key", "h"}, {"client_id", 1}, {"modem_ids", QJsonArray{1}}}};
    const QString forged = QStringLiteral("\r\n2026-12-08 10:00:00,000 : FORGED LINE\r\n");
    switch (i % 9) {
    case 0: {  // not JSON, or cut short, or bytes that are not UTF-8
        QByteArray junk(pick(300), '\0');
        for (char& c : junk)
            c = static_cast<char>(random());
        return pick(2) ? junk
                       : envelope("clients_devices", "peer.h", QUuid::createUuid().toString(), small).left(pick(60));
    }
    case 1: {  // nested far deeper than any command
        const int depth = 100 + pick(20000);
        return QByteArray(depth, '[') + QByteArray(depth, ']');
    }
    case 2: {  // each field of a wrong JSON type
        const QJsonValue odd[] = {QJsonValue(42), QJsonValue(true), QJsonArray{1, "x"}, QJsonObject{{"a", 1}},
                                  QJsonValue()};
        return envelope(pick(2) ? odd[pick(5)] : QJsonValue("clients_devices"), odd[pick(5)], odd[pick(5)],
                        odd[pick(5)]);
    }
    case 3: {  // data of the right shape holding the wrong types
        const QJsonValue odd[] = {QJsonValue("7"), QJsonValue(-1), QJsonValue(1e300), QJsonArray{QJsonArray{}},
                                  QJsonObject{}};
        const QJsonArray data{QJsonObject{{"api_key", odd[pick(5)]},
                                          {"client_id", odd[pick(5)]},
                                          {"role", odd[pick(5)]},
                                          {"modem_ids", QJsonArray{odd[pick(5)], 5}},
                                          {"hw_type", odd[pick(5)]}}};
        return envelope(pick(2) ? "clients_devices" : "device_parameters", "peer.h", QUuid::createUuid().toString(),
                        data);
    }
    case 4: {  // senders no routing key can hold, or not UTF-8
        const QString senders[] = {QString(256, 'p'), QString(128, QChar(0xe9)), QString(70000, 'q'),
                                   QStringLiteral("peer.") + forged};
        if (pick(4) == 0)
            return QByteArray(R"({"msg_type":"clients_devices","sender":"peer.)") + "\xff\xfe\xc3" + R"(","data":[]})";
        return envelope("device_parameters", senders[pick(4)], QUuid::createUuid().toString(), QJsonArray{});
    }
    case 5:  // huge types, and types that forge a line of the log
        return envelope(pick(2) ? QString(1 << 20, 'T') + forged
                                : QStringLiteral("x") + forged + QChar(0x1b) + QChar(0x2028),
                        "peer.h", QUuid::createUuid().toString(), small);
    case 6:  // one id for many commands, or none
        return envelope("clients_devices", "peer.h",
                        pick(2) ? QStringLiteral("{00000000-0000-0000-0000-00000000abcd}") : QString(), small);
    case 7: {  // a valid command of many modems, now and then
        if (pick(50) != 0)
            return envelope("clients_devices", "peer.h", QUuid::createUuid().toString(), small);
        QJsonArray modems;
        for (int m = 0; m < 100000; ++m)
            modems.append(m);
        return envelope("clients_devices", "peer.h", QUuid::createUuid().toString(),
                        QJsonArray{QJsonObject{{"api_key", "big"}, {"client_id", 2}, {"modem_ids", modems}}});
    }
    default:  // a response nobody waits for
        return envelope("response", "peer.h", QUuid::createUuid().toString(), QJsonObject{});
    }
}

qint64 resident_kb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    f.open(QIODevice::ReadOnly);
    return QRegularExpression(R"(\nVmRSS:\s+(\d+) kB)")
        .match(QString::fromLatin1(f.readAll()))
        .captured(1)
        .toLongLong();
}

// Everything in database 2, one line per key with its type and sorted contents.
QStringList snapshot(quint32 port)
{
    redis_probe probe(port);
    QStringList lines;
    for (const QString& key : probe.keys()) {
        const QByteArray type = probe.run({"TYPE", key.toUtf8()});
        QStringList contents;
        if (type == "set")
            contents = probe.members(key.toUtf8());
        else
            contents = QString::fromUtf8(probe.run({"HGETALL", key.toUtf8()})).split('\n');
        contents.sort();
        lines << key + " " + QString::fromLatin1(type) + " " + contents.join(',');
    }
    return lines;
}

// One service process with its own queue and exchanges on the shared broker, and its own Redis.
class service_run {
public:
    // With store_down, the service is pointed at a port where no Redis listens.
    explicit service_run(test_rabbit& broker, bool store_down = false) : _broker(broker)
    {
        _peer.declare_exchange(_in);
        _peer.declare_exchange(_out);
        _peer.listen(_out, "peer.#");
        redis_probe(_redis.port()).flush();
        QFile config(_dir.filePath("corvel.ini"));
        config.open(QIODevice::WriteOnly);
        // Built by concatenation: the URI holds "%2F", which QString::arg would take for a marker.
        config.write(("[GENERAL_SETTINGS]\nLOG_LEVEL=DEBUG\n[AMQP_SETTINGS]\nR_LOGIN=" + broker.uri() +
                      "\nR_EXCHANGE=" + _out + "\nR_QUEUE=" + _queue + "\nR_BINDINGS=\"" + _in +
                      ":svc.in\"\n[REDIS_SETTINGS]\nPORT=" + QString::number(store_down ? 1 : _redis.port()) + "\n")
                         .toUtf8());
    }
    ~service_run()
    {
        stop(true);
        _broker.delete_queue(_queue);
    }

    void start()
    {
        _process = std::make_unique<QProcess>();
        _process->setWorkingDirectory(_dir.path());
        _process->setStandardErrorFile(QProcess::nullDevice());
        _process->setProcessEnvironment(_environment);
        _process->start(QStringLiteral(CORVEL_BINARY), QStringList());
        ASSERT_TRUE(_process->waitForStarted(5000));
        ASSERT_TRUE(wait_until([&] { return _broker.consumer_prefetch(_queue) == 100; }, 20000)) << "no consumer";
    }

    void stop(bool hard)
    {
        if (!_process || _process->state() == QProcess::NotRunning)
            return;
        hard ? _process->kill() : _process->terminate();
        _process->waitForFinished(5000);
    }

    // The next start runs as systemd starts a unit: status to this datagram socket, a watchdog.
    void notify_to(const QString& socket_path)
    {
        _environment.insert(QStringLiteral("NOTIFY_SOCKET"), socket_path);
        _environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    }
    QString dir() const { return _dir.path(); }

    // SIGTERM, then the exit status once the process ended, or -1 when it did not within ms.
    int terminate(int ms)
    {
        _process->terminate();
        if (!_process->waitForFinished(ms))
            return -1;
        return _process->exitStatus() == QProcess::NormalExit ? _process->exitCode() : -1;
    }

    void publish_stream(int length = stream_length)
    {
        for (int i = 0; i < length; ++i) {
            const QJsonObject c = command(i);
            _ids.insert(c.value("cmd_id").toString());
            _peer.publish_json(_in, "svc.in", c);
        }
    }

    // Distinct commands answered so far (a command redelivered after the kill is answered twice).
    int answered()
    {
        QSet<QString> ids;
        for (int i = 0; i < _peer.received().size(); ++i)
            ids.insert(_peer.json(i).value("cmd_id").toString());
        return (ids & _ids).size();
    }
    int responses() const { return _peer.received().size(); }
    void publish_raw(const QByteArray& body) { _peer.publish(_in, "svc.in", body); }
    void publish(const QJsonObject& command) { _peer.publish_json(_in, "svc.in", command); }
    bool answered(const QString& id)
    {
        for (int i = 0; i < _peer.received().size(); ++i)
            if (_peer.json(i).value("cmd_id").toString() == QUuid(id).toString())
                return true;
        return false;
    }
    qint64 pid() const { return _process ? _process->processId() : 0; }
    bool running() const { return _process && _process->state() == QProcess::Running; }
    // The log's last lines, or all of it.
    std::string log(int tail = 6000) const
    {
        QFile f(_dir.filePath("corvel.log"));
        f.open(QIODevice::ReadOnly);
        return f.readAll().right(tail).toStdString();
    }
    quint32 redis_port() const { return _redis.port(); }
    int queued() const { return _broker.queue_messages(_queue); }

private:
    test_rabbit& _broker;
    amqp_peer _peer{_broker.uri()};
    test_redis _redis;
    QTemporaryDir _dir;
    const QString _in = unique_name("kill.in");
    const QString _out = unique_name("kill.out");
    const QString _queue = unique_name("kill.q");
    std::unique_ptr<QProcess> _process;
    QProcessEnvironment _environment = QProcessEnvironment::systemEnvironment();
    QSet<QString> _ids;
};

TEST(ServiceKillTest, KilledMidStreamAndStartedAgainEndsInTheStateOfAnUninterruptedRun)
{
    test_rabbit& broker = test_rabbit::shared();

    service_run reference(broker);
    reference.start();
    reference.publish_stream();
    ASSERT_TRUE(wait_until([&] { return reference.answered() == stream_length; }, 60000))
        << reference.answered() << "\n"
        << reference.log();
    const QStringList expected = snapshot(reference.redis_port());
    ASSERT_GT(expected.size(), 100);

    service_run killed(broker);
    killed.start();
    killed.publish_stream();
    ASSERT_TRUE(wait_until([&] { return killed.responses() >= stream_length / 3; }, 60000));
    killed.stop(true);
    const int before_restart = killed.answered();
    EXPECT_LT(before_restart, stream_length) << "the kill came too late to test anything";
    killed.start();
    ASSERT_TRUE(wait_until([&] { return killed.answered() == stream_length; }, 60000)) << killed.answered() << "\n"
                                                                                       << killed.log();

    EXPECT_EQ(snapshot(killed.redis_port()), expected);

    // A stop finishes what it took and gives the rest back: nothing is answered twice. The run
    // tells systemd (here, a socket of ours) what it does.
    service_run stopped(broker);
    notify_socket systemd(stopped.dir() + "/notify");
    stopped.notify_to(systemd.path());
    stopped.start();
    stopped.publish_stream();
    ASSERT_TRUE(wait_until([&] { return stopped.responses() >= stream_length / 3; }, 60000));
    ASSERT_EQ(stopped.terminate(10000 + 5000), 0) << stopped.log();
    EXPECT_TRUE(QRegularExpression("Stopping on SIGTERM: finishing \\d+ commands in flight\r\n.*Stopped cleanly\r\n",
                                   QRegularExpression::DotMatchesEverythingOption)
                    .match(QString::fromStdString(stopped.log(INT_MAX)))
                    .hasMatch())
        << stopped.log();
    EXPECT_LT(stopped.answered(), stream_length) << "the stop came too late to test anything";
    const QStringList told = systemd.received();
    EXPECT_EQ(told.count("READY=1"), 1) << told.join(' ').toStdString();
    EXPECT_GT(told.indexOf("STOPPING=1"), told.indexOf("READY=1")) << told.join(' ').toStdString();
    EXPECT_TRUE(told.contains("WATCHDOG=1")) << told.join(' ').toStdString();
    stopped.start();
    ASSERT_TRUE(wait_until([&] { return stopped.answered() == stream_length; }, 60000)) << stopped.log();
    EXPECT_EQ(stopped.responses(), stream_length);
    EXPECT_EQ(snapshot(stopped.redis_port()), expected);
}

// No message, however odd, costs more than its own command: thousands of them, then an ordinary
// command is answered, nothing is left unacknowledged, the log holds only lines of the service's
// own and the memory they took is given back.
TEST(ServiceKillTest, HostileInputCostsOnlyItsOwnCommand)
{
    service_run run(test_rabbit::shared());
    run.start();
    const QJsonObject warm = command(1);
    run.publish(warm);
    ASSERT_TRUE(wait_until([&] { return run.answered(warm.value("cmd_id").toString()); }, 10000)) << run.log();
    const qint64 rss_before = resident_kb(run.pid());

    std::mt19937 random(14);
    for (int i = 0; i < 3000; ++i) {
        run.publish_raw(hostile_message(random, i));
        if (i % 50 == 0)
            (void)wait_until([] { return false; }, 5);  // lets the peer's outbox drain
    }
    const QJsonObject last = command(2);
    run.publish(last);
    ASSERT_TRUE(wait_until([&] { return run.answered(last.value("cmd_id").toString()); }, 120000)) << run.log();
    EXPECT_TRUE(wait_until([&] { return run.queued() == 0; }, 10000)) << "left unacknowledged";
    EXPECT_TRUE(run.running());

    QFile log(run.dir() + "/corvel.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    const QRegularExpression own_line(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}(0x[0-9a-f]+ (Error|Warning|Debug))? : )");
    const QRegularExpression forged_line(R"(^\S+ \S+ : FORGED LINE)");
    int lines = 0;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        ++lines;
        ASSERT_TRUE(line.endsWith('\r') && own_line.match(QString::fromUtf8(line)).hasMatch())
            << line.left(300).constData();
        ASSERT_FALSE(forged_line.match(QString::fromUtf8(line)).hasMatch()) << line.left(300).constData();
    }
    EXPECT_GT(lines, 1000);
    EXPECT_LT(text.size(), 64 << 20);
    // Taken back at least to within 64 MB of where it was, whatever the largest message took.
    EXPECT_TRUE(wait_until([&] { return resident_kb(run.pid()) < rss_before + 64 * 1024; }, 10000))
        << rss_before << " kB before, " << resident_kb(run.pid()) << " kB after";

    // Waiting in the queue when the service starts, a command that can never be answered is
    // rejected alone all the same.
    run.stop(false);
    const QJsonObject unanswerable{{"msg_type", "device_parameters"},
                                   {"sender", QString(256, 's')},
                                   {"cmd_id", QUuid::createUuid().toString()},
                                   {"data", QJsonArray{}}};
    run.publish(unanswerable);
    const QJsonObject behind = command(3);
    run.publish(behind);
    run.start();
    ASSERT_TRUE(wait_until([&] { return run.answered(behind.value("cmd_id").toString()); }, 20000)) << run.log();
    EXPECT_TRUE(wait_until([&] { return run.queued() == 0; }, 10000));
    EXPECT_NE(run.log(INT_MAX).find("Command rejected, cmd_id " +
                                    QUuid(unanswerable.value("cmd_id").toString()).toString().toStdString()),
              std::string::npos);
}

TEST(ServiceKillTest, StoppedWhileRedisIsDownGivesTheHeldCommandsBackToTheQueue)
{
    service_run run(test_rabbit::shared(), true);
    run.start();
    run.publish_stream(20);
    ASSERT_TRUE(wait_until([&] { return run.log().find("Command held") != std::string::npos; }, 20000)) << run.log();
    ASSERT_EQ(run.terminate(10000 + 5000), 0) << run.log();
    EXPECT_NE(run.log().find("Stopped cleanly"), std::string::npos) << run.log();
    EXPECT_EQ(run.queued(), 20);
}

}  // namespace
