#include "prepostinstalltaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QStringList>

QObject* g_mainWindow = nullptr;

namespace {

constexpr int kStartTimeoutMs = 30000;

} // namespace

PrePostInstallFunc::PrePostInstallFunc(const InstallCommand& command, const QString& tempDir)
    : m_Command(command), m_TempDir(tempDir)
{
}

bool PrePostInstallFunc::failed() const
{
    return !m_Command.required;
}

bool PrePostInstallFunc::run()
{
    const QString& program = m_Command.program;
    QStringList arguments;
    for (const QString& argument : m_Command.arguments)
        arguments << QStringLiteral("--") + argument;
    emit message(QStringLiteral("Starting %1").arg(program));

    // The program is named by the product ini and must be one of the files fetched into the
    // temporary directory.
    if (program.split('/').contains(QStringLiteral(".."))) {
        emit message(QStringLiteral("Failed to start %1: %2")
                         .arg(program, QStringLiteral("the program lies outside the temporary directory")));
        return failed();
    }

    QProcess process;
    // Output goes where the updater's own goes instead of piling up unread in memory.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(m_TempDir + QDir::separator() + program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(kStartTimeoutMs)) {
        emit message(QStringLiteral("Failed to start %1: %2").arg(program, process.errorString()));
        return failed();
    }
    if (!process.waitForFinished(-1)) {
        emit message(QStringLiteral("Failed to run %1: %2").arg(program, process.errorString()));
        return failed();
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (code == 0) {
        emit message(QStringLiteral("%1 completed sucessfully").arg(program));
        return true;
    }
    if (code == kRebootExitCode || code == kRebootExitStatus) {
        emit message(QStringLiteral("%1 completed sucessfully, reboot required").arg(program));
        emit reboot_with_confirmation();
        return true;
    }
    if (code == 1)
        emit message(QStringLiteral("Failed to complete %1, exit code: %2").arg(program).arg(code));
    else
        qDebug() << "Install command" << program << "ended with exit code" << code;
    return failed();
}

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(const InstallCommand* command,
                                                                 Configuration* configuration, QObject* parent,
                                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Command(command), m_Configuration(configuration)
{
}

ASyncFunc* PrePostInstallTaskSpecification::createFunc()
{
    auto* func = new PrePostInstallFunc(*m_Command, m_Configuration->tempDir);
    // Without a receiver the restart request is dropped; the command still counts as succeeded.
    if (g_mainWindow)
        connect(func, SIGNAL(reboot_with_confirmation()), g_mainWindow, SLOT(onRebootWithConfirmation()),
                Qt::QueuedConnection);
    return func;
}

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(const QList<InstallCommand>* commands,
                                                                         Configuration* configuration,
                                                                         QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Commands(commands), m_Configuration(configuration)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    if (!m_Commands->isEmpty())
        emit message(QStringLiteral("Starting install condition"));
    for (const InstallCommand& command : *m_Commands)
        addTask(new PrePostInstallTaskSpecification(&command, m_Configuration, this, kCommandWeight));
    state = RUNNING;
    startSubtasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}
