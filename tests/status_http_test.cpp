#include "http_probe.h"
#include "process/health_probe.h"
#include "status/status_http.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

quint16 free_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Whether the server has closed fd, without waiting.
bool closed_by_server(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return ::poll(&p, 1, 0) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

}  // namespace

// Hundreds of idle clients from the probe's own address, renewed every second, and a client
// sending a byte a second from another: every probe is answered within a second, the idle
// clients beyond one address's share are closed at once, and the trickler at its deadline.
TEST(StatusHttpTest, ProbesAreAnsweredAmongHundredsOfIdleAndTricklingClients)
{
    status_http listener;
    const quint16 port = free_port();
    ASSERT_EQ(listener.start(QHostAddress::LocalHost, port), "");
    QElapsedTimer trickling;
    trickling.start();
    const int slow = connect_local(port, "127.0.0.2");
    ASSERT_GE(slow, 0);
    qint64 slow_closed_at = -1;
    std::vector<int> idle;
    for (int round = 0; round < 6; ++round) {
        listener.publish({});  // the heartbeat the event loop would give
        for (int i = 0; i < 300; ++i)
            idle.push_back(connect_local(port));
        QElapsedTimer probe;
        probe.start();
        EXPECT_EQ(http(port, "/healthz").status, 200) << "round " << round;
        EXPECT_LT(probe.elapsed(), 1000) << "round " << round;
        int closed = 0;
        for (const int fd : idle)
            closed += closed_by_server(fd) ? 1 : 0;
        EXPECT_GE(closed, 300 - int(http_connections::per_address_limit)) << "round " << round;
        for (const int fd : idle)
            ::close(fd);
        idle.clear();
        if (slow_closed_at < 0 && closed_by_server(slow))
            slow_closed_at = trickling.elapsed();
        if (slow_closed_at < 0)
            ::send(slow, "G", 1, MSG_NOSIGNAL);
        QThread::sleep(1);
    }
    ::close(slow);
    EXPECT_GE(slow_closed_at, 2000);
    EXPECT_LE(slow_closed_at, 5000);
}

// corvel --health: a 200 from a listener whose loop beats, nothing (within its deadline) from a
// peer that takes the connection and never answers.
TEST(StatusHttpTest, HealthProbeTellsABeatingListenerFromASilentPeer)
{
    status_http listener;
    const quint16 port = free_port();
    ASSERT_EQ(listener.start(QHostAddress::LocalHost, port), "");
    listener.publish({});
    QString said;
    EXPECT_EQ(ask_healthz(QHostAddress::LocalHost, port, 2000, &said), 200) << said.toStdString();
    EXPECT_EQ(said, "200 ok");

    QTcpServer silent;  // the kernel completes the connection; nothing reads or writes
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    QElapsedTimer took;
    took.start();
    EXPECT_EQ(ask_healthz(QHostAddress::LocalHost, silent.serverPort(), 300, &said), 0);
    EXPECT_LT(took.elapsed(), 1000);
    EXPECT_EQ(said, "no answer within 300 ms");
}
