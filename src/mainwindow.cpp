#include "mainwindow.h"

#include "configuration.h"
#include "prepostinstalltaskspecification.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString g_forceUpdateFile = QStringLiteral("vl3_force_update");
const QString g_forceUpdateCheckFile = QStringLiteral("vl3_force_update_check");

namespace {

const char* const kMakerUrl = "https://www.voxlane.example/";
const int kHandOverDelayMs = 1000;

// Set while the "Update cancelled" box is open, so a second report opens no second box.
bool g_cancelBoxOpen = false;

// The temporary folder is shared with other accounts, who may have put anything under the
// marker's name: a link is not followed, a named pipe does not hold the window, and only a file
// of the user's own with no other name is emptied.
bool createEmptyMarker(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          0600);
    if (fd < 0)
        return false;
    struct stat st;
    const bool emptied = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
        && st.st_nlink == 1 && ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return emptied;
}

} // namespace

MainWindow::MainWindow(Configuration* configuration)
    : QWidget(nullptr)
    , ui(new Ui_MainWindow)
    , m_Configuration(configuration)
    , m_Engine(new UpdateEngine(configuration, this))
    , m_Finished(false)
    , m_QuitOnCancel(false)
    , m_Started(false)
    , m_RebootRequested(false)
    , m_AbortQuestionOpen(false)
    , m_HandOverDue(false)
{
    g_mainWindow = this;

    connect(m_Engine, &UpdateEngine::error, this, [this](const QString& text) {
        onAppendText(text);
        showError(text);
    });
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_Engine, &UpdateEngine::updateProgress, this, &MainWindow::setProgress);
    connect(m_Engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    // Its box has told the user to wait; queued, so that a report before the event loop runs
    // still ends it.
    connect(m_Engine, &UpdateEngine::otherUpdateRunning, this, [] { QCoreApplication::exit(0); },
            Qt::QueuedConnection);
    connect(m_Engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_Engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);

    ui->setupUi(this);

    // Queued: the area becomes visible through the toggle first, then shows its newest line.
    connect(ui->detailsButton, &QPushButton::clicked, this, [this](bool) {
        if (ui->outputTextEdit->isVisible()) {
            QScrollBar* bar = ui->outputTextEdit->verticalScrollBar();
            bar->setValue(bar->maximum());
        }
    }, Qt::QueuedConnection);

    ui->banner->setUrl(QString::fromLatin1(kMakerUrl));
    ui->voxlaneLabel->setUrl(QString::fromLatin1(kMakerUrl));
    ui->voxlaneLabel->hide();
    ui->outputTextEdit->hide();

    SingleInstanceChecker* checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this, [this](const QString& text) {
        if (text == QLatin1String("#")) {
            raise();
            activateWindow();
        }
    });

    connect(m_Configuration, &Configuration::fatalError, this, [this](const QString& text) {
        showError(text);
        QCoreApplication::exit(1);
    });
    connect(m_Configuration, &Configuration::ready, this, &MainWindow::onStartUpdate);

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
}

MainWindow::~MainWindow()
{
    g_mainWindow = nullptr;
    delete ui;
}

void MainWindow::showError(const QString& text)
{
    qWarning() << "Error shown:" << text;
    QMessageBox::critical(this, QObject::tr("Error"), text, QMessageBox::Ok);
}

void MainWindow::setProgress(qreal doneFrac)
{
    // Truncated, and only inside the bar's range: a value outside it leaves the bar as it was.
    // The test is made in floating point, so a huge or undefined fraction never reaches an int.
    const qreal scaled = std::trunc(doneFrac * 1000);
    if (!(scaled >= ui->totalProgressBar->minimum() && scaled <= ui->totalProgressBar->maximum()))
        return;
    ui->totalProgressBar->setValue(int(scaled));
}

void MainWindow::showEvent(QShowEvent* event)
{
    const int side = ui->versionLabel->height();
    ui->voxlaneLabel->setMaximumWidth(side);
    ui->voxlaneLabel->setMaximumHeight(side);
    ui->voxlaneLabel->show();
    QWidget::showEvent(event);
}

void MainWindow::setVersionText()
{
    QString channelWord;
    switch (m_Configuration->channel) {
    case 2:
        channelWord = tr("Alpha");
        break;
    case 1:
        channelWord = tr("Beta");
        break;
    case 0:
        channelWord = tr("Stable");
        break;
    default:
        break;
    }

    // The display version comes from the unsigned version reply or the command line: it is shown
    // as text, never as markup.
    QString text;
    if (!m_Configuration->versionString.isEmpty()) {
        text += "<div style=\"font-weight:bold;font-size:large\">"
            + tr("Update to Voxlane %1").arg(m_Configuration->versionString.toHtmlEscaped()) + "</div>";
    }
    text += "<div style=\"margin-top:0.2em\">" + tr("You are currently on <strong>%1 channel</strong>.").arg(channelWord)
        + "</div>";
    text += "<div style=\"margin-top:0.2em;font-style:italic\">"
        + (m_Configuration->isClientUpdate == 1 ? tr("Step two: Updating Voxlane client")
                                                : tr("Step one: Updating updater"))
        + "</div>";
    ui->versionLabel->setText(text);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_Finished << m_Started;
    if (m_Finished || m_Started)
        return;
    if (m_Engine->isActive()) {
        qDebug() << "Session already active";
        return;
    }
    if (!m_Configuration->isReady) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    // Set first: the engine's box runs an event loop, in which a second call must not try again.
    // What makes a start fail (the record cannot be written, another stage runs) does not pass.
    m_Started = true;
    if (!m_Engine->initialize()) {
        showUpdateEnded();
        return;
    }
    qDebug() << "Update engine initialized";
    m_Engine->startUpdate();
}

