// End-to-end benchmark through a real broker. Usage:
//   amqp_e2e_bench run --uri URI --exchange EX --routing-key KEY --reply-exchange EX2 [options]
//       publishes --count clients_devices (or --device-parameters) commands to EX under KEY, at
//       most --window of them unanswered (and --rate a second), and counts the responses that
//       come back on a reply queue of its own bound to EX2; prints one result line (commands/s
//       from the first publication to the last response, the longest gap between two responses,
//       and CPU per 1,000 commands and peak RSS of each --watch NAME=PID process)
//   amqp_e2e_bench pipe --redis-port PORT [options]
//       times redis-cli --pipe of the Redis commands the service writes for the same commands;
//       prints a result line of the same form
//   amqp_e2e_bench delete-queue --uri URI --queue NAME
//   amqp_e2e_bench summary FILE      the table of the result lines in FILE
#include "amqp_client.h"
#include "store_streams.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

[[noreturn]] void die(const QString& message, int status = 2)
{
    std::fprintf(stderr, "amqp_e2e_bench: %s\n", qPrintable(message));
    std::exit(status);
}

struct shape {
    int clients, modems, stations;
};

shape shape_named(const QString& name)
{
    if (name == QLatin1String("small"))
        return {1, 2, 1};
    if (name == QLatin1String("large"))
        return {100, 10, 2};
    die(QStringLiteral("--shape is small or large"), 1);
}

// --- what a process costs, from /proc

