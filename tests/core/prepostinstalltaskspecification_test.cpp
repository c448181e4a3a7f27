#include "configuration.h"
#include "prepostinstalltaskspecification.h"
#include "qtwait.h"
#include "taskrun.h"
#include "tempdir.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

namespace {

// Stands in for the main window: counts restart requests and notes the thread they arrive on.
class RebootReceiver : public QObject {
    Q_OBJECT

public:
    int requests = 0;
    QThread* thread = nullptr;
    int messagesBefore = -1;
    const QStringList* texts = nullptr;

public slots:
    void onRebootWithConfirmation()
    {
        ++requests;
        thread = QThread::currentThread();
        messagesBefore = texts ? texts->size() : -1;
    }
};

// Every program is a small shell script written into "temp" inside the test's directory, which
// serves as the temporary directory; each script appends its name and arguments to "temp/log".
// Scripts are written as a download writes them, without execute permission.
class InstallCommandTest : public TempDirTest {
protected:
    void SetUp() override { configuration.tempDir = makeDir("temp"); }
    void TearDown() override { g_mainWindow = nullptr; }

    QString script(const QString& name, const QString& body)
    {
        return writeFile("temp/" + name, QString("#!/bin/sh\n"
                                                     "echo \"$(basename \"$0\")\" >> \"$(dirname \"$0\")/log\"\n"
                                                     "for a in \"$@\"; do echo \"[$a]\" >> \"$(dirname \"$0\")/log\"; done\n"
                                                     "%1\n")
                                                 .arg(body)
                                                 .toUtf8());
    }

    QStringList logLines() { return QString::fromUtf8(readFile(path("temp/log"))).split('\n', Qt::SkipEmptyParts); }

    // Runs the task to its end and returns its texts.
    static QStringList run(TaskSpecification& task) { return runToEnd(task); }

    // Runs one command on its own and returns its texts.
    QStringList runOne(const InstallCommand& command, int* state)
    {
        PrePostInstallTaskSpecification task(&command, &configuration, nullptr, 0.1);
        const QStringList result = run(task);
        *state = task.state;
        return result;
    }

    Configuration configuration;
};

} // namespace

TEST_F(InstallCommandTest, EmptyListSendsNothingAndFinishes)
{
    const QList<InstallCommand> commands;
    PrePostInstallListTaskSpecification list(&commands, &configuration, nullptr, 0.1);
    EXPECT_TRUE(run(list).isEmpty());
    EXPECT_EQ(list.state, TaskSpecification::FINISHED);
}

TEST_F(InstallCommandTest, ArgumentsArePrefixedAndPassedWhole)
{
    script("setup.sh", "exit 0");
    script("bare.sh", "exit 0");
    const QList<InstallCommand> commands{
        InstallCommand("setup.sh", {"a", "dir=/opt/x y", "", "quote's \"here\""}, true),
        InstallCommand("bare.sh", {}, true)};
    PrePostInstallListTaskSpecification list(&commands, &configuration, nullptr, 0.1);
    EXPECT_EQ(run(list), QStringList({"Starting install condition", "Starting setup.sh",
                                      "setup.sh completed sucessfully", "Starting bare.sh",
                                      "bare.sh completed sucessfully"}));
    EXPECT_EQ(list.state, TaskSpecification::FINISHED);
    EXPECT_EQ(logLines(), QStringList({"setup.sh", "[--a]", "[--dir=/opt/x y]", "[--]", "[--quote's \"here\"]",
                                       "bare.sh"}));
    // The plan's own list is left as it was.
    EXPECT_EQ(commands.at(0).arguments.at(0), "a");
}

TEST_F(InstallCommandTest, ExitCodesAreJudgedByTheRequiredFlag)
{
    script("one.sh", "exit 1");
    script("two.sh", "exit 2");
    script("crash.sh", "kill -KILL $$");
    struct Case {
        QString program;
        QStringList ownTexts;
    };
    const QList<Case> cases{
        {"one.sh", {"Failed to complete one.sh, exit code: 1"}},
        {"two.sh", {}},
        {"crash.sh", {}},
    };
    for (const Case& c : cases) {
        for (const bool required : {true, false}) {
            int state = 0;
            const QStringList texts = runOne(InstallCommand(c.program, {}, required), &state);
            EXPECT_EQ(texts, QStringList("Starting " + c.program) + c.ownTexts) << c.program.toStdString();
            EXPECT_EQ(state, required ? TaskSpecification::FAILED : TaskSpecification::FINISHED)
                << c.program.toStdString() << " required " << required;
        }
    }
}

TEST_F(InstallCommandTest, ProgramBecomesExecutableForItsOwnerOnly)
{
    const QString file = script("setup.sh", "exit 0");
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
    int state = 0;
    EXPECT_EQ(runOne(InstallCommand("setup.sh", {}, true), &state),
              QStringList({"Starting setup.sh", "setup.sh completed sucessfully"}));
    EXPECT_EQ(state, TaskSpecification::FINISHED);
    EXPECT_EQ(logLines(), QStringList("setup.sh"));
    // Owner, group and others; the "user" flags only repeat the owner's for the test's own user.
    EXPECT_EQ(QFileInfo(file).permissions() & 0x7077,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ReadOther)
        << "owner may run it, nobody else may change it";
}