void MainWindow::showUpdateEnded()
{
    qDebug() << "Update ended without success";
    onAppendText(tr("Update cancelled"));
    ui->totalProgressBar->setValue(0);
    ui->totalProgressBar->setFormat(tr("Update cancelled"));
}

void MainWindow::onAppendText(QString text)
{
    ui->outputTextEdit->append(text);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showError(errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    if (m_RebootRequested) {
        // A stage that finished before the cancel reached it: the answer still quits.
        if (m_QuitOnCancel)
            QCoreApplication::quit();
        return;
    }
    QTimer::singleShot(kHandOverDelayMs, this, [this]() {
        // The user is still being asked whether to abort: the answer decides.
        if (m_AbortQuestionOpen) {
            m_HandOverDue = true;
            return;
        }
        handOver();
    });
}

void MainWindow::handOver()
{
    if (m_Configuration->isClientUpdate == 1)
        startClient();
    else
        onStartNewUpdater();
}

void MainWindow::startClient()
{
    QString failure;
    if (!ProcessTools::startVl3Client(m_Configuration->vl3dir, &failure)) {
        // The client is updated but does not come up: closing would hide why.
        onFatalError(tr("Failed to start the Voxlane client: %1").arg(failure));
        return;
    }
    close();
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    const QStringList arguments{QStringLiteral("--clientupdate"), Configuration::defaultClientType(true),
                                QString::number(m_Configuration->version),
                                m_Configuration->versionString.isEmpty() ? QStringLiteral("#")
                                                                         : m_Configuration->versionString};
    if (!ProcessTools::startClientUpdater(m_Configuration->tempDir, arguments, m_Engine->sessionLock())) {
        // Closing as after a hand-over would end the update as if it had gone on.
        onFatalError(tr("Failed to start the new updater in %1. The update cannot continue.")
                         .arg(m_Configuration->tempDir));
        return;
    }
    close();
}

void MainWindow::onUpdateCanceled()
{
    if (m_QuitOnCancel) {
        QCoreApplication::quit();
        return;
    }
    m_Finished = false;
    m_Engine->reset();
    showUpdateEnded();

    if (g_cancelBoxOpen)
        return;
    g_cancelBoxOpen = true;
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    g_cancelBoxOpen = false;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!m_Engine->isActive()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_QuitOnCancel)
        return;
    m_AbortQuestionOpen = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    m_AbortQuestionOpen = false;
    if (m_Engine->isActive()) {
        if (answer == QMessageBox::Yes) {
            m_QuitOnCancel = true;
            m_Engine->cancelUpdate();
        }
        return;
    }
    // The stage ended while the question was open and there is nothing left to cancel: an abort
    // ends the program, as closing the window then would; otherwise the end takes its course.
    if (answer == QMessageBox::Yes) {
        QCoreApplication::quit();
        return;
    }
    // Queued: the hand-over closes the window, which cannot happen inside its own close event.
    if (m_HandOverDue)
        QMetaObject::invokeMethod(this, &MainWindow::handOver, Qt::QueuedConnection);
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_RebootRequested = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Confirm reboot"),
        tr("<p>A computer restart is required to proceed with the client update. If you do not reboot now, the "
           "Voxlane update will be cancelled.</p><p>Do you want to reboot now?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(g_forceUpdateFile);
        QApplication::beep();
    } else {
        write_force_update_file(g_forceUpdateCheckFile);
    }
    // The stage goes on under the question; quitting in the middle of it would leave the
    // client half replaced. It is cancelled (a replacement rolls back) and the program quits
    // when it has ended.
    if (m_Engine->state() == UpdateEngine::RUNNING) {
        m_QuitOnCancel = true;
        m_Engine->cancelUpdate();
        return;
    }
    QCoreApplication::quit();
}

void MainWindow::write_force_update_file(const QString& name)
{
    if (!createEmptyMarker(QDir::tempPath() + "/" + name)) {
        const QString text = QStringLiteral("Failed to store force update notice");
        onAppendText(text);
        qDebug() << text;
    }
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << m_Configuration->isClientUpdate;
    if (m_Configuration->isClientUpdate != 0)
        return;
    QFile::remove(QDir::tempPath() + "/" + g_forceUpdateFile);
    QFile::remove(QDir::tempPath() + "/" + g_forceUpdateCheckFile);
}
