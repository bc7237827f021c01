// Times one promotion of the staging keys of a Redis server through the service's own code, and
// watches the event loop and the memory while it runs. scripts/bench.sh fills the keys and times
// redis-cli --pipe of the same SELECT, MULTI, RENAMEs and EXEC beside it.
// Usage: promotion_bench PORT
// Prints: promote ms=… keys=… max_stall_ms=… idle_rss_mb=… peak_rss_mb=… after_rss_mb=…
#include "logger.h"
#include "promotion/staging_rename.h"
#include "redis_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>

#include <malloc.h>

namespace {

// A field of /proc/self/status in MB.
double status_mb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(static_cast<int>(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: promotion_bench PORT\n");
        return 1;
    }
    logger log(QStringLiteral("/dev/null"), QString());
    redis::client store({QStringLiteral("127.0.0.1"), QString(), QByteArray(argv[1]).toUInt(), QString()});
    redis::client lister(store.config());
    const double idle_rss = status_mb("VmRSS:");

    // A tick every 10 ms: the longest gap between ticks is the longest stall of the loop.
    QElapsedTimer since_tick;
    qint64 max_gap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        max_gap = std::max(max_gap, since_tick.elapsed());
        since_tick.restart();
    });

    QElapsedTimer clock;
    promotion_result result;
    qint64 took = 0;
    QTimer::singleShot(0, [&] {
        tick.start(10);
        since_tick.start();
        clock.start();
        store.submit(std::make_unique<staging_rename>(store, lister, log, [&](promotion_result r) {
            took = clock.elapsed();
            result = r;
            QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        }));
    });
    QCoreApplication::exec();
    malloc_trim(0);
    if (!result.ok()) {
        std::fprintf(stderr, "promotion failed: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf("promote ms=%lld keys=%zu max_stall_ms=%lld idle_rss_mb=%.1f peak_rss_mb=%.1f after_rss_mb=%.1f\n",
                static_cast<long long>(took), result.keys, static_cast<long long>(std::max<qint64>(0, max_gap - 10)),
                idle_rss, status_mb("VmHWM:"), status_mb("VmRSS:"));
    return 0;
}
