// The Redis adapter: its protocol part without a server, its connection against a real one.
#include "amqp_peer.h"
#include "redis_client.h"
#include "redis_server.h"
#include "redis_transaction.h"
#include "sentinel_locator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

redis::connection_config config_for(quint32 port, const QString& name = QString(), const QString& auth = QString())
{
    return {QStringLiteral("127.0.0.1"), auth, port, name};
}

// Records every top-level reply and how the job ended.
struct record_sink : redis::reply_sink {
    QList<QByteArray> events;
    std::size_t limit = unbounded;
    std::size_t reply_limit() override { return limit; }
    void on_reply(redis::reply&& r) override { events << "reply " + r.text + QByteArray::number(r.integer); }
    void on_array(long long n) override { events << "array " + QByteArray::number(n); }
    void on_element(redis::reply&& e) override
    {
        events << "element " + (e.type == redis::reply::kind::array
                                    ? QByteArray::number(qint64(e.elements.size())) + " nested"
                                    : e.text);
    }
    void on_array_end() override { events << "end"; }
};

TEST(RedisProtocol, CommandsRoundTripAndRepliesStreamElementByElementAcrossAnySplit)
{
    QByteArray resp;
    redis::append_command(resp, {"SADD", "k", QByteArray("a\r\nb", 4), ""});
    redis::append_command(resp, {"EXEC"});
    EXPECT_EQ(redis::parse_commands(resp),
              (QList<redis::command>{{"SADD", "k", QByteArray("a\r\nb", 4), ""}, {"EXEC"}}));

    // The common shapes are read directly, the rest (a nested array, a long line) by hiredis: any
    // split between the two reads the same.
    const QByteArray long_status = "+" + QByteArray(2000, 's') + "\r\n";
    const QByteArray replies = "+OK\r\n:5\r\n*3\r\n+QUEUED\r\n*2\r\n$1\r\nx\r\n$1\r\ny\r\n-ERR no\r\n*0\r\n*-1\r\n"
                               "$4\r\na\r\nb\r\n:-7\r\n*3\r\n:1\r\n$-1\r\n$2\r\nhi\r\n" +
                               long_status + "$0\r\n\r\n";
    const QList<QByteArray> expected{"reply OK0",
                                     "reply 5",
                                     "array 3",
                                     "element QUEUED",
                                     "element 2 nested",
                                     "element ERR no",
                                     "end",
                                     "array 0",
                                     "end",
                                     "reply 0",
                                     "reply a\r\nb0",
                                     "reply -7",
                                     "array 3",
                                     "element ",
                                     "element ",
                                     "element hi",
                                     "end",
                                     "reply " + QByteArray(2000, 's') + "0",
                                     "reply 0"};
    record_sink whole;
    redis::reply_reader a;
    ASSERT_TRUE(a.feed(replies.constData(), replies.size(), whole));
    EXPECT_EQ(whole.events, expected);
    for (const int chunk : {1, 2, 3, 5, 7, 11}) {
        record_sink split;
        redis::reply_reader b;
        for (int at = 0; at < replies.size(); at += chunk)
            ASSERT_TRUE(b.feed(replies.constData() + at, std::min(chunk, int(replies.size()) - at), split));
        EXPECT_EQ(split.events, expected) << "in pieces of " << chunk;
    }
    // A line hiredis has begun goes on there, whatever its next bytes look like.
    record_sink odd;
    ASSERT_TRUE(a.feed("-", 1, odd));
    ASSERT_TRUE(a.feed("*1\r\n:2\r\n", 8, odd));
    EXPECT_EQ(odd.events, (QList<QByteArray>{"reply *10", "reply 2"}));
    EXPECT_FALSE(a.feed("?bad\r\n", 6, whole));
}

