#include "redis_server.h"

#include <hiredis.h>

#include <csignal>

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {

quint32 free_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool answers(quint32 port)
{
    timeval tv{0, 200000};
    redisContext* c = redisConnectWithTimeout("127.0.0.1", static_cast<int>(port), tv);
    bool ok = false;
    if (c && !c->err) {
        auto* r = static_cast<redisReply*>(redisCommand(c, "PING"));
        ok = r && r->type == REDIS_REPLY_STATUS;
        if (r)
            freeReplyObject(r);
    }
    if (c)
        redisFree(c);
    return ok;
}

QByteArray reply_text(redisReply* r)
{
    if (!r)
        return "(no reply)";
    switch (r->type) {
    case REDIS_REPLY_INTEGER:
        return QByteArray::number(r->integer);
    case REDIS_REPLY_NIL:
        return "";
    case REDIS_REPLY_ARRAY: {
        QList<QByteArray> parts;
        for (size_t i = 0; i < r->elements; ++i)
            parts.append(reply_text(r->element[i]));
        return parts.join('\n');
    }
    default:
        return QByteArray(r->str, static_cast<int>(r->len));
    }
}

redisContext* connect_or_throw(quint32 port)
{
    timeval tv{2, 0};
    redisContext* c = redisConnectWithTimeout("127.0.0.1", static_cast<int>(port), tv);
    if (!c || c->err)
        throw std::runtime_error("test redis not reachable");
    return c;
}

// Parses the quoted arguments of one MONITOR line.
QList<QByteArray> parse_monitor_line(const QByteArray& line)
{
    QList<QByteArray> args;
    int i = line.indexOf(']');
    while ((i = line.indexOf('"', i + 1)) >= 0) {
        QByteArray arg;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') {
                arg.append(line[i]);
                continue;
            }
            const char e = line[++i];
            switch (e) {
            case 'n':
                arg.append('\n');
                break;
            case 'r':
                arg.append('\r');
                break;
            case 't':
                arg.append('\t');
                break;
            case 'a':
                arg.append('\a');
                break;
            case 'b':
                arg.append('\b');
                break;
            case 'x':
                arg.append(static_cast<char>(line.mid(i + 1, 2).toInt(nullptr, 16)));
                i += 2;
                break;
            default:
                arg.append(e);
            }
        }
        args.append(arg);
    }
    if (!args.isEmpty())
        args[0] = args[0].toUpper();
    return args;
}

}  // namespace

test_redis& test_redis::shared()
{
    // Destroyed at exit, which stops a server of our own.
    static const std::unique_ptr<test_redis> instance = [] {
        const QByteArray given = qgetenv("CORVEL_TEST_REDIS_PORT");
        return std::unique_ptr<test_redis>(given.isEmpty() ? new test_redis() : new test_redis(given.toUInt()));
    }();
    return *instance;
}

test_redis::test_redis(quint32 existing_port) : _port(existing_port)
{
    if (!answers(_port))
        throw std::runtime_error("CORVEL_TEST_REDIS_PORT names a port where no Redis answers");
}

test_redis::test_redis() : test_redis(QStringList{"--save", "", "--appendonly", "no"}) {}

test_redis::test_redis(QStringList arguments)
    : _port(free_port()),
      _arguments(std::move(arguments)),
      _dir(std::make_unique<QTemporaryDir>())
{
    start();
}

namespace {
// The TLS directives of a server on tls_port, its certificate also its client one (for replication
// and a sentinel's links).
QByteArray tls_directives(const QString& certs, quint32 tls_port)
{
    return "tls-port " + QByteArray::number(tls_port) + "\ntls-cert-file " + QFile::encodeName(certs + "/server.crt") +
           "\ntls-key-file " + QFile::encodeName(certs + "/server.key") + "\ntls-ca-cert-file " +
           QFile::encodeName(certs + "/ca.crt") + "\ntls-auth-clients yes\ntls-replication yes\n";
}
}  // namespace

std::unique_ptr<test_redis> test_redis::sentinel(const QByteArray& name, quint32 master_port, const QString& certs,
                                                 const QByteArray& more)
{
    QTemporaryDir* conf_dir = new QTemporaryDir();  // outlives the server: it rewrites its file
    QFile conf(conf_dir->filePath("sentinel.conf"));
    conf.open(QIODevice::WriteOnly);
    const quint32 tls_port = certs.isEmpty() ? 0 : free_port();
    conf.write("sentinel monitor " + name + " 127.0.0.1 " + QByteArray::number(master_port) + " 1\n" +
               "sentinel down-after-milliseconds " + name + " 1000\nsentinel failover-timeout " + name + " 5000\n" +
               (tls_port ? tls_directives(certs, tls_port) : QByteArray()) + more);
    conf.close();
    std::unique_ptr<test_redis> s(new test_redis(QStringList{conf.fileName(), "--sentinel"}));
    s->_sentinel_dir.reset(conf_dir);
    s->_tls_port = tls_port;
    return s;
}

