// File logging of every Qt diagnostic of the process, switched on by the user's own marker file in
// the temporary directory ("vl3_update_log") that must exist when the program starts.
#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

class LogFile {
public:
    // The one object of the process, created and opened on first use; never deleted.
    static LogFile* instance();

    // Decides once, from the marker file, whether file logging is on.
    LogFile();

    // Creates the log folder and a new log file, both private, when file logging is on.
    void open();
    // Appends one line with the time and the level text of `type`; flushes it at once.
    void write(QtMsgType type, const QString& message);
    // Flushes and closes the file at the end of the program.
    void close();

    static QString markerPath();
    static QString folderPath();
    // "update__" + local date and time with ":" as "_" and "T" as "__", + ".log"; from the
    // second start within the same second on, "_" + `number` before ".log".
    static QString fileName(const QDateTime& startTime, int number = 1);

    static bool enabled;

    QFile* file;
    QTextStream stream;
};

// The line time format, local time with milliseconds after a colon.
extern const QString g_logTimeFormat;

// Installed with qInstallMessageHandler: writes every message to the log file when logging is on,
// and a fatal one, after the last few warnings, to stderr too before it aborts the process.
void updaterMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
