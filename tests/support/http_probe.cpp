#include "http_probe.h"

#include <arpa/inet.h>

#include <QRegularExpression>

#include <cmath>
#include <cstring>
#include <limits>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int connect_local(quint16 port, const char* from)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &source.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray exchange(int fd, const QByteArray& request)
{
    ::send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL);
    QByteArray answer;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<int>(n));
    ::close(fd);
    return answer;
}

http_reply parse_reply(const QByteArray& answer)
{
    http_reply r;
    const QList<QByteArray> status_line = answer.left(answer.indexOf("\r\n")).split(' ');
    if (status_line.size() >= 2 && status_line[0].startsWith("HTTP/1."))
        r.status = status_line[1].toInt();
    const int head_end = answer.indexOf("\r\n\r\n");
    if (head_end >= 0)
        r.body = answer.mid(head_end + 4);
    return r;
}

http_reply http(quint16 port, const QByteArray& path, const QByteArray& method)
{
    const int fd = connect_local(port);
    if (fd < 0)
        return {};
    return parse_reply(exchange(fd, method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
}

exposition::exposition(const QByteArray& text)
{
    if (!text.endsWith('\n'))
        errors << "the body does not end in a line feed";
    static const QRegularExpression type_line(
        R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$)");
    static const QRegularExpression sample_line(
        R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*)?\})? (\S+)$)");
    QMap<QString, QString> types;
    QMap<QString, QList<QPair<double, double>>> buckets;  // per histogram: le, count
    for (const QString& line : QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# TYPE ")) {
            const auto m = type_line.match(line);
            if (!m.hasMatch() || types.contains(m.captured(1)))
                errors << "bad or repeated TYPE line: " + line;
            else
                types[m.captured(1)] = m.captured(2);
            continue;
        }
        if (line.startsWith("# HELP ") || line.startsWith('#'))
            continue;
        const auto m = sample_line.match(line);
        bool number = false;
        const double value = m.hasMatch() ? parse_value(m.captured(3), &number) : 0;
        if (!m.hasMatch() || !number) {
            errors << "bad sample line: " + line;
            continue;
        }
        const QString name = m.captured(1);
        QString family = name;
        for (const char* suffix : {"_bucket", "_sum", "_count"})
            if (name.endsWith(suffix) && types.value(name.left(name.size() - int(strlen(suffix)))) == "histogram")
                family = name.left(name.size() - int(strlen(suffix)));
        if (!types.contains(family))
            errors << "sample before its TYPE line: " + line;
        samples[name + m.captured(2)] = value;
        if (name == family + "_bucket") {
            static const QRegularExpression le(R"re(le="([^"]+)")re");
            bool ok = false;
            const double bound = parse_value(le.match(m.captured(2)).captured(1), &ok);
            if (!ok)
                errors << "bucket without le: " + line;
            buckets[family].append({bound, value});
        }
    }
    for (auto h = buckets.cbegin(); h != buckets.cend(); ++h) {
        const QList<QPair<double, double>>& b = h.value();
        for (int i = 1; i < b.size(); ++i)
            if (b[i].first <= b[i - 1].first || b[i].second < b[i - 1].second)
                errors << h.key() + ": buckets not in order or not cumulative";
        if (b.isEmpty() || !std::isinf(b.last().first) || b.last().second != samples.value(h.key() + "_count", -1))
            errors << h.key() + ": no +Inf bucket equal to _count";
    }
}

double exposition::parse_value(const QString& text, bool* ok)
{
    *ok = true;
    if (text == "+Inf")
        return std::numeric_limits<double>::infinity();
    if (text == "-Inf")
        return -std::numeric_limits<double>::infinity();
    return text.toDouble(ok);
}
