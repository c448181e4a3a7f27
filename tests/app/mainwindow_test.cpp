// The main window under the offscreen platform: its form, the details area, the progress scaling,
// the restart question with its marker files, the question before an abort, the one session a
// process starts, and the hand-over to the next stage or the client.
#include "configuration.h"
#include "httpserverfixture.h"
#include "mainwindow.h"
#include "prepostinstalltaskspecification.h"
#include "privatecopy.h"
#include "privileges.h"
#include "qtwait.h"
#include "releasetools.h"
#include "tempdir.h"
#include "urlclicklabel.h"
#include "updateengine.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Answers every message box that opens with `button`, once `ready` allows it, remembering what
// it showed; a box without that button is acknowledged with OK.
class BoxAnswerer {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton button, std::function<bool()> ready = [] { return true; })
    {
        QObject::connect(&m_Timer, &QTimer::timeout, [this, button, ready]() {
            QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box == m_Last || !ready())
                return;
            m_Last = box;
            titles << box->windowTitle();
            texts << box->text();
            defaults << (box->defaultButton() ? box->defaultButton()->text().remove('&') : QString());
            (box->button(button) ? box->button(button) : box->button(QMessageBox::Ok))->click();
        });
        m_Timer.start(5);
    }

    QStringList titles;
    QStringList texts;
    QStringList defaults;

private:
    QTimer m_Timer;
    QMessageBox* m_Last = nullptr;
};

// Takes the addresses that QDesktopServices would open.
class UrlCatcher : public QObject {
    Q_OBJECT

public slots:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

// Ends the event loop with 42 unless the test's own end came first.
class LoopGuard {
public:
    explicit LoopGuard(int ms)
    {
        m_Timer.setSingleShot(true);
        QObject::connect(&m_Timer, &QTimer::timeout, [] { QCoreApplication::exit(42); });
        m_Timer.start(ms);
    }

private:
    QTimer m_Timer;
};

class MainWindowTest : public TempDirTest {
protected:
    void SetUp() override
    {
        m_OldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", makeDir("tmp").toLocal8Bit());
        // The window's instance name is derived from the home folder.
        m_OldHome = qgetenv("HOME");
        qputenv("HOME", makeDir("home").toLocal8Bit());
        m_Configuration.reset(new Configuration);
    }

    void TearDown() override
    {
        // A quit outside the event loop stays pending and would end the next test's boxes at once.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
        m_Window.reset();
        m_Configuration.reset();
        QFile::remove(QCoreApplication::applicationDirPath() + "/update.ini");
        qputenv("TMPDIR", m_OldTmp);
        qputenv("HOME", m_OldHome);
    }

    MainWindow* window()
    {
        if (!m_Window)
            m_Window.reset(new MainWindow(m_Configuration.get()));
        return m_Window.get();
    }