TEST(RedisProtocol, AReplyBeyondItsLimitIsRefusedBeforeItIsHeld)
{
    record_sink sink;
    sink.limit = 300;  // ["ab", "cd"] fits, twice that would not
    const QByteArray pair = "*2\r\n$2\r\nab\r\n$2\r\ncd\r\n";
    redis::reply_reader each;
    EXPECT_TRUE(each.feed((pair + pair + pair).constData(), 3 * pair.size(), sink)) << each.error().toStdString();
    EXPECT_EQ(sink.events.count("end"), 3);
    redis::reply_reader whole;
    const QByteArray twice = "*2\r\n" + pair + pair;
    EXPECT_FALSE(whole.feed(twice.constData(), twice.size(), sink));

    // An announced count, nested or not, is refused as its header comes: nothing is sized by it.
    for (const QByteArray& huge : {QByteArray("*2000000000\r\n"), QByteArray("*1\r\n*2000000000\r\n")}) {
        redis::reply_reader r;
        EXPECT_FALSE(r.feed(huge.constData(), huge.size(), sink));
        EXPECT_TRUE(r.error().contains("an array of 2000000000 elements")) << r.error().toStdString();
    }
    redis::reply_reader short_one;
    const QByteArray four = "*4\r\n:1\r\n:2\r\n:3\r\n:4\r\n";
    EXPECT_FALSE(short_one.feed(four.constData(), four.size(), sink));
    EXPECT_TRUE(short_one.error().contains("an array of 4 elements")) << short_one.error().toStdString();
    // A string is refused once what is buffered of it passes the limit, long before it is whole.
    redis::reply_reader r;
    ASSERT_TRUE(r.feed("$100000000\r\n", 13, sink));
    const QByteArray chunk(int(sink.limit), 'x');
    EXPECT_FALSE(r.feed(chunk.constData(), chunk.size(), sink));
    EXPECT_TRUE(r.error().startsWith("a reply beyond its limit")) << r.error().toStdString();
}

// What became of a job; the client destroys the job itself once it is done.
struct job_record {
    QList<redis::reply> replies;
    bool done = false;
    QString failure;
};

// Runs commands as one job and records their replies.
struct commands_job : redis::job {
    QList<redis::command> commands;
    std::shared_ptr<job_record> record = std::make_shared<job_record>();
    explicit commands_job(QList<redis::command> c) : commands(std::move(c)) {}
    progress write(redis::command_writer& out) override
    {
        for (const auto& c : commands)
            out.add(c);
        return progress::complete;
    }
    void on_reply(redis::reply&& r) override { record->replies << r; }
    void finished() override { record->done = true; }
    void failed(const QString& why) override { record->failure = why; }
};

class RedisClientTest : public ::testing::Test {
protected:
    test_redis& server = test_redis::shared();
    redis_probe probe{server.port(), 0};

    void SetUp() override { probe.flush(); }

    // Submits a job and waits for its end.
    static std::shared_ptr<job_record> run(redis::client& c, QList<redis::command> commands, int ms = 5000)
    {
        auto job = std::make_unique<commands_job>(std::move(commands));
        std::shared_ptr<job_record> record = job->record;
        c.submit(std::move(job));
        wait_until([&] { return c.idle(); }, ms);
        return record;
    }

    static redis::transaction_result transact(redis::client& c, QList<redis::command> prelude,
                                              QList<redis::command> body)
    {
        redis::transaction_result out;
        bool finished = false;
        c.submit(std::make_unique<redis::transaction>(std::move(prelude), redis::transaction::of(std::move(body)),
                                                      [&](redis::transaction_result&& r) {
                                                          out = std::move(r);
                                                          finished = true;
                                                      }));
        EXPECT_TRUE(wait_until([&] { return finished; }, 5000));
        return out;
    }
};

TEST_F(RedisClientTest, JobsOfOneTurnGoOutInOneWriteInOrderAndReadTheirOwnReplies)
{
    redis::client c(config_for(server.port(), "corvel-test"));
    std::vector<std::shared_ptr<job_record>> views;
    for (int i = 0; i < 3; ++i) {
        auto job = std::make_unique<commands_job>(QList<redis::command>{{"INCR", "n"}, {"GET", "n"}});
        views.push_back(job->record);
        c.submit(std::move(job));
    }
    ASSERT_TRUE(wait_until([&] { return c.idle(); }, 5000)) << c.last_error().toStdString();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(views[i]->replies.size(), 2);
        EXPECT_EQ(views[i]->replies[1].text, QByteArray::number(i + 1));
    }
    EXPECT_EQ(c.stats().writes, 2u);  // the name, then the three jobs together
    EXPECT_EQ(c.stats().dials, 1u);
    EXPECT_TRUE(probe.run({"CLIENT", "LIST"}).contains("name=corvel-test"));
    EXPECT_EQ(c.current_state(), redis::client::state::connected);
}

