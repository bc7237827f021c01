#include "stderr_batch.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QCoreApplication>
#include <QMutex>
#include <QPointer>
#include <QThread>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace stderr_batch {

namespace {

constexpr int flush_bytes = 64 * 1024;

QMutex mutex;
QByteArray pending;

void write_all(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (n <= 0)
            return;  // nowhere to write: drop, as the default handler would
        data += n;
        left -= n;
    }
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QMutexLocker lock(&mutex);
    pending += qFormatLogMessage(type, context, message).toLocal8Bit();
    pending += '\n';
    if ((type != QtDebugMsg && type != QtInfoMsg) || pending.size() >= flush_bytes) {
        write_all(pending);
        pending.clear();
    }
}

}  // namespace

void flush()
{
    QMutexLocker lock(&mutex);
    if (pending.isEmpty())
        return;
    write_all(pending);
    pending.clear();
}

void install()
{
    static bool installed = false;
    static QPointer<QAbstractEventDispatcher> watched;
    qInstallMessageHandler(handler);
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (dispatcher && dispatcher != watched) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { flush(); });
        watched = dispatcher;
    }
    if (!installed)
        std::atexit([] { flush(); });
    installed = true;
}

}  // namespace stderr_batch
