#include "logger.h"
#include "stderr_batch.h"

#include <QEventLoop>
#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QByteArray read_all(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

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
    qDebug() << "Put to redis:" << 2 << "modems";
    const QByteArray before = read_all(path);
    QEventLoop idle;  // waits for the timer: the loop blocks, and flushes first
    QTimer::singleShot(20, &idle, &QEventLoop::quit);
    idle.exec();
    const QByteArray after = read_all(path);
    qInstallMessageHandler(nullptr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "Put to redis: 1 clients\nPut to redis: 2 modems\n");
}

}  // namespace
