#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// A plain HTTP client on blocking sockets, for poking at the service's status listener.

// A connection to 127.0.0.1:port, from 127.0.0.1 or another loopback address (a client the server
// tells apart); -1 when refused. Reads give up after 5 s.
int connect_local(quint16 port, const char* from = "127.0.0.1");
// Sends request (send errors ignored: the server may close early), reads until the server
// closes, and closes the connection.
QByteArray exchange(int fd, const QByteArray& request);

struct http_reply {
    int status = 0;  // 0: no answer
    QByteArray body;
};
http_reply parse_reply(const QByteArray& answer);
// One request with "Connection: close".
http_reply http(quint16 port, const QByteArray& path, const QByteArray& method = "GET");

// Reads a metrics body strictly as the text exposition format: every sample "name{labels} value"
// with a valid name, its family typed by an earlier # TYPE line, histogram buckets cumulative and
// ending with le="+Inf" equal to _count. Samples are keyed by name and labels as written.
struct exposition {
    QMap<QString, double> samples;
    QStringList errors;

    explicit exposition(const QByteArray& text);
    static double parse_value(const QString& text, bool* ok);
};
