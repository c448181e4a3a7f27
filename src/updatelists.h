// The plan of one update stage: files to download, files to install, paths to delete and the
// commands to run before and after installation. Plain values, filled by the product-ini compiler.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct DownloadEntry {
    QString section;
    // Product-ini key of the file or of its patch; also its path under the temporary directory.
    QString key;
    QString sha512;
    quint64 size = 0;
};

struct ListEntry {
    QString section;
    QString key;
    // Digest and size of the installed file after replacement; empty and 0 when not given.
    QString sha512;
    quint64 size = 0;
    // Install path relative to the client directory as a five-field file line gives it, kept even
    // when it equals `key`; empty for a two-field line.
    QString overridePath;
    // Product-ini key of the patch that turns the installed file into the new one.
    QString patchKey;

    bool hasOverridePath() const { return !overridePath.isEmpty(); }
    bool hasPatch() const { return !patchKey.isEmpty(); }
    QString effectivePath() const;
    // The effective path with `prefix` put in front of its file name.
    QString targetPath(const QString& prefix) const;
};

struct DeleteEntry {
    QString path;
    bool recursive = false;
};

struct InstallCommand {
    InstallCommand(const QString& program, const QStringList& arguments, bool required);

    QString program;
    QStringList arguments;
    // A failing required command fails the update; any other is only reported.
    bool required;
};

class UpdateLists {
public:
    void clear();

    QList<DownloadEntry> downloads;
    QList<ListEntry> replacements;
    QList<DeleteEntry> deletions;
    QList<InstallCommand> preInstall;
    QList<InstallCommand> postInstall;
};
