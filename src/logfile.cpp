#include "logfile.h"

#include "configuration.h"

#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool LogFile::enabled = false;
const QString g_logTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");

namespace {

// Starts within the same second share a name; later ones number theirs.
const int kNamesPerSecond = 100;

LogFile* g_logFile = nullptr;
// Messages arrive from worker threads too: one line at a time reaches the stream.
QBasicMutex g_logMutex;

// A fatal message goes to standard error with the last warnings before it, which usually say
// what led to it (no display: Qt's warning names the display, its fatal message does not).
const int kWarningsKept = 3;
QStringList* g_lastWarnings = nullptr;

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

// The marker lies in the shared temporary folder, where any account may create one.
bool isOwnEntry(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid == ::geteuid();
}

// A new file only this user can read; an existing entry of that name, a symbolic link above
// all, is never opened. -1 when no name is free.
int createLogFile(const QString& folder, const QDateTime& startTime)
{
    for (int n = 1; n <= kNamesPerSecond; ++n) {
        const QByteArray path = QFile::encodeName(folder + LogFile::fileName(startTime, n));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
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
    enabled = isOwnEntry(markerPath());
}

QString LogFile::markerPath()
{
    return QDir::tempPath() + "/vl3_update_log";
}

QString LogFile::folderPath()
{
    return QDir::toNativeSeparators(QDir::tempPath() + QDir::separator() + "voxlane_update_log" + QDir::separator());
}

QString LogFile::fileName(const QDateTime& startTime, int number)
{
    QString stamp = startTime.toString(Qt::ISODate);
    stamp.replace(':', '_');
    stamp.replace('T', "__");
    const QString suffix = number > 1 ? '_' + QString::number(number) : QString();
    return "update__" + stamp + suffix + ".log";
}

void LogFile::open()
{
    if (!enabled)
        return;
    const QString folder = folderPath();
    // Only a folder that no other account can change or fill with links of its own is used.
    ::mkdir(QFile::encodeName(QDir::cleanPath(folder)).constData(), 0700);
    if (!Configuration::isPrivateDirectory(folder))
        return;
    const int fd = createLogFile(folder, QDateTime::currentDateTime());
    if (fd < 0)
        return;
    file = new QFile;
    file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle);
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

void updaterMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QMutexLocker lock(&g_logMutex);
    if (LogFile::enabled)
        instanceLocked()->write(type, message);
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        if (!g_lastWarnings)
            g_lastWarnings = new QStringList;
        g_lastWarnings->append(qFormatLogMessage(type, context, message));
        if (g_lastWarnings->size() > kWarningsKept)
            g_lastWarnings->removeFirst();
    }
    // A fatal message can end a start before any window shows: whoever started it must learn why,
    // whether or not the log is on.
    if (type == QtFatalMsg) {
        for (const QString& warning : g_lastWarnings ? *g_lastWarnings : QStringList())
            std::fprintf(stderr, "%s\n", warning.toLocal8Bit().constData());
        std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
        std::abort();
    }
}
