#include "processtools.h"

#include "configuration.h"

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

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    const QString path = dir + "/update";
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        return false;
    }
    qDebug() << "starting" << path;
    return QProcess::startDetached(path, arguments, dir);
}
