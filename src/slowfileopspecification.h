// File operations that read or write whole files (copy, unpack) and so run on the worker pool.
// On success the target is recorded as created for rollback; on failure the task sends one
// ready-made text naming both paths.
#pragma once

#include "asynctaskspecification.h"
#include "rollback.h"

#include <QString>

// A worker holding its own copies of the paths, made on the GUI thread.
class SlowFileOpFunc : public ASyncFunc {
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& srcPath, const QString& dstPath);
    SlowFileOpFunc(const QString& srcPath, const QString& patchPath, const QString& dstPath);

protected:
    const QString srcPath;
    const QString patchPath;
    const QString dstPath;
};

class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList, const QString& srcPath,
                            const QString& dstPath, QObject* parent, qreal weight);
    SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList, const QString& srcPath,
                            const QString& patchPath, const QString& dstPath, QObject* parent, qreal weight);

    // Records the target or sends the failure text, then ends the task if it still runs.
    void runDone(bool res) override;

protected:
    RollbackDataList* rollbackList;
    QString srcPath;
    QString patchPath;
    QString dstPath;
    QString failText;
};

// Copies a file; an existing target is never overwritten, so that case fails.
class FileCopyFunc : public SlowFileOpFunc {
    Q_OBJECT

public:
    FileCopyFunc(const QString& srcPath, const QString& dstPath);
    bool run() override;
};

class FileCopyTaskSpecification : public SlowFileOpSpecification {
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& srcPath, const QString& dstPath,
                              QObject* parent, qreal weight);
    ASyncFunc* createFunc() override;
};

// The forms of a "._lzma2_" container that an unpack takes: a text file comes only packed
// plainly, an executable also as encoded programs and a diff.
enum class PackedForms { Any, PlainOnly };

// Decodes a "._lzma2_" container with the patcher's decoder, into a file of at most maxSize
// bytes. A container that cannot be unpacked is removed, so that it is fetched again.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc {
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString& srcPath, const QString& dstPath, quint64 maxSize, PackedForms forms);
    bool run() override;

private:
    const quint64 maxSize;
    const PackedForms forms;
};

class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification {
    Q_OBJECT

public:
    // maxSize: the size the unpacked file may have; larger announced sizes fail the unpack
    // before anything is reserved, as does a form that `forms` does not take.
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& srcPath, const QString& dstPath,
                                      quint64 maxSize, QObject* parent, qreal weight,
                                      PackedForms forms = PackedForms::Any);
    ASyncFunc* createFunc() override;

    // The limit for a file whose size the product ini announces; 0 means that it gave none,
    // which leaves the container's own limit.
    static quint64 limitForAnnouncedSize(quint64 size);

private:
    quint64 maxSize;
    PackedForms forms;
};

// Unpacks a gzip file; a file that is not gzip is copied unchanged. The target is replaced only
// by a completely written file.
class FileUnpackFunc_Zip : public SlowFileOpFunc {
    Q_OBJECT

public:
    FileUnpackFunc_Zip(const QString& srcPath, const QString& dstPath);
    bool run() override;

private:
    bool gunzipFile(const QString& target, const QString& source);
};

class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification {
    Q_OBJECT

public:
    FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList, const QString& srcPath, const QString& dstPath,
                                    QObject* parent, qreal weight);
    ASyncFunc* createFunc() override;
};
