#include "slowfileopspecification.h"

#include "compressedfile.h"
#include "filereplacement.h"
#include "partialfile.h"

#include <QDebug>
#include <QFile>

#include <zlib.h>

SlowFileOpFunc::SlowFileOpFunc(const QString& srcPath, const QString& dstPath) : srcPath(srcPath), dstPath(dstPath)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& srcPath, const QString& patchPath, const QString& dstPath)
    : srcPath(srcPath), patchPath(patchPath), dstPath(dstPath)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList,
                                                 const QString& srcPath, const QString& dstPath, QObject* parent,
                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight), rollbackList(rollbackList), srcPath(srcPath), dstPath(dstPath),
      failText(failText)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList,
                                                 const QString& srcPath, const QString& patchPath,
                                                 const QString& dstPath, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), rollbackList(rollbackList), srcPath(srcPath), patchPath(patchPath),
      dstPath(dstPath), failText(failText)
{
}

void SlowFileOpSpecification::runDone(bool res)
{
    // The file was written whatever became of the task meanwhile, so it is recorded all the same.
    if (res && rollbackList)
        rollbackList->add(RollbackData(RollbackData::FILE_CREATE, dstPath));
    if (!res)
        emit message(failText);
    ASyncTaskSpecification::runDone(res);
}

FileCopyFunc::FileCopyFunc(const QString& srcPath, const QString& dstPath) : SlowFileOpFunc(srcPath, dstPath) {}

bool FileCopyFunc::run()
{
    qDebug() << "run" << srcPath << dstPath;
    // Filled beside the target and linked in only when complete: a killed copy leaves a partial
    // file that the recovery of the step removes, never a short file under the target's name.
    PartialFile copy(dstPath);
    return copy.copyFrom(srcPath) && copy.add(dstPath);
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& srcPath,
                                                     const QString& dstPath, QObject* parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not copy '%1' to '%2'").arg(srcPath, dstPath), rollbackList,
                              srcPath, dstPath, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(srcPath, dstPath);
}

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& srcPath, const QString& dstPath, quint64 maxSize,
                                           PackedForms forms)
    : SlowFileOpFunc(srcPath, dstPath), maxSize(maxSize), forms(forms)
{
}

bool FileUnpackFunc_lzma2::run()
{
    vlpatch::UnpackRefusal refusal;
    const vlpatch::UnpackBudget budget = forms == PackedForms::PlainOnly ? vlpatch::UnpackBudget::ForText(maxSize)
                                                                         : vlpatch::UnpackBudget::ForOutput(maxSize);
    const bool ok = vlpatch::UncompressFile(srcPath.toUtf8().constData(), dstPath.toUtf8().constData(), budget,
                                            &refusal);
    qDebug() << "unpackFile" << srcPath << dstPath << (ok ? "true" : "false");
    QString text;
    if (refusal.announced != 0) {
        text = QStringLiteral("%1 announces %2 bytes unpacked, more than the %3 bytes allowed")
                   .arg(srcPath)
                   .arg(refusal.announced)
                   .arg(refusal.allowed);
    } else if (refusal.executableForm) {
        text = QStringLiteral("%1 is packed as an executable, which this file cannot be").arg(srcPath);
    }
    if (!text.isEmpty()) {
        qDebug() << text;
        emit message(text);
    }
    // Kept, a broken container would be taken as downloaded by the next start of the session.
    if (!ok)
        QFile::remove(srcPath);
    return ok;
}

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList,
                                                                     const QString& srcPath, const QString& dstPath,
                                                                     quint64 maxSize, QObject* parent, qreal weight,
                                                                     PackedForms forms)
    : SlowFileOpSpecification(QString("Could not unpack '%1' to '%2'").arg(srcPath, dstPath), rollbackList,
                              srcPath, dstPath, parent, weight),
      maxSize(maxSize), forms(forms)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(srcPath, dstPath, maxSize, forms);
}

quint64 FileUnpackTaskSpecification_lzma2::limitForAnnouncedSize(quint64 size)
{
    // The block header holds the size in 32 bits.
    return size != 0 ? size : quint64{0xFFFFFFFFu};
}

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString& srcPath, const QString& dstPath)
    : SlowFileOpFunc(srcPath, dstPath)
{
}

bool FileUnpackFunc_Zip::run()
{
    return gunzipFile(dstPath, srcPath);
}

namespace {

const int kGunzipBlock = 16384;

// Closes the gzip source on every path out of the unpack.
class GzSource {
public:
    explicit GzSource(const QString& path) : m_File(gzopen(path.toUtf8().constData(), "rb")) {}
    ~GzSource() { close(); }
    GzSource(const GzSource&) = delete;
    GzSource& operator=(const GzSource&) = delete;

    gzFile get() const { return m_File; }
    // zlib's status of the whole read; Z_BUF_ERROR when the data ended inside a gzip stream.
    int close()
    {
        const int status = m_File ? gzclose(m_File) : Z_STREAM_ERROR;
        m_File = nullptr;
        return status;
    }

private:
    gzFile m_File;
};

} // namespace

bool FileUnpackFunc_Zip::gunzipFile(const QString& target, const QString& source)
{
    // The source is opened first and the target is written beside itself and put in place only
    // when complete: an installed file is never lost to a missing or broken download.
    GzSource in(source);
    if (!in.get()) {
        qDebug() << "gunzipFile: could not open" << source;
        return false;
    }
    vlpatch::ReplacementFile out(QFile::encodeName(target).constData());
    if (!out.IsOpen()) {
        qDebug() << "gunzipFile: could not write beside" << target;
        return false;
    }
    // zlib decodes straight into the writer's buffer.
    int n;
    for (;;) {
        std::size_t room = 0;
        uint8_t* const bytes = out.Room(kGunzipBlock, &room);
        if (!bytes) {
            qDebug() << "gunzipFile: could not write" << target;
            return false;
        }
        n = gzread(in.get(), bytes, unsigned(room));
        if (n <= 0)
            break;
        if (!out.Commit(std::size_t(n))) {
            qDebug() << "gunzipFile: could not write" << target;
            return false;
        }
    }
    // A file without a gzip header is copied as it stands: releases ship plain files under a
    // packed name, and the digest check after the unpack judges them like any other. Gzip data
    // cut short is reported only when the source is closed.
    const int status = in.close();
    if (n < 0 || status != Z_OK) {
        qDebug() << "gunzipFile: broken gzip file" << source << "read" << n << "status" << status;
        return false;
    }
    return out.Finish();
}

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList,
                                                                 const QString& srcPath, const QString& dstPath,
                                                                 QObject* parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not unzip '%1' to '%2'").arg(srcPath, dstPath), rollbackList,
                              srcPath, dstPath, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(srcPath, dstPath);
}