TEST_F(InstallCommandTest, ProgramsThatCannotStartAreJudgedByTheRequiredFlag)
{
    writeFile("temp/plain.txt", "not executable");
    // Beside the temporary directory, still inside the test's own.
    const QString outside = script("../escape.sh", "exit 0");
    makeDir("temp/folder");
    ASSERT_TRUE(QFile::link(outside, path("temp/escape-link.sh")));
    ASSERT_TRUE(QFile::link(path("temp/plain.txt"), path("temp/inner-link.sh")));
    ASSERT_TRUE(QFile::link(path("."), path("temp/up")));
    ASSERT_EQ(runCommand(QString("mkfifo '%1'").arg(path("temp/pipe"))), 0);
    for (const QString& program :
         {QString("missing.sh"), QString("plain.txt"), QString("../escape.sh"), outside, QString("escape-link.sh"),
          QString("inner-link.sh"), QString("up/escape.sh"), QString("folder"), QString("pipe")}) {
        for (const bool required : {true, false}) {
            int state = 0;
            const QStringList texts = runOne(InstallCommand(program, {}, required), &state);
            ASSERT_EQ(texts.size(), 2) << program.toStdString();
            EXPECT_EQ(texts.at(0), "Starting " + program);
            EXPECT_TRUE(texts.at(1).startsWith(QString("Failed to start %1: ").arg(program))) << texts.at(1).toStdString();
            EXPECT_EQ(state, required ? TaskSpecification::FAILED : TaskSpecification::FINISHED);
        }
    }
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("log")));
    EXPECT_EQ(QFileInfo(outside).permissions() & QFile::ExeOwner, 0) << "nothing outside is made executable";
}

TEST_F(InstallCommandTest, FailedRequiredCommandStopsTheListButOptionalOneDoesNot)
{
    script("first.sh", "exit 0");
    script("broken.sh", "exit 3");
    script("last.sh", "exit 0");
    const QList<InstallCommand> optional{InstallCommand("broken.sh", {}, false), InstallCommand("last.sh", {}, true)};
    PrePostInstallListTaskSpecification goesOn(&optional, &configuration, nullptr, 0.1);
    run(goesOn);
    EXPECT_EQ(goesOn.state, TaskSpecification::FINISHED);
    EXPECT_EQ(logLines(), QStringList({"broken.sh", "last.sh"}));

    QFile::remove(path("temp/log"));
    const QList<InstallCommand> required{InstallCommand("first.sh", {}, true), InstallCommand("broken.sh", {}, true),
                                         InstallCommand("last.sh", {}, true)};
    PrePostInstallListTaskSpecification stops(&required, &configuration, nullptr, 0.1);
    run(stops);
    EXPECT_EQ(stops.state, TaskSpecification::FAILED);
    EXPECT_EQ(logLines(), QStringList({"first.sh", "broken.sh"}));
}

TEST_F(InstallCommandTest, EachCommandWeighsATenthOfTheList)
{
    script("ok.sh", "exit 0");
    QList<InstallCommand> commands;
    for (int i = 0; i < 3; ++i)
        commands.append(InstallCommand("ok.sh", {}, true));
    PrePostInstallListTaskSpecification list(&commands, &configuration, nullptr, 0.5);
    QSignalSpy progress(&list, &TaskSpecification::updateProgress);
    run(list);
    QList<qreal> seen;
    for (const QList<QVariant>& args : progress)
        if (args.at(0).toReal() != 0.0)
            seen << args.at(0).toReal();
    const QList<qreal> expected{0.05, 0.1, 0.15, 0.5};
    ASSERT_EQ(seen.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(seen.at(i), expected.at(i), 1e-12) << i;
}

TEST_F(InstallCommandTest, RestartRequestReachesTheReceiverOnTheGuiThread)
{
    script("reboot.sh", "exit 1010");
    RebootReceiver receiver;
    g_mainWindow = &receiver;
    for (const bool required : {true, false}) {
        const InstallCommand command("reboot.sh", {}, required);
        PrePostInstallTaskSpecification task(&command, &configuration, nullptr, 0.1);
        QStringList texts;
        QObject::connect(&task, &TaskSpecification::message, [&](const QString& text) { texts << text; });
        receiver.texts = &texts;
        const int before = receiver.requests;
        task.execute();
        ASSERT_TRUE(waitUntil([&] { return task.hasEnded() && receiver.requests > before; }, 30000));
        drainEvents();
        EXPECT_EQ(task.state, TaskSpecification::FINISHED);
        EXPECT_EQ(texts, QStringList({"Starting reboot.sh", "reboot.sh completed sucessfully, reboot required"}));
        EXPECT_EQ(receiver.requests, before + 1);
        EXPECT_EQ(receiver.thread, QThread::currentThread());
        EXPECT_EQ(receiver.messagesBefore, 2);
    }

    // Without a receiver the request is dropped and the command still succeeds.
    g_mainWindow = nullptr;
    int state = 0;
    EXPECT_EQ(runOne(InstallCommand("reboot.sh", {}, true), &state),
              QStringList({"Starting reboot.sh", "reboot.sh completed sucessfully, reboot required"}));
    EXPECT_EQ(state, TaskSpecification::FINISHED);
    drainEvents();
    EXPECT_EQ(receiver.requests, 2);
}

TEST_F(InstallCommandTest, CommandOutlivesItsTaskAndList)
{
    script("slow.sh", "sleep 0.3; exit 0");
    auto* commands = new QList<InstallCommand>{InstallCommand("slow.sh", {"x"}, true)};
    auto* list = new PrePostInstallListTaskSpecification(commands, &configuration, nullptr, 0.1);
    list->execute();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(path("temp/log")); }, 30000));
    // The plan and the tasks go away while the program still runs; the worker works on copies.
    delete list;
    delete commands;
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(logLines(), QStringList({"slow.sh", "[--x]"}));
}

#include "prepostinstalltaskspecification_test.moc"
