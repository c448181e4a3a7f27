// The updater program: prepares logging and the application, clears leftovers of earlier
// updates, steps aside for a running instance, and runs one update stage in the main window.
#include "configuration.h"
#include "logfile.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updatechecker.h"
#include "updateengine.h"
#include "versionsinfo.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

namespace {

const int kStartDelayMs = 2000;

void removeLeftovers(const QString& appDir)
{
    UpdateEngine::removeQt4Files(appDir);
    for (const char* sub : {"", "/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + QLatin1String(sub));
    QDir().rmdir(appDir + "/old");
    qDebug() << "Removing old files done";
}

// The protobuf runtime's own lines, such as a reply that lacks a required field, belong with the
// program's other diagnostics, not on standard error.
void logProtobufLine(bool fatal, const std::string& line)
{
    if (fatal)
        qFatal("%s", line.c_str());
    qWarning("%s", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    verifyProtobufVersion();
    routeProtobufLog(logProtobufLine);
    registerUpdateVersionsMetaType();
    LogFile::instance();
    qInstallMessageHandler(updaterMessageHandler);

    QApplication app(argc, argv);
    const QString appDir = Configuration::getApplicationDir();
    qDebug() << "Voxlane updater started";
    removeLeftovers(appDir);

    if (SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        return 0;
    }

    // Missing translations are no error: the untranslated texts show.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(appDir + "/translations/update_" + locale);
    QCoreApplication::installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(appDir + "/translations/qt_" + locale);
    QCoreApplication::installTranslator(&qtTranslator);

    Configuration configuration;
    MainWindow window(&configuration);
    if (!configuration.parseCommandLineOptions()) {
        qWarning() << "Failed to parse command line options, aborting";
        return 1;
    }

    QTimer::singleShot(kStartDelayMs, &window, &MainWindow::onStartUpdate);
    window.setVersionText();
    window.show();
    window.delete_force_update_files();
    const int rc = app.exec();

    LogFile::instance()->close();
    shutdownProtobuf();
    return rc;
}