TEST_F(RedisClientTest, TransactionReportsFailuresInsideAndWhatDidNotExecute)
{
    probe.run({"SET", "str", "x"});
    redis::client c(config_for(server.port()));
    redis::transaction_result r = transact(c, {}, {{"SET", "a", "1"}, {"SADD", "str", "m"}});
    EXPECT_TRUE(r.executed);
    ASSERT_EQ(r.failed.size(), 1u);
    EXPECT_EQ(r.failed[0].index, 1u);
    EXPECT_TRUE(r.failed[0].error.startsWith("WRONGTYPE"));
    EXPECT_EQ(probe.run({"GET", "a"}), "1");

    r = transact(c, {}, {{"SET", "b", "1"}, {"SADD", "only-a-key"}});  // refused while queueing
    EXPECT_FALSE(r.executed);
    EXPECT_TRUE(r.error.contains("EXECABORT") && r.error.contains("queued command 1")) << r.error.toStdString();
    EXPECT_FALSE(probe.exists("b"));

    // A database Redis does not have: nothing of the transaction runs, in this database or another.
    r = transact(c, {{"SELECT", "99"}}, {{"SET", "c", "1"}});
    EXPECT_FALSE(r.executed);
    EXPECT_TRUE(r.error.contains("before the transaction")) << r.error.toStdString();
    EXPECT_FALSE(probe.exists("c"));
    r = transact(c, {{"SELECT", "0"}}, {{"SET", "d", "1"}});
    EXPECT_TRUE(r.executed);
    EXPECT_EQ(probe.run({"GET", "d"}), "1");

    // Abandoned midway: DISCARD instead of EXEC, and nothing written runs.
    std::optional<redis::transaction_result> abandoned;
    redis::transaction* t = nullptr;
    auto job = std::make_unique<redis::transaction>(
        QList<redis::command>{},
        [&, calls = 0](redis::command_writer& out) mutable {
            if (calls++ == 0)
                out.add({"SET", "e", "1"});
            else
                t->abandon(QStringLiteral("the rest cannot be had"));
            return false;
        },
        [&](redis::transaction_result&& res) { abandoned = std::move(res); });
    t = job.get();
    c.submit(std::move(job));
    ASSERT_TRUE(wait_until([&] { return abandoned.has_value(); }, 5000));
    EXPECT_FALSE(abandoned->executed);
    EXPECT_EQ(abandoned->error, "the rest cannot be had");
    EXPECT_FALSE(probe.exists("e"));

    // No longer wanted before it was written: nothing of it goes out, and the next job runs.
    std::optional<redis::transaction_result> unwanted;
    job = std::make_unique<redis::transaction>(QList<redis::command>{{"SELECT", "0"}},
                                               redis::transaction::of({{"SET", "f", "1"}}),
                                               [&](redis::transaction_result&& res) { unwanted = std::move(res); });
    job->only_while([] { return false; });
    const std::uint64_t writes = c.stats().writes;
    c.submit(std::move(job));
    EXPECT_TRUE(run(c, {{"PING"}})->done);
    ASSERT_TRUE(unwanted.has_value());
    EXPECT_FALSE(unwanted->executed);
    EXPECT_EQ(c.stats().writes, writes + 1);  // the PING alone
    EXPECT_FALSE(probe.exists("f"));
}

