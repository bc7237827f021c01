#include "redis_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

// Runs the service binary as operators do and looks at what it leaves behind.
namespace {

quint32 closed_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class ServiceProcessTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QProcess service;

    void TearDown() override
    {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(5000);
        }
    }

    void write(const QString& name, const QByteArray& text)
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
    }

    QByteArray read(const QString& name)
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    void start(const QStringList& args)
    {
        service.setWorkingDirectory(dir.path());
        service.start(QStringLiteral(CORVEL_BINARY), args);
        ASSERT_TRUE(service.waitForStarted(5000));
    }

    // Waits for the process to end on its own; its exit code, or -1 if it keeps running.
    int exit_code_within(int ms)
    {
        if (!service.waitForFinished(ms))
            return -1;
        return service.exitStatus() == QProcess::NormalExit ? service.exitCode() : -2;
    }

    bool wait_for(const std::function<bool()>& condition, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!condition()) {
            if (t.elapsed() > ms)
                return false;
            if (service.state() == QProcess::Running)
                service.waitForReadyRead(50);
            else
                QThread::msleep(50);
            stderr_text += service.readAllStandardError();
        }
        return true;
    }

    QByteArray stderr_text;
};

TEST_F(ServiceProcessTest, HelpIsAnInvalidCommandLine)
{
    for (const QString& option : {QStringLiteral("-h"), QStringLiteral("--help"), QStringLiteral("-c")}) {
        start({option});
        EXPECT_EQ(exit_code_within(5000), 1) << option.toStdString();
        EXPECT_FALSE(service.readAllStandardError().isEmpty());
        EXPECT_FALSE(QFile::exists(dir.filePath("corvel.log")));  // nothing was started
    }
}

TEST_F(ServiceProcessTest, MissingConfigFileRunsOnDefaults)
{
    start({"-c", "does-not-exist.ini"});
    EXPECT_EQ(exit_code_within(1000), -1);  // still running
    EXPECT_TRUE(QFile::exists(dir.filePath("corvel.log")));
    EXPECT_FALSE(QFile::exists(dir.filePath("does-not-exist.ini")));
}

TEST_F(ServiceProcessTest, LogFileIsAppendedInTheLineFormat)
{
    write("corvel.ini", "[REDIS_SETTINGS]\nPORT=" + QByteArray::number(closed_port()) + "\n");
    write("corvel.log", "an earlier line\r\n");
    start({});
    ASSERT_TRUE(wait_for([&] { return read("corvel.log").contains("start-up"); }, 5000)) << read("corvel.log").constData();
    const QByteArray text = read("corvel.log");
    EXPECT_TRUE(text.startsWith("an earlier line\r\n"));
    const QRegularExpression line(
        R"(^an earlier line\r\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}0x[0-9a-f]+ Error : Cannot look for staging keys at start-up: [^\r\n]+\r\n)"
        R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}0x[0-9a-f]+ Error : [^\r\n]+\r\n)*$)");  // then the broker's refusals
    EXPECT_TRUE(line.match(QString::fromLatin1(text)).hasMatch()) << text.constData();
}

// As logrotate does without copytruncate: the file is moved away, SIGHUP, and the lines go on in
// a new file. SIGTERM then stops the service cleanly even with no broker to talk to.
TEST_F(ServiceProcessTest, SighupReopensTheLogFileAndSigtermStopsCleanly)
{
    write("corvel.ini", "[GENERAL_SETTINGS]\nLOG_LEVEL=INFORM\n[REDIS_SETTINGS]\nPORT=" + QByteArray::number(closed_port()) + "\n");
    start({});
    ASSERT_TRUE(wait_for([&] { return read("corvel.log").contains("starting (pid"); }, 5000)) << read("corvel.log").constData();
    ASSERT_TRUE(QFile::rename(dir.filePath("corvel.log"), dir.filePath("corvel.log.1")));
    ::kill(static_cast<pid_t>(service.processId()), SIGHUP);
    ASSERT_TRUE(wait_for([&] { return read("corvel.log").contains("Log file reopened on SIGHUP"); }, 5000));
    EXPECT_TRUE(read("corvel.log.1").contains("starting (pid"));
    EXPECT_FALSE(read("corvel.log.1").contains("reopened"));

    service.terminate();
    EXPECT_EQ(exit_code_within(15000), 0);
    EXPECT_TRUE(read("corvel.log").contains("Stopped cleanly")) << read("corvel.log").constData();
}

TEST_F(ServiceProcessTest, UnopenableLogFileIsReportedOnceAndTheServiceRuns)
{
    write("corvel.ini", "[GENERAL_SETTINGS]\nLOG_FILE_PATH=no/such/dir/corvel.log\n");
    start({});
    EXPECT_EQ(exit_code_within(1000), -1);
    const QByteArray err = service.readAllStandardError();
    EXPECT_TRUE(err.contains("no/such/dir/corvel.log")) << err.constData();
    EXPECT_EQ(err.count('\n'), 1) << err.constData();
}

TEST_F(ServiceProcessTest, BindingWithoutColonStopsStartUp)
{
    write("corvel.ini", "[AMQP_SETTINGS]\nR_BINDINGS=\"norva.auth:clients.devices, oops\"\n");
    start({});
    EXPECT_EQ(exit_code_within(5000), 1);
    EXPECT_TRUE(service.readAllStandardError().contains("\"oops\""));
}

// The one test that waits the real interval: staging keys found at start-up are promoted 21 s later.
TEST_F(ServiceProcessTest, LeftoverStagingKeysArePromotedOneIntervalAfterStartUp)
{
    test_redis& server = test_redis::shared();
    redis_probe probe(server.port());
    probe.flush();
    probe.run({"SADD", "tmp:dev:clients:42", "K"});
    write("corvel.ini", "[REDIS_SETTINGS]\nPORT=" + QByteArray::number(server.port()) + "\n");
    start({});
    QElapsedTimer since_start;
    since_start.start();
    ASSERT_TRUE(wait_for([&] { return probe.exists("dev:clients:42"); }, 30000));
    EXPECT_GE(since_start.elapsed(), 20500);
    EXPECT_FALSE(probe.exists("tmp:dev:clients:42"));
    EXPECT_TRUE(wait_for([&] { return stderr_text.contains("Sequence end, end rename \"tmp:\"\t"); }, 2000)) << stderr_text.constData();
    EXPECT_TRUE(stderr_text.contains("Sequence end, start rename \"tmp:\"\t QDateTime(")) << stderr_text.constData();
}

}  // namespace
