// Running a test in a copy of its own binary: code that reads files beside its executable
// (update.ini) or the process's command line then sees the test's own, and parallel test
// processes do not share them.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// In the original process: copies this test binary into `dir`, runs the current test there with
// `arguments` after the program name and with `environment`, records a failure if that run
// fails, and returns false, so the caller returns at once. Inside the copy it returns true and
// the test body runs; QCoreApplication::applicationDirPath() is then `dir`.
bool runInPrivateCopy(const QString& dir, const QStringList& arguments = QStringList(),
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