TEST_F(RedisClientTest, HugeTransactionIsWrittenAsTheSocketDrains)
{
    redis::client c(config_for(server.port()));
    c.set_reply_limit(64 * 1024);  // EXEC's reply of 300000 values is allowed for by its size
    const int count = 300000;
    int next = 0;
    bool finished = false;
    redis::transaction_result result;
    c.submit(std::make_unique<redis::transaction>(
        QList<redis::command>{},
        [&](redis::command_writer& out) {
            while (next < count && !out.full())
                out.add({"SADD", "big", QByteArray::number(next++)});
            return next == count;
        },
        [&](redis::transaction_result&& r) {
            result = std::move(r);
            finished = true;
        }));
    ASSERT_TRUE(wait_until([&] { return finished; }, 30000));
    EXPECT_TRUE(result.executed) << result.error.toStdString();
    EXPECT_EQ(result.size, std::size_t(count));
    EXPECT_EQ(probe.run({"SCARD", "big"}), QByteArray::number(count));
    EXPECT_GT(c.stats().writes, 2u);  // in pieces, not one buffer of everything
}

TEST_F(RedisClientTest, FrozenServerFailsTheJobsWithinTheSilenceLimitAndTheNextJobConnectsAgain)
{
    test_redis own;
    redis::client c(config_for(own.port()));
    c.set_silence_limit(300);
    ASSERT_TRUE(run(c, {{"PING"}})->done);
    own.freeze(true);
    QElapsedTimer t;
    t.start();
    const auto frozen = run(c, {{"SET", "written-while-frozen", "1"}});
    EXPECT_TRUE(frozen->failure.contains("no reply from Redis within")) << frozen->failure.toStdString();
    EXPECT_LT(t.elapsed(), 1500);
    EXPECT_EQ(c.current_state(), redis::client::state::disconnected);
    own.freeze(false);

    EXPECT_TRUE(run(c, {{"PING"}})->done);
    EXPECT_EQ(c.stats().dials, 2u);
}

TEST_F(RedisClientTest, RefusedConnectionWrongPasswordAndRestartedServerFailTheirJobs)
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint32 port = closed.serverPort();
    closed.close();
    redis::client refused(config_for(port));
    EXPECT_TRUE(run(refused, {{"PING"}})->failure.contains("cannot connect to Redis"));

    redis::client wrong(config_for(server.port(), QString(), "wrong"));
    const auto denied = run(wrong, {{"SET", "never", "1"}});
    EXPECT_TRUE(denied->failure.contains("AUTH refused")) << denied->failure.toStdString();

    test_redis own;
    // An ACL user: AUTH with the user's name and password.
    redis_probe(own.port(), 0).run({"ACL", "SETUSER", "corvel", "on", ">s3cret", "~*", "+@all"});
    redis::connection_config as_user = config_for(own.port(), QString(), "s3cret");
    as_user.user = QStringLiteral("corvel");
    redis::client user(as_user);
    EXPECT_EQ(run(user, {{"ACL", "WHOAMI"}})->replies.value(0).text, "corvel");

    redis::client c(config_for(own.port()));
    EXPECT_TRUE(run(c, {{"PING"}})->done);
    own.stop();
    EXPECT_FALSE(run(c, {{"PING"}})->failure.isEmpty());
    own.start();
    EXPECT_TRUE(run(c, {{"PING"}})->done);
}

// Certificates made for one test, gone with it.
struct test_certs {
    QTemporaryDir dir;
    test_certs()
    {
        const int status = QProcess::execute(CORVEL_SOURCE_DIR "/tests/support/make_test_certs.sh", {dir.path()});
        if (status != 0)
            throw std::runtime_error("make_test_certs.sh failed");
    }
    QString file(const char* name) const { return dir.filePath(QLatin1String(name)); }
    // What a client trusting the test CA, with its client certificate, sets.
    redis::tls_settings settings() const
    {
        redis::tls_settings tls;
        tls.use = redis::tls_settings::mode::on;
        tls.ca_file = file("ca.crt");
        tls.cert_file = file("client.crt");
        tls.key_file = file("client.key");
        return tls;
    }
};

