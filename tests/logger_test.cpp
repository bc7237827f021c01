#include "amqp_peer.h"
#include "log_queue.h"
#include "logger.h"
#include "stderr_batch.h"
#include "utc_stamp.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

QByteArray read_all(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// Counts how often it is formatted into a line.
struct counted {
    static inline int formatted = 0;
    friend QTextStream& operator<<(QTextStream& out, const counted&) { return out << ++formatted; }
};

class LoggerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath("test.log");
};

TEST_F(LoggerTest, ErrorLineHasTheExactFormat)
{
    {
        logger log(path, QString());
        log.error() << "abc";
    }
    const QByteArray text = read_all(path);
    const QRegularExpression line(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}0x[0-9a-f]+ Error : abc\r\n$)");
    EXPECT_TRUE(line.match(QString::fromLatin1(text)).hasMatch()) << text.constData();
}

TEST_F(LoggerTest, PiecesJoinWithoutSeparatorAndKeepThePrefix)
{
    {
        logger log(path, QStringLiteral("pre"));
        log.set_log_level(DEBUG);
        log.debug() << "a" << QStringLiteral("b") << QByteArray("\xc3\xa9");  // UTF-8 bytes decode
    }
    EXPECT_TRUE(read_all(path).endsWith(" Debug pre: ab\xc3\xa9\r\n")) << read_all(path).constData();
}

TEST_F(LoggerTest, LevelsFilterLines)
{
    {
        logger log(path, QString());
        log.debug() << "dropped at ERROR";
        log.error() << "kept at ERROR";
        log.set_log_level(OFF);
        log.error() << "dropped at OFF";
        log.set_log_level(DEBUG);
        log.warning() << "kept warning";
        log.debug() << "kept debug";
    }
    const QByteArray text = read_all(path);
    EXPECT_EQ(text.count("\r\n"), 3);
    EXPECT_FALSE(text.contains("dropped"));
    EXPECT_TRUE(text.contains("Warning : kept warning"));
}

TEST_F(LoggerTest, AppendsAcrossInstances)
{
    {
        logger log(path, QString());
        log.error() << "first";
    }
    {
        logger log(path, QString());
        log.error() << "second";
    }
    const QByteArray text = read_all(path);
    EXPECT_LT(text.indexOf("first"), text.indexOf("second"));
    EXPECT_EQ(text.count("\r\n"), 2);
}

TEST_F(LoggerTest, UnopenableFileDoesNotStopLogging)
{
    logger log(dir.filePath("missing/dir/x.log"), QString());
    log.error() << "lost";
    EXPECT_FALSE(QFile::exists(dir.filePath("missing/dir/x.log")));
}

// The first 5 lines of a kind in an interval are written whole, the others told by one line once
// the interval is over (by the timer when nothing else is written), and the next interval starts
// afresh; what is left out when the logger goes is told then.
TEST_F(LoggerTest, RepeatedLinesOfAKindAreSummarisedPerInterval)
{
    const log_kind held(QStringLiteral("Command held"));
    const log_kind other(QStringLiteral("Other"));
    {
        logger log(path, QString());
        log.set_summary_interval(std::chrono::milliseconds(500));
        for (int i = 0; i < 3005; ++i)
            log.error(held) << "Command held, cmd_id " << counted{};
        log.error(other) << "other kind";
        EXPECT_TRUE(wait_until([&] { return read_all(path).contains("more like it"); }, 5000))
            << read_all(path).constData();
        for (int i = 0; i < 7; ++i)
            log.error(held) << "Command held again" << counted{};
    }
    const QList<QByteArray> lines = read_all(path).split('\n');
    QList<QByteArray> summaries;
    int whole = 0;
    for (const QByteArray& line : lines) {
        if (line.contains("more like it"))
            summaries << line.mid(line.indexOf(" Error : ") + 9).trimmed();
        else
            whole += line.contains(" Error : Command held");
    }
    EXPECT_EQ(whole, 10);
    EXPECT_EQ(counted::formatted, 10);  // the lines left out were never formatted
    EXPECT_EQ(summaries, (QList<QByteArray>{"Command held: ... and 3,000 more like it in the last 500 ms",
                                            "Command held: ... and 2 more like it in the last 500 ms"}));
    EXPECT_EQ(read_all(path).count("other kind"), 1);
}

