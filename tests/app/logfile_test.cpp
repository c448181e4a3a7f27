// File logging: the log file's name, the line format of every level, whole lines from several
// threads at once, and the fatal line reaching the file before the process aborts.
#include "logfile.h"
#include "tempdir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <vector>

namespace {

class LogFileTest : public TempDirTest {};

TEST_F(LogFileTest, FileNameHasNoColonsAndSeparatesDateAndTime)
{
    EXPECT_EQ(LogFile::fileName(QDateTime(QDate(2026, 12, 6), QTime(8, 31, 5))), "update__2026-12-06__08_31_05.log");
}

// The log object exists once per process, so one test drives it from start to end.
TEST_F(LogFileTest, MarkerSwitchesOnWholeLinesOfEveryLevel)
{
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", path().toLocal8Bit());
    writeFile("vl3_update_log");
    LogFile* log = LogFile::instance();
    ASSERT_TRUE(LogFile::enabled);
    ASSERT_NE(log->file, nullptr);
    EXPECT_EQ(LogFile::instance(), log);

    const QtMessageHandler previous = qInstallMessageHandler(updaterMessageHandler);
    qDebug("plain debug");
    qInfo("an info");
    qWarning("a warning");
    qCritical("a critical");
    const int threadCount = 4;
    const int linesPerThread = 200;
    std::vector<QThread*> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.push_back(QThread::create([t] {
            for (int i = 0; i < linesPerThread; ++i)
                qDebug("thread %d line %d of a somewhat longer text", t, i);
        }));
        threads.back()->start();
    }
    for (QThread* thread : threads) {
        thread->wait();
        delete thread;
    }
    // A fatal message is flushed to the file before the process aborts.
    EXPECT_EXIT(qFatal("the end"), testing::KilledBySignal(SIGABRT), "");
    qInstallMessageHandler(previous);
    qputenv("TMPDIR", oldTmp);

    const QStringList files = QDir(path("voxlane_update_log")).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$").match(files[0]).hasMatch())
        << files[0].toStdString();
    const QStringList lines = QString::fromLocal8Bit(readFile(path("voxlane_update_log/" + files[0]))).split('\n');
    ASSERT_EQ(lines.size(), 4 + threadCount * linesPerThread + 1 + 1) << "the file ends with a line end";
    EXPECT_TRUE(lines.last().isEmpty());

    const QRegularExpression format("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\t(\\w+)\\t\\|\\t(.*)$");
    QStringList levels;
    int threadLines = 0;
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch match = format.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        if (match.captured(2).startsWith("thread ")) {
            EXPECT_TRUE(match.captured(2).endsWith(" of a somewhat longer text")) << lines[i].toStdString();
            ++threadLines;
        } else {
            levels << match.captured(1) + ":" + match.captured(2);
        }
    }
    EXPECT_EQ(threadLines, threadCount * linesPerThread);
    EXPECT_EQ(levels, (QStringList{"Debug:plain debug", "Info:an info", "Warning:a warning", "Critical:a critical",
                                   "Fatal:the end"}));
}

} // namespace