// A server that asks for a client certificate: with the right CA, certificate and name the
// commands are answered; with anything else nothing is written and the job fails saying why,
// to be answered by a client set right (as the service holds a command and tries it again).
TEST_F(RedisClientTest, OverTlsOnlyTheRightCaCertificateAndNameConnectAndSayWhyNot)
{
    const test_certs certs;
    const std::unique_ptr<test_redis> server = test_redis::tls(certs.dir.path());
    redis_probe plain(server->port(), 0);
    const auto client_with = [&](const std::function<void(redis::tls_settings&)>& change) {
        redis::connection_config c = config_for(server->tls_port(), QString(), QStringLiteral("unused"));
        c.auth.clear();
        c.tls = certs.settings();
        c.tls.server_name = QStringLiteral("localhost");
        change(c.tls);
        return std::make_unique<redis::client>(c);
    };
    const struct {
        const char* what;
        std::function<void(redis::tls_settings&)> change;
        const char* said;
    } wrong[] = {
        {"another CA", [&](redis::tls_settings& t) { t.ca_file = certs.file("other-ca.crt"); },
         "TLS handshake failed: the server's certificate is refused: self-signed certificate in certificate chain"},
        {"no client certificate", [](redis::tls_settings& t) { t.cert_file = t.key_file = QString(); },
         "certificate required"},
        {"another name", [](redis::tls_settings& t) { t.server_name = QStringLiteral("elsewhere.test"); },
         "the server's certificate is refused: hostname mismatch (it is not for \"elsewhere.test\")"},
        {"a CA file that is not one", [&](redis::tls_settings& t) { t.ca_file = certs.file("ca.srl"); },
         "holds no PEM certificate"},
    };
    for (const auto& w : wrong) {
        const auto c = client_with(w.change);
        const auto r = run(*c, {{"SET", "k", w.what}});
        EXPECT_FALSE(r->done) << w.what;
        EXPECT_TRUE(r->failure.contains(QLatin1String(w.said))) << w.what << ": " << r->failure.toStdString();
    }
    EXPECT_EQ(plain.run({"EXISTS", "k"}), "0");

    const auto right = client_with([](redis::tls_settings&) {});
    EXPECT_TRUE(run(*right, {{"SET", "k", "right"}})->done) << right->last_error().toStdString();
    // Replies bigger than a TLS record, and than the read budget, come whole.
    const QByteArray big(3 * 1024 * 1024, 'x');
    const auto echoed = run(*right, {{"SET", "big", big}, {"GET", "big"}, {"GET", "k"}});
    ASSERT_EQ(echoed->replies.size(), 3);
    EXPECT_EQ(echoed->replies[1].text, big);
    EXPECT_EQ(echoed->replies[2].text, "right");

    // The handshake is bounded as a connect is.
    server->freeze(true);
    const auto stalled = client_with([](redis::tls_settings&) {});
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(run(*stalled, {{"PING"}})->failure.contains("no TLS handshake after"));
    EXPECT_LT(t.elapsed(), redis::client::connect_timeout_ms + 1000);
    server->freeze(false);

    // Files checked ahead: a key that is not the certificate's.
    redis::tls_settings mixed = certs.settings();
    mixed.key_file = certs.file("server.key");
    EXPECT_EQ(redis::tls_file_problems(certs.settings()).join(";").toStdString(), "");
    EXPECT_EQ(redis::tls_file_problems(mixed).join(";").toStdString(),
              QStringLiteral("the key file \"%1\" is not the key of the certificate \"%2\"")
                  .arg(mixed.key_file, mixed.cert_file)
                  .toStdString());
}

// A peer on loopback that answers what each connection sends as told, from the bytes it has read
// so far; counts the connections.
struct fake_peer {
    using answer = std::function<void(QTcpSocket& socket, const QByteArray& read)>;
    QTcpServer server;
    int connections = 0;
    explicit fake_peer(answer respond)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, respond] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                ++connections;
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket, respond] { respond(*socket, socket->readAll()); });
            }
        });
    }
    quint32 port() const { return server.serverPort(); }
};

long resident_kib()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    status.open(QIODevice::ReadOnly);
    return status.readAll().split(' ').value(1).toLong() * 4;
}

