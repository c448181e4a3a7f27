// A fresh directory per test, removed afterwards, with small helpers to lay out files in it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class TempDirTest : public ::testing::Test {
protected:
    // Absolute path of `relative` inside the test's directory.
    QString path(const QString& relative = QString()) const;
    // Writes `content` to `relative`, creating missing parent directories.
    QString writeFile(const QString& relative, const QByteArray& content = QByteArray());
    QString makeDir(const QString& relative);
    // A folder that every account may write to, sticky like the system's temporary folder, for
    // tests in which another account acts; the test's own folder becomes reachable for that.
    QString makeSharedDir(const QString& relative);
    static QByteArray readFile(const QString& absolutePath);

private:
    QTemporaryDir m_Dir;
};

// Runs a shell command line, optionally as the unprivileged user "nobody"; returns its exit code.
int runCommand(const QString& commandLine, bool asNobody = false);