    template <typename T> T* widget(const char* name)
    {
        T* found = window()->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLabel* versionLabel() { return widget<QLabel>("versionLabel"); }
    UrlClickLabel* logo() { return widget<UrlClickLabel>("voxlaneLabel"); }
    UrlClickLabel* banner() { return widget<UrlClickLabel>("banner"); }
    QProgressBar* progressBar() { return widget<QProgressBar>("totalProgressBar"); }
    QTextEdit* output() { return widget<QTextEdit>("outputTextEdit"); }
    QPushButton* detailsButton() { return widget<QPushButton>("detailsButton"); }

    std::unique_ptr<Configuration> m_Configuration;
    std::unique_ptr<MainWindow> m_Window;
    QByteArray m_OldTmp;
    QByteArray m_OldHome;
};

TEST_F(MainWindowTest, FormHeadlineAndGlobalReceiver)
{
    m_Configuration->channel = 1;
    m_Configuration->versionString = "3.4.1";
    window()->setVersionText();
    window()->show();
    ASSERT_TRUE(waitUntil([&] { return logo()->isVisible(); }));

    EXPECT_EQ(g_mainWindow, window());
    EXPECT_EQ(window()->objectName(), "MainWindow");
    EXPECT_EQ(window()->windowTitle(), "Voxlane 3 Client Update");
    EXPECT_EQ(window()->minimumSize(), window()->maximumSize()) << "the window must not be resizable";
    EXPECT_EQ(progressBar()->minimum(), 0);
    EXPECT_EQ(progressBar()->maximum(), 1000);
    EXPECT_FALSE(output()->isVisible());
    EXPECT_FALSE(banner()->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_FALSE(logo()->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(logo()->maximumHeight(), versionLabel()->height());
    EXPECT_FALSE(banner()->url().isEmpty());
    // Centred on the available area with the form's initial size of 486 by 298.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(window()->pos(), QPoint(available.width() / 2 - 486 / 2, available.height() / 2 - 298 / 2));

    const QString text = versionLabel()->text();
    EXPECT_TRUE(text.contains("Update to Voxlane 3.4.1")) << text.toStdString();
    EXPECT_TRUE(text.contains("<strong>Beta channel</strong>")) << text.toStdString();
    EXPECT_TRUE(text.contains("Step one: Updating updater")) << text.toStdString();

    m_Window.reset();
    EXPECT_EQ(g_mainWindow, nullptr);
}

TEST_F(MainWindowTest, LogoAndBannerOpenTheMakersPageWithAnyButton)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    window()->show();
    QTest::mouseClick(banner(), Qt::RightButton);
    QTest::mouseClick(logo(), Qt::MiddleButton);
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(catcher.urls.size(), 2);
    EXPECT_EQ(catcher.urls[0], QUrl(banner()->url()));
    EXPECT_EQ(catcher.urls[1], QUrl(logo()->url()));
    EXPECT_EQ(catcher.urls[0].scheme(), "https");
}

TEST_F(MainWindowTest, SecondStageWithoutDisplayVersionHasNoHeadline)
{
    m_Configuration->isClientUpdate = 1;
    m_Configuration->channel = 7;
    window()->setVersionText();
    const QString text = versionLabel()->text();
    EXPECT_FALSE(text.contains("Update to")) << text.toStdString();
    EXPECT_TRUE(text.contains("<strong> channel</strong>")) << text.toStdString();
    EXPECT_TRUE(text.contains("Step two: Updating Voxlane client")) << text.toStdString();
}

// The display version arrives unsigned from the version server or the command line.
TEST_F(MainWindowTest, HeadlineShowsACraftedVersionAsPlainText)
{
    const QString crafted = "3.4<span style=\"color:red\">SECURITY ALERT</span><table><tr><td>x</td></tr></table>&amp;";
    m_Configuration->versionString = crafted;
    window()->setVersionText();
    QTextDocument shown;
    shown.setHtml(versionLabel()->text());
    EXPECT_TRUE(shown.toPlainText().contains("Update to Voxlane " + crafted)) << shown.toPlainText().toStdString();
    EXPECT_EQ(shown.rootFrame()->childFrames().size(), 0) << "no table may appear";
    for (QTextBlock block = shown.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it)
            EXPECT_NE(it.fragment().charFormat().foreground().color(), QColor(Qt::red)) << it.fragment().text().toStdString();
    }
}

TEST_F(MainWindowTest, DetailsButtonShowsTheNewestMessage)
{
    window()->show();
    for (int i = 0; i < 60; ++i)
        emit window()->engine()->message(QString("line %1").arg(i));
    EXPECT_FALSE(output()->isVisible());

    detailsButton()->click();
    EXPECT_TRUE(output()->isVisible());
    QScrollBar* bar = output()->verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
    EXPECT_TRUE(output()->toPlainText().endsWith("line 59"));

    detailsButton()->click();
    EXPECT_FALSE(output()->isVisible());
}

TEST_F(MainWindowTest, ProgressIsTruncatedAndKeptInsideTheBar)
{
    UpdateEngine* engine = window()->engine();
    QProgressBar* bar = progressBar();
    emit engine->updateProgress(0.5);
    EXPECT_EQ(bar->value(), 500);
    emit engine->updateProgress(0.9999);
    EXPECT_EQ(bar->value(), 999);
    // Unnormalised weights can push the root past 1: the bar keeps its value.
    emit engine->updateProgress(1.15);
    EXPECT_EQ(bar->value(), 999);
    emit engine->updateProgress(std::numeric_limits<qreal>::quiet_NaN());
    EXPECT_EQ(bar->value(), 999);
    emit engine->updateProgress(1e300);
    EXPECT_EQ(bar->value(), 999);
    emit engine->updateProgress(1.0);
    EXPECT_EQ(bar->value(), 1000);
    emit engine->updateProgress(-0.0005);
    EXPECT_EQ(bar->value(), 0) << "truncated towards zero";
}

TEST_F(MainWindowTest, RestartQuestionWritesTheMarkerOfTheAnswer)
{
    const QString yesMarker = path("tmp/vl3_force_update");
    const QString noMarker = path("tmp/vl3_force_update_check");
    // A marker of the user's own left from before is emptied.
    writeFile("tmp/vl3_force_update", "left from before");
    {
        BoxAnswerer answer(QMessageBox::Yes);
        window()->onRebootWithConfirmation();
        ASSERT_EQ(answer.titles, QStringList{"Confirm reboot"});
        EXPECT_TRUE(answer.texts[0].contains("Do you want to reboot now?"));
        EXPECT_EQ(answer.defaults[0], "Yes");
    }
    EXPECT_TRUE(QFile::exists(yesMarker));
    EXPECT_EQ(readFile(yesMarker), "");
    EXPECT_FALSE(QFile::exists(noMarker));
    // The answer quit the event loop; outside a running loop that quit would close the next box
    // unanswered.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    {
        BoxAnswerer answer(QMessageBox::No);
        window()->onRebootWithConfirmation();
        EXPECT_EQ(answer.titles, QStringList{"Confirm reboot"});
    }
    EXPECT_TRUE(QFile::exists(noMarker));