double cpu_seconds(qint64 pid)
{
    QFile f(pid == 0 ? QStringLiteral("/proc/self/stat") : QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    // The command name may hold spaces: count fields from the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    return (fields[11].toDouble() + fields[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peak_rss_kib(qint64 pid)
{
    QFile f(pid == 0 ? QStringLiteral("/proc/self/status") : QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Seconds the process's threads have waited, runnable, for a CPU: on this shared machine a
// process may be held up by the others as much as by its own work.
double runqueue_seconds(qint64 pid)
{
    const QString base = pid == 0 ? QStringLiteral("/proc/self/task") : QStringLiteral("/proc/%1/task").arg(pid);
    double total = 0;
    for (const QString& task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(base + '/' + task + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            total += f.readAll().split(' ').value(1).toDouble() / 1e9;
    }
    return total;
}

struct watched {
    QString name;
    qint64 pid;  // 0: this process
    double cpu_at_start = 0;
    double wait_at_start = 0;
};

std::vector<watched> watch_list(const QStringList& specs)
{
    std::vector<watched> out{{QStringLiteral("driver"), 0}};
    for (const QString& watch : specs) {
        const int eq = watch.indexOf(QLatin1Char('='));
        bool ok = false;
        const qint64 pid = watch.mid(eq + 1).toLongLong(&ok);
        if (eq <= 0 || !ok || pid <= 0)
            die(QStringLiteral("--watch takes NAME=PID, not \"%1\"").arg(watch), 1);
        out.push_back({watch.left(eq), pid});
    }
    return out;
}

void start_watching(std::vector<watched>& list)
{
    for (watched& w : list) {
        w.cpu_at_start = cpu_seconds(w.pid);
        w.wait_at_start = runqueue_seconds(w.pid);
    }
}

// Per watched process: CPU seconds and run-queue seconds per 1,000 commands, and peak RSS.
QString watched_fields(const std::vector<watched>& list, int count)
{
    QString out;
    for (const watched& w : list) {
        const double cpu = cpu_seconds(w.pid) - w.cpu_at_start;
        const double wait = runqueue_seconds(w.pid) - w.wait_at_start;
        out += QStringLiteral(" cpu_k.%1=%2 rq_k.%1=%3 hwm_kib.%1=%4")
                   .arg(w.name)
                   .arg(cpu * 1000.0 / count, 0, 'f', 4)
                   .arg(wait * 1000.0 / count, 0, 'f', 4)
                   .arg(peak_rss_kib(w.pid));
    }
    return out;
}

// --- one timed run through the broker

// A cmd_id is "{" + 24 characters that name the run + 12 hex digits of the command's index + "}",
// so a response is matched without parsing it or keeping a table of ids.
QByteArray id_prefix()
{
    QRandomGenerator* r = QRandomGenerator::global();
    return QByteArray("{") + QByteArray::number(r->generate() | 0x10000000u, 16) + '-' +
           QByteArray::number((r->generate() & 0xFFFFu) | 0x1000u, 16) + "-4" +
           QByteArray::number((r->generate() & 0xFFFu) | 0x100u, 16) + "-8" +
           QByteArray::number((r->generate() & 0xFFFu) | 0x100u, 16) + '-';
}

QByteArray command_id(const QByteArray& prefix, int index)
{
    return prefix + QByteArray::number(index, 16).rightJustified(12, '0') + '}';
}

class e2e_run : public QObject {
public:
    struct options {
        QString uri, vhost, exchange, routing_key, reply_exchange, label;
        shape payload{};
        int count = 0, window = 0, stall_ms = 0, setup_ms = 0;
        int rate = 0;                    // most commands published per second; 0: as fast as the window allows
        bool device_parameters = false;  // one modem each (modem_id = the command's index) instead of the shape
        bool warm_up = true;             // off: the commands go out at once, to a queue no one may consume yet
        std::vector<watched> watch;
    };

    explicit e2e_run(options o) : _o(std::move(o)), _seen(static_cast<size_t>(_o.count), false)
    {
        _sender = QStringLiteral("bench.reply.") +
                  QString::fromLatin1(QByteArray::number(QRandomGenerator::global()->generate(), 16));
        _run_prefix = id_prefix();
        do
            _warm_prefix = id_prefix();
        while (_warm_prefix == _run_prefix);
        const QByteArray data =
            QJsonDocument(bench::clients_payload(_o.payload.clients, _o.payload.modems, _o.payload.stations))
                .toJson(QJsonDocument::Compact);
        _head = QByteArray("{\"msg_type\":\"") + (_o.device_parameters ? "device_parameters" : "clients_devices") +
                "\",\"sender\":\"" + _sender.toUtf8() + "\",\"cmd_id\":\"";
        _tail = _o.device_parameters ? modem_tail(-1) : "\",\"data\":" + data + '}';
        // Built before the clock starts, so the driver spends its time on the wire only.
        _bodies.reserve(static_cast<size_t>(_o.count));
        for (int i = 0; i < _o.count; ++i)
            _bodies.push_back(_head + command_id(_run_prefix, i) + (_o.device_parameters ? modem_tail(i) : _tail));

        _pub.setConnectionName(QStringLiteral("amqp_e2e_bench publisher"));
        _sub.setConnectionName(QStringLiteral("amqp_e2e_bench replies"));
        for (amqp::client* c : {&_pub, &_sub}) {
            c->setVirtualHost(_o.vhost);
            connect(c, &amqp::client::error, this, [](const QString& why) { die(QStringLiteral("broker: ") + why); });
        }
        // A resource alarm would time the broker's back-pressure instead of the service.
        connect(&_pub, &amqp::client::blockedChanged, this, [](bool blocked) {
            if (blocked)
                std::fprintf(stderr, "amqp_e2e_bench: the broker blocked the publisher (resource alarm)\n");
        });
        connect(&_pub, &amqp::client::connected, this, [this] {
            _exchange = _pub.createExchange(_o.exchange);
            connect(_exchange, &amqp::channel::error, this, [this](int code, const QString& text) {
                die(QStringLiteral("exchange %1: %2 %3").arg(_o.exchange).arg(code).arg(text));
            });
            connect(_exchange, &amqp::channel::opened, this, &e2e_run::maybe_warm_up);
        });
        connect(&_sub, &amqp::client::connected, this, [this] {
            _replies = _sub.createQueue(_sender);
            connect(_replies, &amqp::channel::error, this, [this](int code, const QString& text) {
                die(QStringLiteral("reply queue: %1 %2").arg(code).arg(text));
            });
            connect(_replies, &amqp::queue::declared, this, [this] { _replies->bind(_o.reply_exchange, _sender); });
            connect(_replies, &amqp::queue::bound, this, [this] { _replies->consume(amqp::queue::coNoAck); });
            connect(_replies, &amqp::queue::consuming, this, &e2e_run::maybe_warm_up);
            connect(_replies, &amqp::queue::messageReceived, this, &e2e_run::take_replies);
            _replies->declare(amqp::queue::Exclusive | amqp::queue::AutoDelete);
        });

        _warm_timer.setInterval(100);
        connect(&_warm_timer, &QTimer::timeout, this, &e2e_run::send_warm_up);
        _watchdog.setInterval(500);
        connect(&_watchdog, &QTimer::timeout, this, &e2e_run::check_progress);
        _watchdog.start();
        _phase_clock.start();
        connect(&_pace, &QTimer::timeout, this, &e2e_run::publish_more);

        _pub.connectToHost(_o.uri);
        _sub.connectToHost(_o.uri);
    }

private:
    enum class phase { setting_up, warming_up, settling, measuring, done };

    static QByteArray modem_tail(int index)
    {
        return "\",\"data\":[{\"modem_id\":" + QByteArray::number(index) + ",\"hw_type\":\"e2e\",\"protocol\":\"p\"}]}";
    }

    void maybe_warm_up()
    {
        if (_phase != phase::setting_up || !_exchange || !_exchange->isOpen() || !_replies || !_replies->isConsuming())
            return;
        if (!_o.warm_up) {
            start_measuring();
            return;
        }
        _phase = phase::warming_up;
        send_warm_up();
        _warm_timer.start();
    }

    // Until the service's queue is bound, a command is unroutable and the broker drops it: keep
    // offering one until the first answer proves the whole path is up.
    void send_warm_up() { _exchange->publish(_head + command_id(_warm_prefix, _warm_sent++) + _tail, _o.routing_key); }

    void take_replies()
    {
        while (!_replies->isEmpty()) {
            const amqp::message m = _replies->dequeue();
            const int at = m.payload.indexOf("\"cmd_id\":\"");
            if (at < 0) {
                ++_foreign;
                continue;
            }
            const QByteArray id = m.payload.mid(at + 10, 38);
            if (id.startsWith(_warm_prefix)) {
                if (_phase == phase::warming_up)
                    settle();
                continue;
            }
            bool ok = false;
            const qulonglong index = id.mid(25, 12).toULongLong(&ok, 16);
            if (!id.startsWith(_run_prefix) || !ok || index >= _seen.size()) {
                ++_foreign;
                continue;
            }
            if (_seen[index]) {
                ++_duplicates;
                continue;
            }
            _seen[index] = true;
            ++_received;
            _longest_gap_ms = std::max(_longest_gap_ms, _last_progress.restart());
        }
        if (_phase != phase::measuring)
            return;
        if (_received == _o.count) {
            finish();
            return;
        }
        publish_more();
    }

    // The first warm-up answer has come: let the answers to the other warm-ups drain, then start.
    void settle()
    {
        _phase = phase::settling;
        _warm_timer.stop();
        QTimer::singleShot(300, this, &e2e_run::start_measuring);
    }

    void start_measuring()
    {
        _phase = phase::measuring;
        start_watching(_o.watch);
        _clock.start();
        _last_progress.start();
        publish_more();
    }

    void publish_more()
    {
        // A bounded burst per turn of the event loop, so the replies keep being read meanwhile.
        constexpr int burst = 256;
        int n = 0;
        const auto allowed = [this] { return _o.rate == 0 || _sent < 1 + _clock.elapsed() * _o.rate / 1000; };
        if (_o.rate > 0 && !_pace.isActive())
            _pace.start(5);
        while (_sent < _o.count && _sent - _received < _o.window && n < burst && allowed()) {
            if (!_exchange->publish(_bodies[static_cast<size_t>(_sent)], _o.routing_key))
                die(QStringLiteral("the publisher dropped command %1").arg(_sent));
            _bodies[static_cast<size_t>(_sent)] = QByteArray();  // a queued publication keeps its own reference
            ++_sent;
            ++n;
        }
        if (n == burst && _sent < _o.count && _sent - _received < _o.window && !_publish_scheduled) {
            _publish_scheduled = true;
            QTimer::singleShot(0, this, [this] {
                _publish_scheduled = false;
                publish_more();
            });
        }
    }

    void finish()
    {
        _phase = phase::done;
        const double seconds = _clock.nsecsElapsed() / 1e9;
        _pace.stop();
        std::printf("result %s count=%d rate=%.2f seconds=%.4f longest_gap_ms=%lld%s\n", qPrintable(_o.label), _o.count,
                    _o.count / seconds, seconds, _longest_gap_ms, qPrintable(watched_fields(_o.watch, _o.count)));
        if (_duplicates || _foreign)
            std::fprintf(stderr, "amqp_e2e_bench: %d duplicate and %d unknown responses\n", _duplicates, _foreign);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    void check_progress()
    {
        if ((_phase == phase::setting_up || _phase == phase::warming_up) && _phase_clock.elapsed() > _o.setup_ms)
            die(QStringLiteral("no answer from the service within %1 ms (%2 warm-up commands sent)")
                    .arg(_o.setup_ms)
                    .arg(_warm_sent),
                3);
        if (_phase == phase::measuring && _last_progress.elapsed() > _o.stall_ms) {
            int first_missing = -1;
            for (size_t i = 0; i < _seen.size() && first_missing < 0; ++i)
                if (!_seen[i] && static_cast<int>(i) < _sent)
                    first_missing = static_cast<int>(i);
            die(QStringLiteral("stalled: no response for %1 ms; %2 of %3 published, %4 answered, first unanswered #%5, "
                               "%6 duplicates")
                    .arg(_o.stall_ms)
                    .arg(_sent)
                    .arg(_o.count)
                    .arg(_received)
                    .arg(first_missing)
                    .arg(_duplicates),
                3);
        }
    }

    options _o;
    amqp::client _pub, _sub;
    amqp::exchange* _exchange = nullptr;
    amqp::queue* _replies = nullptr;
    QString _sender;
    QByteArray _run_prefix, _warm_prefix, _head, _tail;
    std::vector<QByteArray> _bodies;
    std::vector<bool> _seen;
    phase _phase = phase::setting_up;
    int _warm_sent = 0, _sent = 0, _received = 0, _duplicates = 0, _foreign = 0;
    bool _publish_scheduled = false;
    qint64 _longest_gap_ms = 0;  // between two responses
    QTimer _warm_timer, _watchdog, _pace;
    QElapsedTimer _phase_clock, _clock, _last_progress;
};

// --- redis-cli --pipe of the same Redis commands

int run_pipe(quint16 port, const QString& host, shape s, int count, const QString& label, std::vector<watched> watch)
{
    int per_command = 0;
    const QByteArray one = bench::clients_stream(bench::clients_payload(s.clients, s.modems, s.stations), &per_command);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stream.resp"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            die(QStringLiteral("cannot write ") + path);
        for (int i = 0; i < count; ++i)
            f.write(one);
    }
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    start_watching(watch);
    QElapsedTimer clock;
    clock.start();
    QProcess cli;
    cli.setStandardInputFile(path);
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral("redis-cli"),
              {QStringLiteral("-h"), host, QStringLiteral("-p"), QString::number(port), QStringLiteral("--pipe")});
    if (!cli.waitForFinished(600000) || cli.exitCode() != 0)
        die(QStringLiteral("redis-cli --pipe failed: ") + QString::fromUtf8(cli.readAllStandardOutput()));
    const double seconds = clock.nsecsElapsed() / 1e9;
    getrusage(RUSAGE_CHILDREN, &after);
    const auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    const double cli_cpu = secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    std::printf(
        "result %s count=%d rate=%.2f seconds=%.4f redis_commands=%d%s cpu_k.redis-cli=%.4f hwm_kib.redis-cli=%ld\n",
        qPrintable(label), count, count / seconds, seconds, per_command * count,
        qPrintable(watched_fields(watch, count)), cli_cpu * 1000.0 / count, after.ru_maxrss);
    return 0;
}

// --- deleting a queue between runs

int delete_queue(const QString& uri, const QString& vhost, const QString& name)
{
    amqp::client client;
    client.setVirtualHost(vhost);
    client.setConnectionName(QStringLiteral("amqp_e2e_bench cleanup"));
    QObject::connect(&client, &amqp::client::error, [](const QString& why) { die(QStringLiteral("broker: ") + why); });
    QObject::connect(&client, &amqp::client::connected, [&] {
        amqp::queue* q = client.createQueue(name);
        QObject::connect(q, &amqp::queue::removed, [] { QCoreApplication::exit(0); });
        QObject::connect(q, &amqp::channel::error, [name](int code, const QString& text) {
            die(QStringLiteral("deleting queue %1: %2 %3").arg(name).arg(code).arg(text));
        });
        q->remove();
    });
    QTimer::singleShot(10000, [] { die(QStringLiteral("no answer from the broker in time")); });
    client.connectToHost(uri);
    return QCoreApplication::exec();
}

// --- the table

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Result lines carry "workload=W variant=V round=R" and the figures. The first table gives, per
// workload and variant, the median, least and most rate; the second the medians of what each
// watched process cost per 1,000 commands; then the ratios of each workload's first variant to
// the others, of the median rates and, as the variants of a round ran back to back, the median of
// the per-round ratios, which drifts less with the machine's load.
int summary(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        die(QStringLiteral("cannot read ") + path);
    struct series {
        std::vector<double> rate, wall_k;
        QMap<QString, std::vector<double>> figures;  // "cpu_k.service" -> one value per run
        QMap<int, double> by_round;
    };
    QMap<QString, series> table;  // "workload/variant"
    QStringList order;            // as they first came
    for (const QByteArray& raw : f.readAll().split('\n')) {
        if (!raw.startsWith("result "))
            continue;
        QMap<QString, QString> kv;
        for (const QByteArray& field : raw.split(' ')) {
            const int eq = field.indexOf('=');
            if (eq > 0)
                kv[QString::fromUtf8(field.left(eq))] = QString::fromUtf8(field.mid(eq + 1));
        }
        const QString key = kv.value(QStringLiteral("workload")) + '/' + kv.value(QStringLiteral("variant"));
        if (!order.contains(key))
            order << key;
        series& s = table[key];
        const double rate = kv.value(QStringLiteral("rate")).toDouble();
        s.rate.push_back(rate);
        s.wall_k.push_back(1000.0 / rate);
        s.by_round[kv.value(QStringLiteral("round")).toInt()] = rate;
        for (auto it = kv.cbegin(); it != kv.cend(); ++it)
            if (it.key().startsWith(QLatin1String("cpu_k.")) || it.key().startsWith(QLatin1String("rq_k.")) ||
                it.key().startsWith(QLatin1String("hwm_kib.")))
                s.figures[it.key()].push_back(it.value().toDouble());
    }
    QTextStream out(stdout);
    const auto col = [](double v, int width, int digits) { return QStringLiteral("%1").arg(v, width, 'f', digits); };
    out << "workload variant  runs   cmd/s median      min      max\n";
    for (const QString& key : order) {
        const series& s = table[key];
        out << key.section('/', 0, 0).leftJustified(9) << key.section('/', 1).leftJustified(8)
            << QString::number(s.rate.size()).rightJustified(5) << col(median(s.rate), 15, 1)
            << col(*std::min_element(s.rate.begin(), s.rate.end()), 9, 1)
            << col(*std::max_element(s.rate.begin(), s.rate.end()), 9, 1) << '\n';
    }
    out << "\nper 1,000 commands, medians in s: cpu = on a CPU, rq = runnable, waiting for a CPU, blocked = the rest "
           "of\n"
           "the wall time (the service waiting on Redis or for deliveries); peak RSS of the run's own process in MiB\n";
    out << "workload variant     wall | service  cpu     rq blocked  peak | broker cpu     rq | redis cpu     rq | "
           "driver cpu | redis-cli cpu\n";
    for (const QString& key : order) {
        const series& s = table[key];
        const auto fig = [&](const QString& name, int width, int digits = 3) {
            if (!s.figures.contains(name))
                return QStringLiteral("-").rightJustified(width);
            return col(median(s.figures[name]), width, digits);
        };
        const bool has_service = s.figures.contains(QStringLiteral("cpu_k.service"));
        std::vector<double> blocked;
        for (size_t i = 0; has_service && i < s.wall_k.size(); ++i)
            blocked.push_back(s.wall_k[i] - s.figures[QStringLiteral("cpu_k.service")].at(i) -
                              s.figures[QStringLiteral("rq_k.service")].at(i));
        double peak = 0;
        for (const QString& name : {QStringLiteral("hwm_kib.service"), QStringLiteral("hwm_kib.redis-cli")})
            for (double v : s.figures.value(name))
                peak = std::max(peak, v / 1024.0);
        out << key.section('/', 0, 0).leftJustified(9) << key.section('/', 1).leftJustified(8)
            << col(median(s.wall_k), 8, 3) << " |" << fig(QStringLiteral("cpu_k.service"), 12)
            << fig(QStringLiteral("rq_k.service"), 7)
            << (has_service ? col(median(blocked), 8, 3) : QStringLiteral("-").rightJustified(8)) << col(peak, 6, 1)
            << " |" << fig(QStringLiteral("cpu_k.broker"), 11) << fig(QStringLiteral("rq_k.broker"), 7) << " |"
            << fig(QStringLiteral("cpu_k.redis"), 10) << fig(QStringLiteral("rq_k.redis"), 7) << " |"
            << fig(QStringLiteral("cpu_k.driver"), 11) << " |" << fig(QStringLiteral("cpu_k.redis-cli"), 14) << '\n';
    }
    out << '\n';
    for (const QString& first : order) {
        const QString workload = first.section('/', 0, 0);
        const auto first_of_workload = std::find_if(
            order.cbegin(), order.cend(), [&](const QString& key) { return key.section('/', 0, 0) == workload; });
        if (*first_of_workload != first)
            continue;
        for (const QString& other : order) {
            if (other == first || other.section('/', 0, 0) != workload)
                continue;
            const series& a = table[first];
            const series& b = table[other];
            std::vector<double> per_round;
            for (auto r = a.by_round.cbegin(); r != a.by_round.cend(); ++r)
                if (b.by_round.value(r.key()) > 0)
                    per_round.push_back(r.value() / b.by_round[r.key()]);
            out << QStringLiteral("%1: %2 / %3 = %4 (ratio of medians), %5 (median of %6 per-round ratios, %7 .. %8)\n")
                       .arg(workload, first.section('/', 1), other.section('/', 1))
                       .arg(median(a.rate) / median(b.rate), 0, 'f', 2)
                       .arg(median(per_round), 0, 'f', 2)
                       .arg(per_round.size())
                       .arg(per_round.empty() ? 0 : *std::min_element(per_round.begin(), per_round.end()), 0, 'f', 2)
                       .arg(per_round.empty() ? 0 : *std::max_element(per_round.begin(), per_round.end()), 0, 'f', 2);
        }
    }
    return 0;
}

int positive(const QCommandLineParser& p, const QCommandLineOption& o)
{
    bool ok = false;
    const int n = p.value(o).toInt(&ok);
    if (!ok || n <= 0)
        die(QStringLiteral("--%1 takes a positive number").arg(o.names().first()), 1);
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("mode"), QStringLiteral("run, pipe, delete-queue or summary"));
    const QCommandLineOption uri(QStringLiteral("uri"), QStringLiteral("AMQP URI of the broker"),
                                 QStringLiteral("uri"));
    const QCommandLineOption vhost(QStringLiteral("vhost"), QStringLiteral("Virtual host"), QStringLiteral("vhost"),
                                   QStringLiteral("/"));
    const QCommandLineOption exchange(
        QStringLiteral("exchange"), QStringLiteral("Exchange the service's queue is bound to"), QStringLiteral("name"));
    const QCommandLineOption key(QStringLiteral("routing-key"), QStringLiteral("Routing key of the binding"),
                                 QStringLiteral("key"), QStringLiteral("clients.devices"));
    const QCommandLineOption reply(QStringLiteral("reply-exchange"), QStringLiteral("Exchange the service answers on"),
                                   QStringLiteral("name"));
    const QCommandLineOption queue(QStringLiteral("queue"), QStringLiteral("Queue to delete"), QStringLiteral("name"));
    const QCommandLineOption shape_opt(QStringLiteral("shape"),
                                       QStringLiteral("small (1 client, 2 modems, 1 station) or large (100 x 10 x 2)"),
                                       QStringLiteral("shape"), QStringLiteral("small"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Commands to send"), QStringLiteral("n"),
                                   QStringLiteral("20000"));
    const QCommandLineOption window(QStringLiteral("window"), QStringLiteral("Most unanswered commands"),
                                    QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption stall(QStringLiteral("stall-ms"),
                                   QStringLiteral("Give up after this long without a response"), QStringLiteral("ms"),
                                   QStringLiteral("20000"));
    const QCommandLineOption setup(QStringLiteral("setup-ms"),
                                   QStringLiteral("Give up when the service has not answered this long after start"),
                                   QStringLiteral("ms"), QStringLiteral("60000"));
    const QCommandLineOption watch(QStringLiteral("watch"),
                                   QStringLiteral("Report CPU and peak RSS of this process (repeatable)"),
                                   QStringLiteral("name=pid"));
    const QCommandLineOption label(
        QStringLiteral("label"),
        QStringLiteral("Fields put before the figures, e.g. \"workload=small variant=service round=1\""),
        QStringLiteral("text"));
    const QCommandLineOption redis_port(QStringLiteral("redis-port"),
                                        QStringLiteral("Port of the Redis server for pipe"), QStringLiteral("port"));
    const QCommandLineOption redis_host(QStringLiteral("redis-host"),
                                        QStringLiteral("Host of the Redis server for pipe"), QStringLiteral("host"),
                                        QStringLiteral("127.0.0.1"));
    const QCommandLineOption no_warm_up(
        QStringLiteral("no-warm-up"),
        QStringLiteral("Send at once, without first waiting for an answer (the queue must be bound)"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("Most commands per second (0: no limit)"),
                                  QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption params(
        QStringLiteral("device-parameters"),
        QStringLiteral("device_parameters commands of one modem each (modem_id = index) instead of --shape"));
    parser.addOptions({uri, vhost, exchange, key, reply, queue, shape_opt, count, window, stall, setup, watch, label,
                       redis_port, redis_host, no_warm_up, rate, params});
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const QString mode = args.value(0);

    const auto need = [&](const QCommandLineOption& o) {
        if (!parser.isSet(o))
            die(QStringLiteral("%1 needs --%2").arg(mode, o.names().first()), 1);
        return parser.value(o);
    };
    if (mode == QLatin1String("summary")) {
        if (args.size() < 2)
            die(QStringLiteral("summary needs a FILE"), 1);
        return summary(args[1]);
    }
    if (mode == QLatin1String("delete-queue"))
        return delete_queue(need(uri), parser.value(vhost), need(queue));
    if (mode == QLatin1String("pipe")) {
        const int port = need(redis_port).toInt();
        if (port <= 0 || port > 65535)
            die(QStringLiteral("--redis-port takes a port"), 1);
        return run_pipe(static_cast<quint16>(port), parser.value(redis_host), shape_named(parser.value(shape_opt)),
                        positive(parser, count), parser.value(label), watch_list(parser.values(watch)));
    }
    if (mode != QLatin1String("run"))
        die(QStringLiteral("the mode is run, pipe, delete-queue or summary"), 1);

    e2e_run::options o;
    o.uri = need(uri);
    o.vhost = parser.value(vhost);
    o.exchange = need(exchange);
    o.reply_exchange = need(reply);
    o.routing_key = parser.value(key);
    o.label = parser.value(label);
    o.payload = shape_named(parser.value(shape_opt));
    o.count = positive(parser, count);
    o.window = positive(parser, window);
    o.stall_ms = positive(parser, stall);
    o.setup_ms = positive(parser, setup);
    o.watch = watch_list(parser.values(watch));
    o.warm_up = !parser.isSet(no_warm_up);
    o.rate = parser.value(rate).toInt();
    o.device_parameters = parser.isSet(params);
    e2e_run run(std::move(o));
    return QCoreApplication::exec();
}
