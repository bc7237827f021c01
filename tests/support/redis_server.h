#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

struct redisContext;

// A redis-server on loopback for the tests: the one the test script started (its port in
// CORVEL_TEST_REDIS_PORT), or one of our own on a free port. Only our own can be stopped and
// started again.
class test_redis {
public:
    // The shared server of this test process, started on first use.
    static test_redis& shared();

    test_redis();  // always starts a server of its own
    // A sentinel of its own, watching the master at master_port as name (quorum 1, down after 1 s),
    // with these lines of configuration more. With certs (tests/support/make_test_certs.sh): over
    // TLS too, the master's port a TLS one.
    static std::unique_ptr<test_redis> sentinel(const QByteArray& name, quint32 master_port,
                                                const QString& certs = QString(),
                                                const QByteArray& more = QByteArray());
    // A server of its own taking TLS on tls_port() with the certificates in certs, a client
    // certificate required; port() stays plain, for the tests' own probes.
    static std::unique_ptr<test_redis> tls(const QString& certs);
    ~test_redis();

    quint32 port() const { return _port; }
    quint32 tls_port() const { return _tls_port; }
    void stop();
    void start();
    // SIGSTOP or SIGCONT: a server that takes connections but never answers.
    void freeze(bool frozen);

private:
    explicit test_redis(quint32 existing_port);
    explicit test_redis(QStringList arguments);
    quint32 _port;
    quint32 _tls_port = 0;
    QStringList _arguments;  // of redis-server, beyond the port
    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<QTemporaryDir> _sentinel_dir;
    std::unique_ptr<QProcess> _process;
};

// A plain synchronous client for looking at what the code under test did.
class redis_probe {
public:
    explicit redis_probe(quint32 port, int db = 2);
    ~redis_probe();

    // Runs one command; returns the reply as text ("" for nil, array elements joined by "\n").
    QByteArray run(const QList<QByteArray>& cmd);
    QStringList members(const QByteArray& key);         // SMEMBERS, sorted
    QStringList keys(const QByteArray& pattern = "*");  // KEYS, sorted
    QByteArray hget(const QByteArray& key, const QByteArray& field);
    bool exists(const QByteArray& key);
    void flush();  // FLUSHALL

private:
    redisContext* _c;
};

// Records the commands a server receives, through MONITOR.
class redis_monitor {
public:
    explicit redis_monitor(quint32 port);
    ~redis_monitor();

    // The commands received until one named `last` (case-insensitive) is seen, at most timeout_ms.
    // Each as its arguments, the command name upper-cased.
    QList<QList<QByteArray>> until(const QByteArray& last, int timeout_ms = 5000);

private:
    redisContext* _c;
};

// A command written out as "NAME arg arg" for readable comparisons.
QByteArray join_command(const QList<QByteArray>& cmd);