    // The first stage starts by deleting both; the second leaves them.
    m_Configuration->isClientUpdate = 1;
    window()->delete_force_update_files();
    EXPECT_TRUE(QFile::exists(yesMarker) && QFile::exists(noMarker));
    m_Configuration->isClientUpdate = 0;
    window()->delete_force_update_files();
    EXPECT_FALSE(QFile::exists(yesMarker) || QFile::exists(noMarker));

    // A restart request keeps a finished stage from handing over and closing the window.
    window()->show();
    window()->onUpdateFinished();
    QTimer::singleShot(1500, [] { QCoreApplication::exit(42); });
    EXPECT_EQ(QCoreApplication::exec(), 42);
    EXPECT_TRUE(window()->isVisible());
}

TEST_F(MainWindowTest, FatalErrorsEndTheProgramWithTheirExitCodes)
{
    // The client's launcher reads the code: 1 after a configuration error, 2 after an engine error.
    const struct {
        const char* source;
        std::function<void(MainWindow*, Configuration*)> raise;
        QString text;
        int exitCode;
    } cases[] = {
        {"configuration",
         [](MainWindow*, Configuration* configuration) {
             configuration->parseClientArguments({"update", "client_linux_amd64", "12x"}, 1);
         },
         "Invalid version nr (12x)", 1},
        {"engine", [](MainWindow* window, Configuration*) { emit window->engine()->fatalError("no key"); }, "no key", 2},
    };
    window()->show();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        BoxAnswerer answer(QMessageBox::Ok);
        LoopGuard guard(10000);
        QTimer::singleShot(0, [&] { c.raise(window(), m_Configuration.get()); });
        EXPECT_EQ(QCoreApplication::exec(), c.exitCode);
        EXPECT_EQ(answer.titles, QStringList{"Error"});
        EXPECT_EQ(answer.texts, QStringList{c.text});
    }
}

