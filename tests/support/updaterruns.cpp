#include "updaterruns.h"

#include <QDir>
#include <QFile>
#include <csignal>

QList<pid_t> processesRunningFrom(const QString& location)
{
    QList<pid_t> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (numeric && QFile::symLinkTarget("/proc/" + entry + "/exe").startsWith(location))
            found << pid;
    }
    return found;
}

void killProcessesRunningFrom(const QString& location)
{
    for (const pid_t pid : processesRunningFrom(location))
        ::kill(pid, SIGKILL);
}

namespace {

QStringList logFiles(const QDir& folder)
{
    return folder.entryList(QDir::Files, QDir::Name);
}

QByteArray contentOf(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

QString updaterLogs(const QString& tempDir)
{
    QString all;
    const QDir folder(tempDir + "/voxlane_update_log");
    for (const QString& name : logFiles(folder))
        all += "==== " + name + "\n" + QString::fromLocal8Bit(contentOf(folder.filePath(name)));
    return all;
}

QByteArray updaterLogLine(const QString& tempDir, const QByteArray& text)
{
    const QDir folder(tempDir + "/voxlane_update_log");
    for (const QString& name : logFiles(folder)) {
        for (const QByteArray& line : contentOf(folder.filePath(name)).split('\n')) {
            if (line.contains(text))
                return line;
        }
    }
    return QByteArray();
}

const char kPlatformLeakSuppressions[] = "leak:libqoffscreen.so\n"
                                         "leak:QScreen::QScreen\n"
                                         "leak:QGuiApplicationPrivate::createPlatformIntegration\n"
                                         "leak:libdbus-1.so\n"
                                         "leak:libfontconfig.so\n"
                                         "leak:libxcb\n"
                                         "leak:libX11.so\n";
