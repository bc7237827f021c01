#pragma once

#include <QString>
#include <QStringList>

namespace redis {

// TLS on a connection to Redis or to a sentinel.
struct tls_settings {
    enum class mode { off, on };
    enum class verification { full, none };

    mode use = mode::off;
    QString ca_file;    // empty: the system's trust store
    QString cert_file;  // with key_file: the client's certificate, for servers that ask for one
    QString key_file;
    QString server_name;  // the name the server's certificate must carry (and SNI); empty: the host
    verification verify = verification::full;

    bool enabled() const { return use == mode::on; }
};

// What keeps the files of settings from being used: one that cannot be read, does not parse, or a
// key that is not the certificate's. Empty when all can be used (or none is named).
QStringList tls_file_problems(const tls_settings& settings);

}  // namespace redis
