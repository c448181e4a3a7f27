#include "filetaskspecification_patch.h"

#include "ensemblepatch.h"
#include "status.h"

#include <QDebug>

namespace {

// The statuses worth a word of their own in the log; the others are told by their number.
const char* patchStatusText(int status)
{
    switch (status) {
    case vlpatch::C_BAD_ENSEMBLE_MAGIC:
        return "Not a vlpatch patch";
    case vlpatch::C_BAD_ENSEMBLE_VERSION:
        return "Wrong version patch";
    case vlpatch::C_BAD_ENSEMBLE_HEADER:
        return "Corrupt patch";
    case vlpatch::C_STREAM_ERROR:
        return "Stream error (likely out of memory or disk space)";
    case vlpatch::C_DISASSEMBLY_FAILED:
        return "Disassembly failed (could be because of memory issues)";
    default:
        return nullptr;
    }
}

} // namespace

bool ApplyEnsemblePatch(const voxlane::strings::oschar* oldFile, const voxlane::strings::oschar* patchFile,
                        const voxlane::strings::oschar* newFile)
{
    const int status = vlpatch::ApplyEnsemblePatchFiles(oldFile, patchFile, newFile);
    qDebug() << "ApplyEnsemblePatch status =" << status << oldFile << patchFile << newFile;
    if (status == vlpatch::C_OK)
        return true;
    if (const char* text = patchStatusText(status))
        qDebug() << text;
    return false;
}

FileFuncPatch::FileFuncPatch(const QString& oldFile, const QString& patchFile, const QString& dstFile)
    : SlowFileOpFunc(oldFile, patchFile, dstFile)
{
}

bool FileFuncPatch::run()
{
    return patchFile(srcPath, patchPath, dstPath);
}

bool FileFuncPatch::patchFile(const QString& oldFile, const QString& patchFile, const QString& dstFile)
{
    const QByteArray oldName = oldFile.toUtf8();
    const QByteArray patchName = patchFile.toUtf8();
    const QByteArray dstName = dstFile.toUtf8();
    const bool ok = ApplyEnsemblePatch(oldName.constData(), patchName.constData(), dstName.constData());
    qDebug() << "Patch result" << (ok ? "true" : "false");
    return ok;
}

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& oldFile,
                                                         const QString& patchFile, const QString& dstFile,
                                                         QObject* parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not patch '%1' to '%2'").arg(oldFile, dstFile), rollbackList, oldFile,
                              patchFile, dstFile, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << oldFile << "patchFile:" << patchFile << "dstFile:" << dstFile;
}

ASyncFunc* FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(srcPath, patchPath, dstPath);
}
