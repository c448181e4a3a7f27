// Building a new file from an old file and an ensemble patch on the worker pool, through the
// patcher; on success the target is recorded as created, as for the other worker file operations.
#pragma once

#include "oschar.h"
#include "slowfileopspecification.h"

// Applies the patch with the patcher and writes the status to the debug log; true only when the
// patcher succeeded.
bool ApplyEnsemblePatch(const voxlane::strings::oschar* oldFile, const voxlane::strings::oschar* patchFile,
                        const voxlane::strings::oschar* newFile);

class FileFuncPatch : public SlowFileOpFunc {
    Q_OBJECT

public:
    FileFuncPatch(const QString& oldFile, const QString& patchFile, const QString& dstFile);
    bool run() override;

private:
    bool patchFile(const QString& oldFile, const QString& patchFile, const QString& dstFile);
};

class FileTaskSpecification_patch : public SlowFileOpSpecification {
    Q_OBJECT

public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& oldFile, const QString& patchFile,
                                const QString& dstFile, QObject* parent, qreal weight);
    ASyncFunc* createFunc() override;
};
