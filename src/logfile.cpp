#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <cstdlib>

bool LogFile::enabled = false;
const QString g_logTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");

namespace {

LogFile* g_logFile = nullptr;
// Messages arrive from worker threads too: one line at a time reaches the stream.
QBasicMutex g_logMutex;

const char* levelText(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        return "\t|\tFatal\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    }
    return nullptr;
}

LogFile* instanceLocked()
{
    if (!g_logFile) {
        g_logFile = new LogFile;
        g_logFile->open();
    }
    return g_logFile;
}

} // namespace

LogFile* LogFile::instance()
{
    QMutexLocker lock(&g_logMutex);
    return instanceLocked();
}

LogFile::LogFile()
    : file(nullptr)
{
    enabled = QFile::exists(markerPath());
}

QString LogFile::markerPath()
{
    return QDir::tempPath() + "/vl3_update_log";
}

QString LogFile::folderPath()
{
    return QDir::toNativeSeparators(QDir::tempPath() + QDir::separator() + "voxlane_update_log" + QDir::separator());
}

QString LogFile::fileName(const QDateTime& startTime)
{
    QString stamp = startTime.toString(Qt::ISODate);
    stamp.replace(':', '_');
    stamp.replace('T', "__");
    return "update__" + stamp + ".log";
}

void LogFile::open()
{
    if (!enabled)
        return;
    const QString folder = folderPath();
    if (!QDir(folder).exists())
        QDir().mkdir(folder);
    file = new QFile(folder + fileName(QDateTime::currentDateTime()));
    file->open(QIODevice::WriteOnly | QIODevice::Text);
    stream.setDevice(file);
}

void LogFile::write(QtMsgType type, const QString& message)
{
    const char* level = levelText(type);
    if (!level || !file)
        return;
    stream << QDateTime::currentDateTime().toString(g_logTimeFormat) << level << message.toLocal8Bit() << "\n";
    stream.flush();
}

void LogFile::close()
{
    if (!file)
        return;
    stream.flush();
    file->close();
}

void updaterMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (!LogFile::enabled)
        return;
    QMutexLocker lock(&g_logMutex);
    LogFile* log = instanceLocked();
    log->write(type, message);
    if (type == QtFatalMsg)
        std::abort();
}
