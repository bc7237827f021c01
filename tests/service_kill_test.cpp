// The service binary killed or stopped in the middle of a stream of commands loses nothing.
#include "amqp_peer.h"
#include "rabbit_server.h"
#include "redis_server.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>

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

// A socket in the place of systemd's notification socket.
class notify_socket {
public:
    explicit notify_socket(const QString& path) : _path(path)
    {
        _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.toUtf8().constData(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path.toStdString();
    }
    ~notify_socket() { ::close(_fd); }
    QString path() const { return _path; }
    // Every message so far, one a line of state each.
    QStringList received()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(_fd, buffer, sizeof buffer, 0)) > 0)
            _messages += QString::fromUtf8(buffer, static_cast<int>(n)).split('\n', Qt::SkipEmptyParts);
        return _messages;
    }

private:
    QString _path;
    int _fd;
    QStringList _messages;
};

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
        config.write(("[GENERAL_SETTINGS]\nLOG_LEVEL=DEBUG\n[AMQP_SETTINGS]\nR_LOGIN=" + broker.uri() + "\nR_EXCHANGE=" + _out
                      + "\nR_QUEUE=" + _queue + "\nR_BINDINGS=\"" + _in + ":svc.in\"\n[REDIS_SETTINGS]\nPORT="
                      + QString::number(store_down ? 1 : _redis.port()) + "\n")
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
        << reference.answered() << "\n" << reference.log();
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
    ASSERT_TRUE(wait_until([&] { return killed.answered() == stream_length; }, 60000))
        << killed.answered() << "\n" << killed.log();

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