// The temporary folder is shared: a marker's name held by anything but a file of the user's own
// is reported and left as it was, and nothing it leads to is touched. Links and named pipes that
// another account plants are met by the program tests. A file of root's in root's sticky folder
// opens for another user even where the kernel guards such folders (fs.protected_regular): only
// its owner tells it apart from the user's own.
TEST_F(MainWindowTest, MarkerNameTakenByAnythingElseIsReportedAndLeftAsItWas)
{
    makeSharedDir("tmp");
    const QByteArray notes = "the user's own notes\n";
    const QString file = writeFile("notes", notes);
    const QString marker = path("tmp/vl3_force_update");
    const struct {
        const char* what;
        std::function<bool()> take;
        // The window writes as nobody, and what root took is another account's.
        bool userIsNobody;
    } takers[] = {
        // Cannot be opened as a file, not even by root.
        {"directory", [&] { return QDir().mkdir(marker); }, false},
        {"link to nothing", [&] { return QFile::link(path("created"), marker); }, false},
        {"second name of a file",
         [&] { return ::link(QFile::encodeName(file).constData(), QFile::encodeName(marker).constData()) == 0; },
         false},
        {"file of another account that the user may write",
         [&] {
             writeFile("tmp/vl3_force_update", "another account's notes\n");
             return ::chmod(QFile::encodeName(marker).constData(), 0666) == 0;
         },
         true},
    };
    for (const auto& t : takers) {
        SCOPED_TRACE(t.what);
        if (t.userIsNobody && ::geteuid() != 0)
            GTEST_SKIP() << "a file of another account needs root";
        ASSERT_TRUE(t.take());
        const QByteArray taken = readFile(marker);
        output()->clear();
        {
            std::optional<ActingAsNobody> user;
            if (t.userIsNobody) {
                ASSERT_TRUE(user.emplace().acting());
            }
            window()->write_force_update_file("vl3_force_update");
        }
        EXPECT_EQ(output()->toPlainText(), "Failed to store force update notice");
        EXPECT_EQ(readFile(marker), taken);
        EXPECT_EQ(readFile(file), notes);
        EXPECT_FALSE(QFileInfo::exists(path("created")));
        ASSERT_TRUE(QDir().rmdir(marker) || QFile::remove(marker));
    }
}

TEST_F(MainWindowTest, RestartRequestOfAnInstallCommandReachesTheWindow)
{
    writeFile("session/restart.sh", QString("#!/bin/sh\nexit %1\n").arg(PrePostInstallFunc::kRebootExitStatus).toLatin1());
    ASSERT_TRUE(QFile::setPermissions(path("session/restart.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_Configuration->tempDir = path("session");
    const InstallCommand command("restart.sh", QStringList(), true);
    window();
    BoxAnswerer answer(QMessageBox::No);
    PrePostInstallTaskSpecification task(&command, m_Configuration.get(), nullptr, 1.0);
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return !answer.titles.isEmpty(); }, 10000));
    EXPECT_EQ(answer.titles[0], "Confirm reboot");
    EXPECT_TRUE(QFile::exists(path("tmp/vl3_force_update_check")));
}