TEST_F(LoggerTest, ReopenedLogGoesToANewFileAtThePath)
{
    logger log(path, QString());
    log.error() << "before rotation";
    ASSERT_TRUE(QFile::rename(path, path + ".1"));
    log.error() << "still to the moved file";
    log.reopen();
    log.error() << "after reopening";
    ASSERT_TRUE(log.flush());
    const QByteArray old = read_all(path + ".1"), fresh = read_all(path);
    EXPECT_TRUE(old.contains("before rotation") && old.contains("still to the moved file") && !old.contains("after"));
    EXPECT_TRUE(fresh.endsWith("Error : after reopening\r\n") && fresh.count("\r\n") == 1) << fresh.constData();
    struct stat mode {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0640u);  // as logrotate makes it
}

// stderr-json: one object per line, the command's id and type as fields of their own.
TEST_F(LoggerTest, JsonTargetWritesOneObjectPerLineWithTheCommandsFields)
{
    const int saved = ::dup(STDERR_FILENO);
    QFile captured(dir.filePath("stderr"));
    ASSERT_TRUE(captured.open(QIODevice::ReadWrite));
    ::dup2(captured.handle(), STDERR_FILENO);
    {
        logger log(log_settings{log_target::stderr_json, path, DEBUG}, QString());
        const QUuid id = QUuid::createUuid();
        log.error() << "Command rejected, " << command_named{id, QStringLiteral("odd\n\"type")} << ": why";
        log.info() << "plain";
        stderr_batch::install();  // a diagnostic line is an object too, its text the message
        qDebug() << "Put to redis:" << 1 << "clients\t";
        stderr_batch::flush();
        qInstallMessageHandler(nullptr);
    }
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    const QList<QByteArray> lines = read_all(captured.fileName()).split('\n');
    ASSERT_EQ(lines.size(), 4) << read_all(captured.fileName()).constData();  // and nothing after the last line feed
    EXPECT_EQ(QJsonDocument::fromJson(lines[2]).object()["message"], "Put to redis: 1 clients\t")
        << lines[2].constData();
    const QJsonObject rejected = QJsonDocument::fromJson(lines[0]).object(),
                      plain = QJsonDocument::fromJson(lines[1]).object();
    EXPECT_EQ(rejected["level"], "error");
    EXPECT_EQ(rejected["msg_type"], "odd\\n\"type");  // escaped as in the text log
    EXPECT_EQ(rejected["message"].toString(),
              "Command rejected, cmd_id {" + rejected["cmd_id"].toString() + "}, msg_type \"odd\\n\"type\": why");
    EXPECT_TRUE(QDateTime::fromString(rejected["time"].toString(), Qt::ISODateWithMs).isValid());
    EXPECT_EQ(plain["level"], "info");
    EXPECT_EQ(plain["message"], "plain");
    EXPECT_FALSE(plain.contains("cmd_id") || plain.contains("msg_type"));
    EXPECT_FALSE(QFile::exists(path));  // the file target's path is not used
}

