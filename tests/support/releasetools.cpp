#include "releasetools.h"

#include "compressedfile.h"
#include "signingtools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString digestAndSize(const QString& file)
{
    const QString digest = sha512sum(file);
    if (digest.size() != 128)
        return QString();
    return digest + "::" + QString::number(QFileInfo(file).size());
}

bool publishProductIni(const QString& releaseFolder, const QString& workFolder, const QString& name,
                       const QByteArray& content)
{
    const QString plain = QDir(workFolder).filePath(name);
    if (!QDir().mkpath(workFolder) || !QDir().mkpath(releaseFolder))
        return false;
    QFile file(plain);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    const QString packed = QDir(releaseFolder).filePath(name + "._lzma2_");
    return vlpatch::CompressFilePreprocessed(QFile::encodeName(plain).constData(), QFile::encodeName(packed).constData(),
                                             true)
        && opensslSign(developmentPrivateKeyPath(), plain, QDir(releaseFolder).filePath(name + ".sig"));
}
