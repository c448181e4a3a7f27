#include "privatecopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const char* const kMarker = "VL_TEST_PRIVATE_COPY";

} // namespace

bool runInPrivateCopy(const QString& dir, const QStringList& arguments, const QProcessEnvironment& environment)
{
    if (qEnvironmentVariableIsSet(kMarker))
        return true;

    const QString self = QFile::symLinkTarget("/proc/self/exe");
    const QString copy = QDir(dir).filePath(QFileInfo(self).fileName());
    QDir().mkpath(dir);
    // A hard link is enough where the file systems allow it, and saves copying a large binary.
    if (::link(QFile::encodeName(self).constData(), QFile::encodeName(copy).constData()) != 0
        && !QFile::copy(self, copy)) {
        ADD_FAILURE() << "cannot copy " << self.toStdString() << " to " << copy.toStdString();
        return false;
    }

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    QStringList args{QString("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name())};
    args += arguments;
    QProcessEnvironment env = environment;
    env.insert(kMarker, "1");
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(copy, args);
    const bool ended = child.waitForFinished(120000);
    const QByteArray output = child.readAllStandardOutput();
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    EXPECT_TRUE(ended) << "the run in the private copy did not end";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << "the test failed in its private copy";
    // A filter that matched nothing would pass without running anything.
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test.")) << "the test did not run in its private copy";
    QFile::remove(copy);
    return false;
}
