#pragma once

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

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