// Standard error a pipe nobody reads: the loop turns on while the lines pile up, those that do not
// fit are dropped and counted, and once the pipe is read again the lines that got through come in
// order, then a note of how many were lost, then the next line.
TEST(LogQueue, APipeNobodyReadsNeverHoldsUpTheLoop)
{
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    QByteArray read_back;
    std::mutex read_mutex;
    const auto read_text = [&] {
        std::lock_guard<std::mutex> lock(read_mutex);
        return read_back;
    };
    std::atomic<bool> reading{false}, rescued{false}, done{false};
    // Reads the pipe once asked to, or after 20 s: a loop held up fails the test instead of hanging it.
    std::thread reader([&] {
        for (int i = 0; i < 400 && !reading; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rescued = !reading;
        ::fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
        char buffer[65536];
        while (!done) {
            const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(read_mutex);
                read_back.append(buffer, static_cast<int>(n));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    });
    const std::uint64_t dropped_before = log_queue::dropped_total();
    constexpr int ticks = 20, lines_per_tick = 5000;  // about 7 MB of JSON lines, well over the queue
    QElapsedTimer clock;
    clock.start();
    {
        logger log(log_settings{log_target::stderr_json, QString(), DEBUG}, QString());
        QEventLoop loop;
        QTimer tick;
        int turns = 0, line = 0;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            for (int i = 0; i < lines_per_tick; ++i)
                log.debug() << "line " << QString::number(++line);
            if (++turns == ticks) {
                tick.stop();
                loop.quit();
            }
        });
        tick.start(1);
        loop.exec();
        EXPECT_LT(clock.elapsed(), 10000);
        reading = true;
        ASSERT_TRUE(log.flush(std::chrono::seconds(10)));  // what got into the queue, now that room is made
        const std::uint64_t dropped = log_queue::dropped_total() - dropped_before;
        EXPECT_GT(dropped, 0u);
        log.debug() << "after the gap";
        EXPECT_TRUE(wait_until([&] { return read_text().contains("after the gap"); }, 10000));
        done = true;
        reader.join();
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        EXPECT_FALSE(rescued);

        const QList<QByteArray> lines = read_back.trimmed().split('\n');
        ASSERT_GE(lines.size(), 3);
        int expected = 1;
        for (const QByteArray& l : lines.mid(0, lines.size() - 2)) {
            const QString message = QJsonDocument::fromJson(l).object()["message"].toString();
            ASSERT_EQ(message, QStringLiteral("line %1").arg(expected++)) << l.constData();
        }
        const QJsonObject note = QJsonDocument::fromJson(lines[lines.size() - 2]).object();
        EXPECT_EQ(note["level"], "warning");
        EXPECT_EQ(note["message"], lost_lines_note(dropped));
        EXPECT_EQ(dropped, static_cast<std::uint64_t>(ticks * lines_per_tick - (expected - 1)));
        EXPECT_EQ(QJsonDocument::fromJson(lines.last()).object()["message"], "after the gap");
    }
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(UtcStamp, PrintsAsQDebugPrintsTheUtcTime)
{
    // Padded fields, a leap day, both ends of a millisecond's cache, the same instant twice.
    for (const qint64 ms : {qint64(0), qint64(951782400005), qint64(1765270081456), qint64(1765270081456),
                            qint64(1765270081457), qint64(253402300799999)}) {
        QString expected;
        QDebug(&expected).nospace() << QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        EXPECT_EQ(QString::fromLatin1(utc_stamp_at(ms).text), expected);
    }
}

// Diagnostic lines reach standard error together once the loop has nothing left to do.
TEST(StderrBatch, LinesOfATurnGoOutTogetherWhenTheLoopIdles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("stderr");
    fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    QFile target(path);
    ASSERT_TRUE(target.open(QIODevice::WriteOnly));
    ::dup2(target.handle(), STDERR_FILENO);

    stderr_batch::install();
    qDebug() << "Put to redis:" << 1 << "clients";
    qDebug() << "Put to redis:" << 2 << "modems \xc3\xa9";  // not ASCII: in the locale's encoding
    const QByteArray before = read_all(path);
    QEventLoop idle;  // waits for the timer: the loop blocks, and hands the lines over first
    QTimer::singleShot(20, &idle, &QEventLoop::quit);
    idle.exec();
    QByteArray after;
    for (int i = 0; i < 100 && (after = read_all(path)).isEmpty(); ++i)
        QThread::msleep(10);
    qInstallMessageHandler(nullptr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    EXPECT_EQ(before, "");
    EXPECT_EQ(after,
              "Put to redis: 1 clients\n" + QString::fromUtf8("Put to redis: 2 modems \xc3\xa9\n").toLocal8Bit());
}

}  // namespace
