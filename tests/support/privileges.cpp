#include "privileges.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <unistd.h>

bool rerunCurrentTestAsNobody()
{
    if (geteuid() != 0)
        return false;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QString("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name());
    const QString self = QFile::symLinkTarget("/proc/self/exe");
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    startAsNobody(&child, self, {filter});
    const bool ended = child.waitForFinished(120000);
    EXPECT_TRUE(ended) << "the unprivileged run did not end";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << "the test failed when run as nobody";
    return true;
}

void startAsNobody(QProcess* process, const QString& program, const QStringList& arguments)
{
    process->start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", program} + arguments);
}