TEST_F(MainWindowTest, ClosingAsksOnlyWhileASessionIsActive)
{
    // The session record beside the binary is this run's own, not that of the run under Xvfb.
    if (!runInPrivateCopy(path("bin")))
        return;
    m_Configuration->version = 12;
    m_Configuration->isReady = true;
    window()->show();
    ASSERT_TRUE(window()->engine()->initialize());
    ASSERT_TRUE(window()->engine()->isActive());
    {
        BoxAnswerer answer(QMessageBox::No);
        EXPECT_FALSE(window()->close());
        ASSERT_EQ(answer.titles, QStringList{"Question"});
        EXPECT_EQ(answer.texts[0], "<p>Update in progress.</p><p>Are you sure you want to abort?</p>");
    }
    EXPECT_TRUE(window()->isVisible());
    {
        BoxAnswerer answer(QMessageBox::Yes);
        EXPECT_FALSE(window()->close());
        EXPECT_FALSE(window()->close());
        EXPECT_EQ(answer.titles.size(), 1) << "an abort already confirmed asks no more";
    }
    // The confirmed abort quits once the engine reports the end of the session.
    QTimer::singleShot(0, [this] { emit window()->engine()->updateCanceled(); });
    QTimer::singleShot(3000, [] { QCoreApplication::exit(42); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

// The stage ends while the question before an abort is still open: the answer has nothing left to
// cancel. Yes ends the program; No lets the end take its course, the hand-over after a success
// and the open window after a failure.
TEST_F(MainWindowTest, AnswerAfterTheStageHasEndedCancelsNothing)
{
    if (!runInPrivateCopy(path("bin")))
        return;
    TestHttpServer server(makeDir("www"));
    ASSERT_TRUE(server.isRunning());
    // A first stage whose new updater notes its start.
    const int version = 3400;
    const QString updater = writeFile("release/update", "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n");
    const QString folder = makeDir(QString("www/%1").arg(version));
    const QString packed = folder + "/updater/update._lzma2_";
    ASSERT_TRUE(packFile(updater, packed));
    ASSERT_TRUE(publishProductIni(writeFile("release/update_linux_amd64.ini",
                                            QString("[updater]\nupdate._lzma2_=%1::%2::update\n")
                                                .arg(digestAndSize(packed), digestAndSize(updater))
                                                .toUtf8()),
                                  folder));
    static const int staysOpen = 42;
    const struct {
        const char* name;
        QString baseUrl;
        QMessageBox::StandardButton answer;
        int exitCode;
        bool handedOver;
        QStringList boxes;
    } cases[] = {
        {"success, abort", server.baseUrl(), QMessageBox::Yes, 0, false, {"Question"}},
        {"success, go on", server.baseUrl(), QMessageBox::No, 0, true, {"Question"}},
        {"failure, abort", server.baseUrl() + "_do:status=500/", QMessageBox::Yes, 0, false, {"Update", "Question"}},
        {"failure, go on", server.baseUrl() + "_do:status=500/", QMessageBox::No, staysOpen, false,
         {"Update", "Question"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_Window.reset();
        m_Configuration.reset(new Configuration);
        QFile::remove(QCoreApplication::applicationDirPath() + "/update.ini");
        g_downloadBaseUrl = c.baseUrl;
        m_Configuration->version = version;
        m_Configuration->clientType = "update_linux_amd64";
        m_Configuration->isReady = true;
        window()->show();
        // Answered once the stage has ended, and the hand-over's second has passed.
        QElapsedTimer ended;
        BoxAnswerer answer(c.answer, [&] {
            if (!ended.isValid() && !window()->engine()->isActive())
                ended.start();
            return ended.isValid() && ended.elapsed() > 1500;
        });
        window()->onStartUpdate();
        ASSERT_EQ(window()->engine()->state(), UpdateEngine::RUNNING);
        LoopGuard guard(60000);
        // Whatever the answer leads to has two seconds; nothing of this case outlives it.
        QObject scope;
        QTimer::singleShot(0, &scope, [&] {
            EXPECT_FALSE(window()->close());
            QTimer::singleShot(2000, &scope, [] { QCoreApplication::exit(staysOpen); });
        });
        EXPECT_EQ(QCoreApplication::exec(), c.exitCode);
        EXPECT_EQ(answer.titles, c.boxes);
        const QString started = m_Configuration->tempDir + "/started";
        EXPECT_EQ(waitUntil([&] { return QFile::exists(started); }, 2000), c.handedOver);
        if (c.handedOver || c.exitCode == staysOpen) {
            EXPECT_EQ(window()->isVisible(), !c.handedOver);
        }
    }
}

TEST_F(MainWindowTest, ClosingWithoutSessionClosesAtOnce)
{
    window()->show();
    BoxAnswerer answer(QMessageBox::No);
    EXPECT_TRUE(window()->close());
    drainEvents();
    EXPECT_TRUE(answer.titles.isEmpty());
}

TEST_F(MainWindowTest, SuccessHandsOverASecondLater)
{
    // Each started program writes its working directory and its arguments into that directory.
    const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"$(pwd -P)\" \"$@\" > started.part\nmv started.part started\n";
    const QString session = makeDir("session");
    const QString client = makeDir("client");
    for (const QString& program : {session + "/update", client + "/vl3client_runscript.sh"}) {
        writeFile(QDir(path()).relativeFilePath(program), script);
        ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    m_Configuration->version = 1001;
    m_Configuration->tempDir = session;
    m_Configuration->vl3dir = client;

    struct Stage {
        int clientUpdate;
        QString versionString;
        QString dir;
        QStringList lines;
    };
    const Stage stages[] = {
        {0, "", session, {"--clientupdate", "client_linux_amd64", "1001", "#"}},
        {0, "3.4.1", session, {"--clientupdate", "client_linux_amd64", "1001", "3.4.1"}},
        {1, "3.4.1", client, {}},
    };
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.clientUpdate);
        SCOPED_TRACE(stage.versionString.toStdString());
        QFile::remove(stage.dir + "/started");
        m_Configuration->isClientUpdate = stage.clientUpdate;
        m_Configuration->versionString = stage.versionString;
        m_Window.reset();
        window()->show();
        ASSERT_TRUE(waitUntil([&] { return window()->isVisible(); }));

        window()->onUpdateFinished();
        EXPECT_FALSE(waitUntil([&] { return QFile::exists(stage.dir + "/started"); }, 700))
            << "started before the second was over";
        EXPECT_TRUE(window()->isVisible());
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(stage.dir + "/started"); }, 10000));
        const QStringList lines = QString::fromLocal8Bit(readFile(stage.dir + "/started")).split('\n');
        EXPECT_EQ(lines.first(), QFileInfo(stage.dir).canonicalFilePath()) << "working directory";
        EXPECT_EQ(lines.mid(1, lines.size() - 2), stage.lines);
        EXPECT_FALSE(window()->isVisible()) << "the window closes after the start";
    }
}

// The start runs one session per process: not before the configuration is ready, once, and not
// again after a failed stage, which leaves the window open with its box.
TEST_F(MainWindowTest, StartRunsOneSessionAndAFailedStageKeepsTheWindowOpen)
{
    if (!runInPrivateCopy(path("bin")))
        return;
    TestHttpServer server(makeDir("www"));
    ASSERT_TRUE(server.isRunning());
    g_downloadBaseUrl = server.baseUrl() + "_do:status=500/";
    m_Configuration->version = 3100;
    m_Configuration->clientType = "update_linux_amd64";
    QStringList messages;
    QObject::connect(window()->engine(), &UpdateEngine::message, [&](const QString& text) { messages << text; });
    window()->show();

    window()->onStartUpdate();
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::PRE_INIT) << "the configuration is not ready";
    EXPECT_FALSE(QFile::exists(QCoreApplication::applicationDirPath() + "/update.ini"));

    m_Configuration->isReady = true;
    BoxAnswerer answer(QMessageBox::Ok);
    window()->onStartUpdate();
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::RUNNING);
    window()->onStartUpdate();
    ASSERT_TRUE(waitUntil([&] { return !answer.titles.isEmpty(); }, 30000)) << messages.join('\n').toStdString();
    EXPECT_EQ(messages.count("Starting update process for updater"), 1);
    EXPECT_EQ(answer.titles, QStringList{"Update"});
    EXPECT_EQ(answer.texts, QStringList{"Update cancelled. Push \"Details\" to check reasons."});
    EXPECT_TRUE(output()->toPlainText().endsWith("Update cancelled"));
    EXPECT_EQ(progressBar()->value(), 0);
    EXPECT_EQ(progressBar()->text(), "Update cancelled");
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(window()->isVisible());

    window()->onStartUpdate();
    drainEvents();
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::PRE_INIT) << "no second session in this process";
    EXPECT_EQ(messages.count("Starting update process for updater"), 1);
    // Closing now needs no question.
    EXPECT_TRUE(window()->close());
}