// A sentinel that trickles its answer does not hold the others' majority, and is given up at the
// question's deadline when its answer is needed; one that never answers PING on its listening
// link is listened to again; a peer announcing a huge reply costs a dropped connection, not the
// memory it announces.
TEST_F(RedisClientTest, NoPeerHoldsTheClientLongerOrCostsItMoreThanItsLimits)
{
    int trickler_listens = 0;
    fake_peer trickler([&](QTcpSocket& socket, const QByteArray& read) {
        if (read.contains("PSUBSCRIBE")) {
            ++trickler_listens;  // and never a word on that link
        } else if (read.contains("get-master-addr-by-name")) {
            // An answer whose port never ends, one byte every 300 ms: never a silence of 2 s.
            socket.write("*2\r\n$9\r\n127.0.0.1\r\n$");
            auto* drip = new QTimer(&socket);
            QObject::connect(drip, &QTimer::timeout, &socket, [&socket] { socket.write("1"); });
            drip->start(300);
        }
    });
    const QByteArray port = QByteArray::number(server.port());
    const fake_peer::answer as_sentinel = [&](QTcpSocket& socket, const QByteArray& read) {
        if (read.contains("PSUBSCRIBE"))
            socket.write("*3\r\n$10\r\npsubscribe\r\n$1\r\n*\r\n:1\r\n");
        for (int i = read.indexOf("PING"); i >= 0; i = read.indexOf("PING", i + 1))
            socket.write("*2\r\n$4\r\npong\r\n$0\r\n\r\n");
        if (read.contains("get-master-addr-by-name"))
            socket.write("*2\r\n$9\r\n127.0.0.1\r\n$" + QByteArray::number(port.size()) + "\r\n" + port + "\r\n");
    };
    fake_peer answering(as_sentinel), seconding(as_sentinel);
    redis::sentinel_locator sentinels(
        {{{"127.0.0.1", trickler.port()}, {"127.0.0.1", answering.port()}, {"127.0.0.1", seconding.port()}},
         "store",
         QString()});
    redis::connection_config config;
    config.source = &sentinels;
    redis::client c(config);
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(run(c, {{"PING"}})->done) << c.last_error().toStdString();
    const qint64 agreed = t.elapsed();
    EXPECT_LT(agreed, redis::sentinel_locator::question_limit_ms / 2);
    EXPECT_EQ(c.config().port, server.port());
    // Probed once a second, dropped past 2 s without an answer, listened to again 1 s later.
    EXPECT_TRUE(wait_until([&] { return trickler_listens >= 2; }, 6000));
    EXPECT_EQ(answering.connections, 2);  // its question and its listening link, both kept

    // Of two sentinels both must agree: the trickler is waited for until the deadline, then the
    // address is not used.
    redis::sentinel_locator pair(
        {{{"127.0.0.1", trickler.port()}, {"127.0.0.1", answering.port()}}, "store", QString()});
    redis::connection_config undecided;
    undecided.source = &pair;
    redis::client d(undecided);
    t.restart();
    const auto refused_address = run(d, {{"PING"}});
    const qint64 given_up = t.elapsed();
    EXPECT_EQ(refused_address->failure,
              QStringLiteral("the sentinels do not agree where the master \"store\" is (2 of 2 must name it): "
                             "127.0.0.1:%1: no whole answer within 2000 ms; 127.0.0.1:%2 names 127.0.0.1:%3")
                  .arg(trickler.port())
                  .arg(answering.port())
                  .arg(server.port()));
    EXPECT_GE(given_up, redis::sentinel_locator::question_limit_ms - 50);
    EXPECT_LT(given_up, redis::sentinel_locator::question_limit_ms + 1000);
    std::printf("two of three agreed after %lld ms; one of two, refused after %lld ms\n", agreed, given_up);

    fake_peer boaster([](QTcpSocket& socket, const QByteArray&) { socket.write("*2000000000\r\n"); });
    redis::client fooled(config_for(boaster.port()));
    const long before = resident_kib();
    const auto refused = run(fooled, {{"PING"}});
    EXPECT_TRUE(refused->failure.contains("beyond its limit")) << refused->failure.toStdString();
    EXPECT_LT(resident_kib() - before, 10 * 1024);
    std::printf("RSS %ld KiB before the huge header, %ld KiB after\n", before, resident_kib());
    run(fooled, {{"PING"}});
    EXPECT_EQ(fooled.stats().dials, 2u);  // the connection was dropped and is made again
}

}  // namespace

