#include "confineddirectory.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

ConfinedDirectory::ConfinedDirectory(const QString& dir) : m_Root(QDir(dir).canonicalPath()) {}

bool ConfinedDirectory::isRelativeBelow(const QString& relative)
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative))
        return false;
    return !relative.split('/').contains(QStringLiteral("..")) && QDir::cleanPath(relative) != QLatin1String(".");
}

bool ConfinedDirectory::isRelativeFileName(const QString& relative)
{
    if (!isRelativeBelow(relative))
        return false;
    const QString name = relative.section('/', -1);
    return !name.isEmpty() && name != QLatin1String(".");
}

QString ConfinedDirectory::resolveInside(const QString& path) const
{
    if (m_Root.isEmpty())
        return QString();
    QFileInfo info(QDir::cleanPath(path));
    while (!info.exists() && !info.isSymLink() && info.filePath() != info.path())
        info = QFileInfo(info.path());
    const QString canonical = info.canonicalFilePath();
    const QString rootPrefix = m_Root.endsWith('/') ? m_Root : m_Root + '/';
    if (canonical.isEmpty() || !(canonical + '/').startsWith(rootPrefix))
        return QString();
    return canonical;
}
