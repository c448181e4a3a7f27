#include "tempdir.h"

#include "privileges.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

QString TempDirTest::path(const QString& relative) const
{
    return relative.isEmpty() ? m_Dir.path() : m_Dir.filePath(relative);
}

QString TempDirTest::writeFile(const QString& relative, const QByteArray& content)
{
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).path());
    QFile f(p);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly)) << p.toStdString();
    EXPECT_EQ(f.write(content), content.size());
    return p;
}

QString TempDirTest::makeDir(const QString& relative)
{
    const QString p = path(relative);
    EXPECT_TRUE(QDir().mkpath(p)) << p.toStdString();
    return p;
}

QString TempDirTest::makeSharedDir(const QString& relative)
{
    const QString p = makeDir(relative);
    EXPECT_EQ(::chmod(QFile::encodeName(path()).constData(), 0711), 0);
    EXPECT_EQ(::chmod(QFile::encodeName(p).constData(), 01777), 0) << p.toStdString();
    return p;
}

QByteArray TempDirTest::readFile(const QString& absolutePath)
{
    QFile f(absolutePath);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

int runCommand(const QString& commandLine, bool asNobody)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    if (asNobody)
        startAsNobody(&p, "/bin/sh", {"-c", commandLine});
    else
        p.start("/bin/sh", {"-c", commandLine});
    if (!p.waitForFinished(60000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
