#include "privileges.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
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

ActingAsNobody::ActingAsNobody()
{
    const passwd* user = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    const int count = ::getgroups(0, nullptr);
    if (::geteuid() != 0 || !user || !nogroup || count < 0)
        return;
    const uid_t uid = user->pw_uid;
    const gid_t gid = nogroup->gr_gid;
    m_Group = ::getegid();
    m_Groups.resize(std::size_t(count));
    if (::getgroups(count, m_Groups.data()) != count)
        return;
    // The groups before the user: as nobody the process may no longer change them.
    m_Acting = ::setgroups(0, nullptr) == 0 && ::setegid(gid) == 0 && ::seteuid(uid) == 0;
    if (!m_Acting) {
        ::setgroups(m_Groups.size(), m_Groups.data());
        ::setegid(m_Group);
    }
}

ActingAsNobody::~ActingAsNobody()
{
    if (!m_Acting)
        return;
    EXPECT_EQ(::seteuid(0), 0);
    EXPECT_EQ(::setegid(m_Group), 0);
    EXPECT_EQ(::setgroups(m_Groups.size(), m_Groups.data()), 0);
}
