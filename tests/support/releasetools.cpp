#include "releasetools.h"

#include "compressedfile.h"
#include "signingtools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

bool packFile(const QString& plain, const QString& packed)
{
    return QDir().mkpath(QFileInfo(packed).path())
        && vlpatch::CompressFilePreprocessed(QFile::encodeName(plain).constData(),
                                             QFile::encodeName(packed).constData(), true);
}

bool publishProductIni(const QString& plain, const QString& versionFolder)
{
    const QString name = QFileInfo(plain).fileName();
    return packFile(plain, versionFolder + "/" + name + "._lzma2_")
        && opensslSign(developmentPrivateKeyPath(), plain, versionFolder + "/" + name + ".sig");
}

QString digestAndSize(const QString& file)
{
    const QString digest = sha512sum(file);
    EXPECT_EQ(digest.size(), 128) << "sha512sum failed for " << file.toStdString();
    return digest + "::" + QString::number(QFileInfo(file).size());
}
