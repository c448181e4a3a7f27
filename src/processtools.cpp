#include "processtools.h"

#include "configuration.h"
#include "filelock.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

void ProcessTools::startVl3Client(const QString& dir)
{
    qDebug() << "startVl3Client";
    const QString path = dir + "/" + Configuration::getClientStartScript();
    qDebug() << "starting " << path;
    QProcess::startDetached(path, QStringList(), dir);
}

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments, const FileLock& session)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    const QString path = dir + "/update";
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        return false;
    }
    qDebug() << "starting" << path;
    QProcess process;
    process.setProgram(path);
    process.setArguments(arguments);
    process.setWorkingDirectory(dir);
    return session.startDetachedHolding(&process);
}