std::unique_ptr<test_redis> test_redis::tls(const QString& certs)
{
    const quint32 tls_port = free_port();
    QStringList arguments{"--save", "", "--appendonly", "no"};
    for (const QByteArray& line : tls_directives(certs, tls_port).trimmed().split('\n')) {
        const int space = line.indexOf(' ');
        arguments << "--" + QString::fromUtf8(line.left(space)) << QString::fromUtf8(line.mid(space + 1));
    }
    std::unique_ptr<test_redis> s(new test_redis(arguments));
    s->_tls_port = tls_port;
    return s;
}

test_redis::~test_redis()
{
    stop();
}

void test_redis::start()
{
    if (!_dir)
        throw std::runtime_error("cannot start a test redis that is not ours");
    _process = std::make_unique<QProcess>();
    _process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    _process->setStandardOutputFile(_dir->filePath("redis.out"));
    // A configuration file, when there is one, comes first.
    QStringList arguments = _arguments;
    const int options = arguments.isEmpty() || arguments.first().startsWith("--") ? 0 : 1;
    arguments.insert(options, "--port");
    arguments.insert(options + 1, QString::number(_port));
    arguments << "--bind"
              << "127.0.0.1"
              << "--dir" << _dir->path();
    _process->start("redis-server", arguments);
    if (!_process->waitForStarted(5000))
        throw std::runtime_error("cannot start redis-server (is it installed?)");
    QDeadlineTimer deadline(10000);
    while (!answers(_port)) {
        if (deadline.hasExpired())
            throw std::runtime_error("redis-server did not come up");
        QThread::msleep(20);
    }
}

void test_redis::stop()
{
    if (!_process)
        return;
    _process->terminate();
    if (!_process->waitForFinished(5000)) {
        _process->kill();
        _process->waitForFinished(2000);
    }
    _process.reset();
}

void test_redis::freeze(bool frozen)
{
    if (!_process)
        throw std::runtime_error("cannot freeze a test redis that is not ours");
    ::kill(static_cast<pid_t>(_process->processId()), frozen ? SIGSTOP : SIGCONT);
}

redis_probe::redis_probe(quint32 port, int db) : _c(connect_or_throw(port))
{
    run({"SELECT", QByteArray::number(db)});
}

redis_probe::~redis_probe()
{
    redisFree(_c);
}

QByteArray redis_probe::run(const QList<QByteArray>& cmd)
{
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const QByteArray& a : cmd) {
        argv.push_back(a.constData());
        lens.push_back(static_cast<size_t>(a.size()));
    }
    auto* r = static_cast<redisReply*>(redisCommandArgv(_c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    const QByteArray text = reply_text(r);
    if (r)
        freeReplyObject(r);
    return text;
}

QStringList redis_probe::members(const QByteArray& key)
{
    const QByteArray text = run({"SMEMBERS", key});
    QStringList list = text.isEmpty() ? QStringList() : QString::fromLatin1(text).split('\n');
    list.sort();
    return list;
}

QStringList redis_probe::keys(const QByteArray& pattern)
{
    const QByteArray text = run({"KEYS", pattern});
    QStringList list = text.isEmpty() ? QStringList() : QString::fromLatin1(text).split('\n');
    list.sort();
    return list;
}

QByteArray redis_probe::hget(const QByteArray& key, const QByteArray& field)
{
    return run({"HGET", key, field});
}

bool redis_probe::exists(const QByteArray& key)
{
    return run({"EXISTS", key}) == "1";
}

void redis_probe::flush()
{
    run({"FLUSHALL"});
}

redis_monitor::redis_monitor(quint32 port) : _c(connect_or_throw(port))
{
    auto* r = static_cast<redisReply*>(redisCommand(_c, "MONITOR"));
    if (r)
        freeReplyObject(r);
}

redis_monitor::~redis_monitor()
{
    redisFree(_c);
}

QList<QList<QByteArray>> redis_monitor::until(const QByteArray& last, int timeout_ms)
{
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    redisSetTimeout(_c, tv);
    QList<QList<QByteArray>> seen;
    for (;;) {
        void* r = nullptr;
        if (redisGetReply(_c, &r) != REDIS_OK || !r)
            throw std::runtime_error("MONITOR: no " + last.toStdString() + " within the time limit");
        const QByteArray line(static_cast<redisReply*>(r)->str, static_cast<int>(static_cast<redisReply*>(r)->len));
        freeReplyObject(r);
        const QList<QByteArray> cmd = parse_monitor_line(line);
        seen.append(cmd);
        if (!cmd.isEmpty() && cmd[0] == last.toUpper())
            return seen;
    }
}

QByteArray join_command(const QList<QByteArray>& cmd)
{
    return cmd.join(' ');
}