// A master, its replica and a sentinel: the client writes where the sentinel says, and after
// SENTINEL FAILOVER (the old master then answers READONLY) goes on with the new master.
TEST_F(RedisClientTest, ThroughSentinelsTheClientWritesToTheMasterAndFollowsAFailOver)
{
    test_redis first, second;
    redis_probe(second.port(), 0).run({"REPLICAOF", "127.0.0.1", QByteArray::number(first.port())});
    ASSERT_TRUE(wait_until(
        [&] {
            return redis_probe(first.port(), 0).run({"INFO", "replication"}).contains("state=online");
        },
        20000));
    const std::unique_ptr<test_redis> sentinel = test_redis::sentinel("store", first.port());

    redis::sentinel_locator unknown({{{"127.0.0.1", sentinel->port()}}, "other", QString()});
    redis::connection_config nowhere;
    nowhere.source = &unknown;
    redis::client lost(nowhere);
    EXPECT_TRUE(run(lost, {{"PING"}})->failure.startsWith("the sentinels do not agree where the master \"other\" is"))
        << lost.last_error().toStdString();

    redis::sentinel_locator sentinels({{{"127.0.0.1", sentinel->port()}}, "store", QString()});
    redis::connection_config config;
    config.source = &sentinels;
    redis::client c(config);
    EXPECT_TRUE(run(c, {{"SET", "k", "1"}})->done);
    EXPECT_EQ(c.config().port, first.port());

    // The sentinel learns of the replica from the master within ten seconds.
    ASSERT_TRUE(wait_until(
        [&] {
            return redis_probe(sentinel->port(), 0).run({"SENTINEL", "FAILOVER", "store"}) == "OK";
        },
        20000));
    int failures = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            const auto r = run(c, {{"SET", "k", "2"}});
            failures += r->failure.isEmpty() ? 0 : 1;
            return r->done && c.config().port == second.port();
        },
        30000))
        << c.last_error().toStdString();
    EXPECT_EQ(redis_probe(second.port(), 0).run({"GET", "k"}), "2");
    EXPECT_LE(failures, 10);
}

// Sentinel and master on TLS ports only as far as the client sees: the sentinel is asked over TLS
// and the master it names (an IP address, which the certificate carries) is written to.
TEST_F(RedisClientTest, ThroughATlsSentinelTheClientWritesToTheTlsMasterItNames)
{
    const test_certs certs;
    const std::unique_ptr<test_redis> master = test_redis::tls(certs.dir.path());
    const std::unique_ptr<test_redis> sentinel = test_redis::sentinel("store", master->tls_port(), certs.dir.path());
    redis::sentinel_config where{{{"127.0.0.1", sentinel->tls_port()}}, "store", QString()};
    where.tls = certs.settings();
    redis::sentinel_locator sentinels(where);
    redis::connection_config config;
    config.source = &sentinels;
    config.tls = certs.settings();
    redis::client c(config);
    EXPECT_TRUE(run(c, {{"SET", "k", "over tls"}})->done) << c.last_error().toStdString();
    EXPECT_EQ(c.config().port, master->tls_port());
    EXPECT_EQ(redis_probe(master->port(), 0).run({"GET", "k"}), "over tls");
}

