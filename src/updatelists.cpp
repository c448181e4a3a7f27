#include "updatelists.h"

#include <QFileInfo>

QString ListEntry::effectivePath() const
{
    return overridePath.isEmpty() ? key : overridePath;
}

QString ListEntry::targetPath(const QString& prefix) const
{
    const QString path = effectivePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString folder = info.path();
    if (folder == QLatin1String("."))
        return prefix + info.fileName();
    return folder + "/" + prefix + info.fileName();
}

InstallCommand::InstallCommand(const QString& program, const QStringList& arguments, bool required)
    : program(program)
    , arguments(arguments)
    , required(required)
{
}

void UpdateLists::clear()
{
    downloads.clear();
    replacements.clear();
    deletions.clear();
    preInstall.clear();
    postInstall.clear();
}
