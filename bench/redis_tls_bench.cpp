// Small transactions through the Redis client over plain TCP and over TLS, side by side: the cost
// of TLS to the store. Each round runs both for SECONDS with WINDOW transactions in flight (SELECT,
// MULTI, SADD, HSET, EXEC, as a small command writes), the two taking turns going first.
// Usage: redis_tls_bench PLAIN_PORT TLS_PORT CERT_DIR [ROUNDS [SECONDS [WINDOW]]]
//   CERT_DIR as tests/support/make_test_certs.sh makes it; the server's name is localhost.
// Prints per round "plain|tls tx/s=… cpu_us/tx=…", then the medians and tls/plain.
#include "redis_client.h"
#include "redis_transaction.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

double cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct figures {
    double rate;
    double cpu_us;
};

// Keeps window transactions in flight for ms; the rate of those answered, and our CPU per one.
figures run(redis::client& c, int ms, int window)
{
    long done = 0, sent = 0;
    bool stopping = false;
    QElapsedTimer clock;
    std::function<void()> send = [&] {
        const QByteArray key = "bench:" + QByteArray::number(qlonglong(sent++ % 1000));
        c.submit(std::make_unique<redis::transaction>(
            QList<redis::command>{{"SELECT", "2"}},
            redis::transaction::of(
                {{"SADD", "client:devices:" + key, "1", "2"}, {"HSET", "client:properties:" + key, "role", "admin"}}),
            [&](redis::transaction_result&& r) {
                if (!r.executed) {
                    std::fprintf(stderr, "failed: %s\n", qUtf8Printable(r.error));
                    QCoreApplication::exit(1);
                    return;
                }
                ++done;
                if (!stopping)
                    send();
                else if (done == sent)
                    QCoreApplication::exit(0);
            }));
    };
    const double cpu_before = cpu_seconds();
    clock.start();
    for (int i = 0; i < window; ++i)
        send();
    long done_in_time = 0;
    double seconds = 0;
    QTimer::singleShot(ms, [&] {
        stopping = true;
        done_in_time = done;
        seconds = double(clock.nsecsElapsed()) / 1e9;
    });
    if (QCoreApplication::exec() != 0)
        std::exit(1);
    return {double(done_in_time) / seconds, (cpu_seconds() - cpu_before) / double(done) * 1e6};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: redis_tls_bench PLAIN_PORT TLS_PORT CERT_DIR [ROUNDS [SECONDS [WINDOW]]]\n");
        return 1;
    }
    const QString certs = QString::fromLocal8Bit(argv[3]);
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
    const int ms = (argc > 5 ? std::atoi(argv[5]) : 3) * 1000;
    const int window = argc > 6 ? std::atoi(argv[6]) : 100;
    redis::client plain({QStringLiteral("127.0.0.1"), QString(), QByteArray(argv[1]).toUInt(), QString()});
    redis::connection_config secured{QStringLiteral("127.0.0.1"), QString(), QByteArray(argv[2]).toUInt(), QString()};
    secured.tls.use = redis::tls_settings::mode::on;
    secured.tls.ca_file = certs + QStringLiteral("/ca.crt");
    secured.tls.cert_file = certs + QStringLiteral("/client.crt");
    secured.tls.key_file = certs + QStringLiteral("/client.key");
    secured.tls.server_name = QStringLiteral("localhost");
    redis::client tls(secured);
    run(plain, 500, window);  // warm-up, and both connections made
    run(tls, 500, window);
    std::vector<double> plain_rates, tls_rates, plain_cpu, tls_cpu;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool over_tls = (round + turn) % 2 == 1;
            const figures f = run(over_tls ? tls : plain, ms, window);
            (over_tls ? tls_rates : plain_rates).push_back(f.rate);
            (over_tls ? tls_cpu : plain_cpu).push_back(f.cpu_us);
            std::printf("round %d %-5s tx/s=%.0f cpu_us/tx=%.1f\n", round + 1, over_tls ? "tls" : "plain", f.rate,
                        f.cpu_us);
            std::fflush(stdout);
        }
    }
    const auto range = [](const std::vector<double>& v) {
        return QStringLiteral("%1..%2")
            .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 0)
            .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 0);
    };
    std::printf("median plain tx/s=%.0f (%s) cpu_us/tx=%.1f\n", median(plain_rates), qUtf8Printable(range(plain_rates)),
                median(plain_cpu));
    std::printf("median tls   tx/s=%.0f (%s) cpu_us/tx=%.1f\n", median(tls_rates), qUtf8Printable(range(tls_rates)),
                median(tls_cpu));
    std::printf("tls/plain rate=%.3f\n", median(tls_rates) / median(plain_rates));
    return 0;
}
