#include "process/health_probe.h"

#include "environment.h"
#include "loggable.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

#include <cstdio>

namespace {
// Well inside the shortest health check timeout an orchestrator would set.
constexpr int probe_deadline_ms = 2000;
// The listener's answers are a few bytes; anything past this is not read.
constexpr qint64 answer_limit = 4096;

// A listener on every address is asked on the loopback of its family.
QHostAddress reachable(const QHostAddress& host)
{
    if (host == QHostAddress::AnyIPv4 || host == QHostAddress::Any)
        return QHostAddress(QHostAddress::LocalHost);
    if (host == QHostAddress::AnyIPv6)
        return QHostAddress(QHostAddress::LocalHostIPv6);
    return host;
}
}  // namespace

int ask_healthz(const QHostAddress& host, quint16 port, int deadline_ms, QString* said)
{
    const QDeadlineTimer deadline(deadline_ms);
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        *said = QStringLiteral("no connection: ") + loggable(socket.errorString());
        return 0;
    }
    socket.write("GET /healthz HTTP/1.0\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (answer.size() < answer_limit && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;  // closed, failed or out of time
        answer += socket.read(answer_limit - answer.size());
    }
    if (answer.isEmpty()) {
        *said = deadline.hasExpired() ? QStringLiteral("no answer within %1 ms").arg(deadline_ms)
                                      : QStringLiteral("no answer: ") + loggable(socket.errorString());
        return 0;
    }
    // "HTTP/1.1 200 OK", then the headers and a body of one line.
    const QList<QByteArray> words = answer.left(answer.indexOf('\r')).split(' ');
    const int status = words.size() >= 2 && words[0].startsWith("HTTP/") ? words[1].toInt() : 0;
    const int body_at = answer.indexOf("\r\n\r\n");
    const QByteArray body = body_at < 0 ? QByteArray() : answer.mid(body_at + 4).trimmed();
    *said = status == 0 ? QStringLiteral("not an HTTP answer: ") + loggable(answer.left(64))
                        : QString::number(status) + QLatin1Char(' ') + loggable(body);
    return status;
}

int probe_health(const QString& path)
{
    std::optional<listen_address> listen;
    try {
        listen = environment(path).get_http_listen();
    } catch (const config_error& e) {
        std::fprintf(stderr, "corvel: %s\n", e.what());
        return 1;
    }
    if (!listen) {
        std::fprintf(stderr, "corvel: %s: no GENERAL_SETTINGS HTTP_LISTEN, no listener to ask\n",
                     qUtf8Printable(loggable(path)));
        return 1;
    }
    QString said;
    const int status = ask_healthz(reachable(listen->host), listen->port, probe_deadline_ms, &said);
    std::printf("%s/healthz: %s\n", qUtf8Printable(listen->text), qUtf8Printable(said));
    std::fflush(stdout);
    return status == 200 ? 0 : 1;
}
