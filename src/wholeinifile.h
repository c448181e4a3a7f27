// Changes an ini file as a whole or not at all: a change that cannot be written whole, for lack
// of space or otherwise, leaves the old bytes in place, and no file where there was none. Writers
// of update.ini take turns by the session lock, so the file needs no lock of its own.
#pragma once

#include <QString>
#include <functional>

class QSettings;

class WholeIniFile {
public:
    explicit WholeIniFile(const QString& path);

    // Applies `change` to the file's settings and puts the result in the file's place in one
    // step; a file left without any setting is removed. False when that fails, with the system's
    // reason in `failure`.
    bool change(const std::function<void(QSettings&)>& change, QString* failure = nullptr) const;

private:
    QString m_Path;
};
