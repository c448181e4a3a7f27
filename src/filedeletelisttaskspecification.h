// Removes the files and folders that the update plan lists for deletion, one after the other,
// below the client's install directory. Deletions are not recorded for rollback and a path that
// cannot be removed never fails the list.
#pragma once

#include "composedtaskspecification.h"
#include "updatelists.h"

#include <QList>
#include <QString>

class Configuration;

class FileDeleteListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // The list is read when the task executes; neither pointer is owned.
    FileDeleteListTaskSpecification(const QList<DeleteEntry>* deleteList, Configuration* configuration,
                                    QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

    // The absolute path to delete for `entryPath`, or an empty string when the entry is absolute,
    // has a ".." segment, names the client directory itself or stands in a folder that resolves
    // outside it through a symbolic link. The entries come from the product ini and are not
    // trusted; a link that the entry names itself is removed, wherever it leads.
    static QString confinedPath(const QString& clientDir, const QString& entryPath);

private:
    void makeSubtasksAndStart();

    const QList<DeleteEntry>* deleteList;
    Configuration* configuration;
};
