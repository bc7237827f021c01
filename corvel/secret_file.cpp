#include "secret_file.h"

#include <QFile>

QString read_secret(const QString& name, QString* why)
{
    QString path = name;
    if (!name.contains(QLatin1Char('/'))) {
        const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
        if (credentials.isEmpty()) {
            *why = QStringLiteral("names a systemd credential (no \"/\" in it), but CREDENTIALS_DIRECTORY is not set: "
                                  "give the unit LoadCredential=%1:PATH, or write a path")
                       .arg(name);
            return QString();
        }
        path = credentials + QLatin1Char('/') + name;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot be read (%1: %2)").arg(path, file.errorString());
        return QString();
    }
    QByteArray bytes = file.read(secret_limit_bytes + 1);
    if (bytes.size() > secret_limit_bytes) {
        *why = QStringLiteral("names %1, larger than %2 bytes: not a password file").arg(path).arg(secret_limit_bytes);
        return QString();
    }
    if (bytes.endsWith('\n'))
        bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
    if (bytes.contains('\n')) {
        *why = QStringLiteral("names %1, which holds more than one line: the password alone belongs there").arg(path);
        return QString();
    }
    if (bytes.isEmpty()) {
        *why = QStringLiteral("names %1, which is empty").arg(path);
        return QString();
    }
    return QString::fromUtf8(bytes);
}
