// Measures the command handlers against a local redis-server, side by side with redis-cli --pipe
// sending the same Redis commands. Usage:
//   redis_store_bench PORT [RUNS]        the comparisons and the small-command costs
//   redis_store_bench PORT --peak N      one clients_devices command of N clients; peak RSS
#include "clients_devices_command.h"
#include "device_parameters_plan.h"
#include "devices_params_command.h"
#include "store_streams.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using bench::clients_payload;
using bench::clients_stream;
using bench::resp;
using bench::transaction_stream;

QJsonArray modems_payload(int modems)
{
    QJsonArray out;
    for (int i = 0; i < modems; ++i)
        out.append(QJsonObject{{"modem_id", i}, {"hw_type", "hw-2"}, {"protocol", "proto-7"}});
    return out;
}

QByteArray modems_stream(const QJsonArray& modems, int* count)
{
    return transaction_stream(modems, [](const QJsonValue& v, const auto& sink) {
        const QList<QByteArray> hmset = device_properties_command(v);
        if (!hmset.isEmpty())
            sink(hmset);
    }, count);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double pipe_ms(quint32 port, const QString& file)
{
    QElapsedTimer t;
    t.start();
    QProcess cli;
    cli.setStandardInputFile(file);
    cli.start("redis-cli", {"-p", QString::number(port), "--pipe"});
    cli.waitForFinished(60000);
    const double ms = t.nsecsElapsed() / 1e6;
    if (cli.exitCode() != 0)
        std::fprintf(stderr, "redis-cli --pipe failed: %s\n", cli.readAllStandardError().constData());
    return ms;
}

template <class Run>
double timed_ms(Run run)
{
    QElapsedTimer t;
    t.start();
    run();
    return t.nsecsElapsed() / 1e6;
}

long max_rss_kib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [RUNS | --peak CLIENTS]\n", argv[0]);
        return 2;
    }
    const quint32 port = QByteArray(argv[1]).toUInt();
    const redis_conf conf{QStringLiteral("127.0.0.1"), QString(), QString(), port};
    QTemporaryDir dir;
    logger log(dir.filePath("bench.log"), QString());
    QTimer timer;
    timer.setSingleShot(true);
    timer.setInterval(21000);

    if (argc >= 4 && QByteArray(argv[2]) == "--peak") {
        const int clients = QByteArray(argv[3]).toInt();
        model::command cmd;
        cmd._data = QJsonDocument(clients_payload(clients, 10, 2));
        const long before = max_rss_kib();
        ClientsDevicesCommand(conf, timer, log).exec(cmd);
        std::printf("peak RSS, %d clients x 10 modems x 2 stations: %ld KiB with the payload built, %ld KiB after exec "
                    "(+%ld KiB)\n", clients, before, max_rss_kib(), max_rss_kib() - before);
        return 0;
    }
    const int runs = argc >= 3 ? QByteArray(argv[2]).toInt() : 25;

    // Large commands: handler against redis-cli --pipe, alternating runs.
    struct large_case {
        const char* name;
        QJsonArray payload;
        bool clients;
    };
    const large_case cases[] = {{"clients_devices 100 clients x 10 modems x 2 stations", clients_payload(100, 10, 2), true},
                                {"device_parameters 1000 modems", modems_payload(1000), false}};
    for (const large_case& c : cases) {
        int count = 0;
        const QByteArray stream = c.clients ? clients_stream(c.payload, &count) : modems_stream(c.payload, &count);
        const QString file = dir.filePath("stream.resp");
        QFile f(file);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(stream);
        f.close();
        model::command cmd;
        cmd._data = QJsonDocument(c.payload);
        std::vector<double> handler, pipe;
        for (int i = 0; i < runs; ++i) {
            handler.push_back(timed_ms([&] {
                if (c.clients)
                    ClientsDevicesCommand(conf, timer, log).exec(cmd);
                else
                    DevicesParamsCommand(conf, log).exec(cmd);
            }));
            pipe.push_back(pipe_ms(port, file));
        }
        const double h = median(handler), p = median(pipe);
        std::printf("%s (%d Redis commands), median of %d: handler %.2f ms, redis-cli --pipe %.2f ms, ratio %.2f\n",
                    c.name, count, runs, h, p, h / p);
    }

    // What redis-cli --pipe costs by itself: a process start and one PING.
    {
        const QString file = dir.filePath("ping.resp");
        QFile f(file);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(resp({"PING"}));
        f.close();
        std::vector<double> ping;
        for (int i = 0; i < runs; ++i)
            ping.push_back(pipe_ms(port, file));
        std::printf("redis-cli --pipe of a single PING (its fixed cost), median of %d: %.2f ms\n", runs, median(ping));
    }

    // A small command: reused (pooled) connection against a fresh connection each time.
    model::command small;
    small._data = QJsonDocument(clients_payload(1, 2, 1));
    const int small_runs = runs * 80;
    std::vector<double> reused, fresh;
    std::uint64_t round_trips = 0, dials = 0;
    for (int i = 0; i < small_runs; ++i) {
        reused.push_back(timed_ms([&] {
            ClientsDevicesCommand handler(conf, timer, log);
            handler.exec(small);
            round_trips += handler.store_stats().round_trips;
            dials += handler.store_stats().dials;
        }));
        redis::connection::clear_pool();
        fresh.push_back(timed_ms([&] { ClientsDevicesCommand(conf, timer, log).exec(small); }));
    }
    std::printf("small clients_devices (1 client, 2 modems, 1 station), median of %d: reused connection %.1f us "
                "(%.2f round trips and %.3f dials per command), fresh connection %.1f us, ratio %.2f\n",
                small_runs, median(reused) * 1000, double(round_trips) / small_runs, double(dials) / small_runs,
                median(fresh) * 1000, median(fresh) / median(reused));
    return 0;
}
