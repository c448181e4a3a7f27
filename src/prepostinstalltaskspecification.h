// The commands that the product ini names to run before and after the client's files are
// installed: each is started from the temporary directory, waited for and judged by its exit code.
#pragma once

#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "updatelists.h"

#include <QList>
#include <QString>

class Configuration;

// The receiver of restart requests: an object on the GUI thread with the slot
// onRebootWithConfirmation(). The main window sets it to itself while it exists; null otherwise.
extern QObject* g_mainWindow;

// Runs one command on a pool thread. Works on copies of the command and the temporary directory,
// since the process may outlive the task that started it.
class PrePostInstallFunc : public ASyncFunc {
    Q_OBJECT

public:
    // A command asks for a restart of the computer with this exit code; a POSIX process can only
    // report its low eight bits, so 242 is taken as the same request.
    static constexpr int kRebootExitCode = 1010;
    static constexpr int kRebootExitStatus = kRebootExitCode & 0xff;

    PrePostInstallFunc(const InstallCommand& command, const QString& tempDir);

    bool run() override;

signals:
    void reboot_with_confirmation();

private:
    // Checks that `path`, the program in the temporary directory, stays there and makes it
    // executable; returns why it cannot be started, or an empty text.
    QString prepareProgram(const QString& path) const;
    // The result of a command that did not complete: only a required one fails.
    bool failed() const;

    InstallCommand m_Command;
    QString m_TempDir;
};

class PrePostInstallTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // Neither pointer is owned; the command is an element of the plan's list.
    PrePostInstallTaskSpecification(const InstallCommand* command, Configuration* configuration, QObject* parent,
                                    qreal weight);

    ASyncFunc* createFunc() override;

private:
    const InstallCommand* m_Command;
    Configuration* m_Configuration;
};

// Runs one list of install commands strictly one after the other; the first failed required
// command stops the list and fails it.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Each command weighs this much, however many the list holds.
    static constexpr qreal kCommandWeight = 0.1;

    // The list is read when the task executes; neither pointer is owned.
    PrePostInstallListTaskSpecification(const QList<InstallCommand>* commands, Configuration* configuration,
                                        QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

private:
    const QList<InstallCommand>* m_Commands;
    Configuration* m_Configuration;
};