// Three sentinels, one of them watching another Redis under the same name (a decoy, with a
// replica) and failing it over: its answers and events are outvoted, nothing is held by its
// fail-over, and neither the decoy nor its replica is ever sent a command or the password.
TEST_F(RedisClientTest, ASentinelNamingAnotherRedisIsOutvotedAndItsRedisNeverHearsFromTheClient)
{
    test_redis master, decoy, decoy_replica;
    redis_probe(master.port(), 0).run({"ACL", "SETUSER", "corvel", "on", ">secret", "~*", "+@all"});
    redis_probe(decoy_replica.port(), 0).run({"REPLICAOF", "127.0.0.1", QByteArray::number(decoy.port())});
    // The sentinels take the client by an ACL user of theirs, allowed what it needs only.
    const QByteArray watcher =
        "user watcher on >sentinel-secret &* -@all +sentinel|get-master-addr-by-name +psubscribe +ping\n";
    const std::unique_ptr<test_redis> first = test_redis::sentinel("store", master.port(), QString(), watcher);
    const std::unique_ptr<test_redis> liar = test_redis::sentinel("store", decoy.port(), QString(), watcher);
    const std::unique_ptr<test_redis> second = test_redis::sentinel("store", master.port(), QString(), watcher);
    redis::sentinel_config group{
        {{"127.0.0.1", first->port()}, {"127.0.0.1", liar->port()}, {"127.0.0.1", second->port()}},
        "store",
        "sentinel-secret"};
    group.user = "watcher";
    redis::sentinel_locator sentinels(group);
    QStringList disagreements;
    QObject::connect(&sentinels, &redis::sentinel_locator::disagreement,
                     [&](const QString& sentinel, const QString& what) { disagreements << sentinel + " " + what; });
    redis::connection_config config;
    config.source = &sentinels;
    config.user = "corvel";
    config.auth = "secret";
    redis::client c(config);
    EXPECT_TRUE(run(c, {{"SET", "n", "0"}})->done) << c.last_error().toStdString();
    EXPECT_EQ(c.config().port, master.port());
    const QString liar_name = QStringLiteral("127.0.0.1:%1").arg(liar->port());
    ASSERT_FALSE(disagreements.isEmpty());
    EXPECT_EQ(disagreements.first(),
              liar_name + QStringLiteral(" names 127.0.0.1:%1 as the master of \"store\", the majority 127.0.0.1:%2")
                              .arg(decoy.port())
                              .arg(master.port()));

    // The liar fails its decoy over (+try-failover, +switch-master to the replica) while the
    // client writes: not one command waits for it.
    ASSERT_TRUE(wait_until(
        [&] {
            return redis_probe(liar->port(), 0).run({"SENTINEL", "FAILOVER", "store"}) == "OK";
        },
        20000));
    const QString switched = QStringLiteral("+switch-master about 127.0.0.1:%1 ignored").arg(decoy.port());
    int writes = 0;
    qint64 longest = 0;
    while (disagreements.filter(switched).isEmpty() && writes < 2000) {
        QElapsedTimer one;
        one.start();
        ASSERT_TRUE(run(c, {{"INCR", "n"}})->done) << c.last_error().toStdString();
        longest = std::max(longest, one.elapsed());
        ++writes;
        QThread::msleep(10);
    }
    EXPECT_LT(writes, 2000);
    EXPECT_LT(longest, 500);
    // A new connection asks again: the liar now names the decoy's replica, still outvoted.
    EXPECT_TRUE(redis_probe(liar->port(), 0)
                    .run({"SENTINEL", "get-master-addr-by-name", "store"})
                    .endsWith(QByteArray::number(decoy_replica.port())));
    c.drop("asked to");
    ASSERT_TRUE(run(c, {{"INCR", "n"}})->done) << c.last_error().toStdString();
    EXPECT_EQ(c.config().port, master.port());
    EXPECT_EQ(redis_probe(master.port(), 0).run({"GET", "n"}), QByteArray::number(writes + 1));
    EXPECT_EQ(disagreements.last(),
              liar_name + QStringLiteral(" names 127.0.0.1:%1 as the master of \"store\", the majority 127.0.0.1:%2")
                              .arg(decoy_replica.port())
                              .arg(master.port()));
    // Every command the decoys ran since they started is the liar's own: no AUTH, ROLE or write.
    for (const test_redis* r : {&decoy, &decoy_replica}) {
        const QByteArray stats = redis_probe(r->port(), 0).run({"INFO", "commandstats"});
        for (const char* command : {"cmdstat_auth:", "cmdstat_role:", "cmdstat_incr:", "cmdstat_set:"})
            EXPECT_FALSE(stats.contains(command)) << command << " on " << r->port();
        EXPECT_EQ(redis_probe(r->port(), 0).run({"ACL", "LOG"}), "");
    }
    std::printf("%d commands answered by the master while the liar failed its decoy over, the longest in %lld ms; %lld "
                "disagreements\n",
                writes, longest, static_cast<long long>(disagreements.size()));
}