// A start that cannot record its session says so in one box, also when a second start comes while
// the box is open, and the window then shows that the update has ended.
TEST_F(MainWindowTest, StartThatCannotBeginShowsOneBoxAndTheEnd)
{
    if (!runInPrivateCopy(path("bin")))
        return;
    // A directory in the record's place cannot be written, not even by root.
    ASSERT_TRUE(QDir().mkpath(QCoreApplication::applicationDirPath() + "/update.ini"));
    m_Configuration->version = 3100;
    m_Configuration->clientType = "update_linux_amd64";
    m_Configuration->isReady = true;
    window()->show();
    bool secondStart = false;
    QTimer::singleShot(50, [&] {
        window()->onStartUpdate();
        secondStart = true;
    });
    BoxAnswerer answer(QMessageBox::Ok, [&] { return secondStart; });
    window()->onStartUpdate();
    drainEvents();
    EXPECT_EQ(answer.titles, QStringList{"Error"});
    EXPECT_EQ(progressBar()->text(), "Update cancelled");
    EXPECT_TRUE(output()->toPlainText().endsWith("Update cancelled"));
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(window()->close());
}

TEST_F(MainWindowTest, RestartAnswerDuringAStageQuitsOnlyWhenTheStageHasEnded)
{
    if (!runInPrivateCopy(path("bin")))
        return;
    TestHttpServer server(makeDir("www"));
    ASSERT_TRUE(server.isRunning());
    g_downloadBaseUrl = server.baseUrl() + "_do:hang=1/";
    m_Configuration->version = 3200;
    m_Configuration->clientType = "update_linux_amd64";
    m_Configuration->isReady = true;
    window()->show();
    window()->onStartUpdate();
    ASSERT_EQ(window()->engine()->state(), UpdateEngine::RUNNING);

    BoxAnswerer answer(QMessageBox::Yes);
    // The request arrives while the product ini's download hangs.
    QTimer::singleShot(300, [this] { window()->onRebootWithConfirmation(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(42); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(answer.titles, QStringList{"Confirm reboot"});
    EXPECT_TRUE(QFile::exists(path("tmp/vl3_force_update")));
    EXPECT_NE(window()->engine()->state(), UpdateEngine::RUNNING) << "quit while the stage still ran";
}

TEST_F(MainWindowTest, RestartAnswerDuringTheLastCommandQuitsWhenTheStageFinishes)
{
    if (!runInPrivateCopy(path("bin")))
        return;
    TestHttpServer server(makeDir("www"));
    ASSERT_TRUE(server.isRunning());
    g_downloadBaseUrl = server.baseUrl();
    // A first stage whose new updater is run twice as a post-install command: it asks for a
    // restart, then takes a second, during which the answer arrives. A running command is not
    // stopped by the cancel, so the stage finishes.
    const int version = 3300;
    const QString updater = writeFile("release/update", "#!/bin/sh\n"
                                                        "cd \"$(dirname \"$0\")\"\n"
                                                        "echo \"$*\" >> runs\n"
                                                        "[ -e asked ] && { sleep 1; exit 0; }\n"
                                                        "touch asked\n"
                                                        "exit 1010\n");
    const QString folder = makeDir(QString("www/%1").arg(version));
    const QString packed = folder + "/updater/update._lzma2_";
    ASSERT_TRUE(packFile(updater, packed));
    const QString ini = writeFile("release/update_linux_amd64.ini",
                                  QString("[updater]\nupdate._lzma2_=%1::%2::update\n[postinstall]\nupdate=linux64::linux64\n")
                                      .arg(digestAndSize(packed), digestAndSize(updater))
                                      .toUtf8());
    ASSERT_TRUE(publishProductIni(ini, folder));
    m_Configuration->version = version;
    m_Configuration->clientType = "update_linux_amd64";
    m_Configuration->isReady = true;
    window()->show();

    // Answered once the second run has begun.
    BoxAnswerer answer(QMessageBox::Yes, [this] { return readFile(m_Configuration->tempDir + "/runs") == "\n\n"; });
    window()->onStartUpdate();
    ASSERT_EQ(window()->engine()->state(), UpdateEngine::RUNNING);
    LoopGuard guard(30000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(answer.titles, QStringList{"Confirm reboot"});
    EXPECT_EQ(window()->engine()->state(), UpdateEngine::FINISHED);
    EXPECT_TRUE(QFile::exists(path("tmp/vl3_force_update")));
    EXPECT_EQ(readFile(m_Configuration->tempDir + "/runs"), "\n\n") << "run as the two commands only";
}

} // namespace

#include "mainwindow_test.moc"
