// Compiling of a stage's product ini into the update lists: which files are up to date, which
// are patched, fetched whole or already fetched, what to delete and which commands to run.
#pragma once

#include "asynctaskspecification.h"
#include "updatelists.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>

class Configuration;
class QSettings;

// One patch line, kept while its section is compiled.
struct IniFileRecord {
    QString section;
    QString key;
    QString sha512;
    quint64 size = 0;
    // Target path of the file the patch produces; records are looked up by it.
    QString overridePath;
    // Digest and size of the installed file the patch applies to.
    QString oldSha512;
    quint64 oldSize = 0;
};

class MakeDownloadReplaceListFunc : public ASyncFunc {
    Q_OBJECT

public:
    // Takes copies of the settings it needs. `lists` is shared with the task, so a worker that
    // outlives its task still writes into memory that is alive.
    MakeDownloadReplaceListFunc(const Configuration* config, std::shared_ptr<UpdateLists> lists);

    bool run() override;

    // The id of a platform word of the product ini; 0 for unknown words.
    static int platformId(const QString& word);

private:
    using PatchRecords = QHash<QString, QList<IniFileRecord>>;

    bool compileSection(QSettings& ini, const QString& section);
    bool readPatchRecords(QSettings& ini, const QString& section, const QStringList& patchKeys,
                          PatchRecords* records);
    // Each returns false when a line names a path outside its folder, which fails the compile.
    bool compileDeletions(QSettings& ini, const QStringList& keys);
    bool compileCommands(QSettings& ini, const QString& section, const QStringList& keys);
    bool compileFileLine(QSettings& ini, const QString& section, const QString& key, const PatchRecords& patches);
    // The installed file is current; step one copies it into the new updater's tree, and either
    // step copies an install command's program into the temp dir, where the command starts it.
    // False, with the reason sent, when the copy fails.
    bool keepUpToDateFile(const QString& local, const QString& relativePath);
    void queue(const ListEntry& replacement, const DownloadEntry& download);
    void warnInvalidLine(const QString& section);
    void refuseUnsafeLine(const QString& section, const QString& key, const QString& path);
    void advanceProgress();

    bool m_ClientUpdate;
    QString m_TempDir;
    QString m_ClientDir;
    std::shared_ptr<UpdateLists> m_Lists;
    // The programs of this platform's install commands, as cleaned relative paths.
    QSet<QString> m_Programs;
    int m_Done = 0;
    int m_Total = 0;
};

class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // `sharedLists` receives the compiled lists when the compile succeeds.
    MakeDownloadReplaceListTaskSpecification(Configuration* config, UpdateLists* sharedLists, QObject* parent,
                                             qreal weight);

    ASyncFunc* createFunc() override;
    void runDone(bool success) override;

private:
    Configuration* m_Config;
    UpdateLists* m_SharedLists;
    // Fresh for every run, so a worker left over from an earlier run fills a bundle of its own.
    std::shared_ptr<UpdateLists> m_Lists;
};
