// Collects the debug log while it lives: what the updater writes there from any thread, the
// network and pool threads included, as its log file would hold it.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class DebugLog {
public:
    DebugLog()
    {
        QMutexLocker lock(&s_Mutex);
        s_Lines.clear();
        s_Previous = qInstallMessageHandler(&DebugLog::handle);
    }
    ~DebugLog() { qInstallMessageHandler(s_Previous); }
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    static QStringList lines()
    {
        QMutexLocker lock(&s_Mutex);
        return s_Lines;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        QMutexLocker lock(&s_Mutex);
        s_Lines << text;
    }

    static inline QMutex s_Mutex;
    static inline QStringList s_Lines;
    static inline QtMessageHandler s_Previous = nullptr;
};
