// A directory that paths named by the product ini must stay in. Those paths are not trusted:
// they may not leave the directory by their letters ("/" at the start, "..") nor through a
// symbolic link met on the way.
#pragma once

#include <QString>

class ConfinedDirectory {
public:
    // `dir` is resolved once; a directory that does not exist contains nothing.
    explicit ConfinedDirectory(const QString& dir);

    bool exists() const { return !m_Root.isEmpty(); }
    const QString& canonicalPath() const { return m_Root; }

    // Relative, without ".." segments, and naming something below the directory, not the
    // directory itself ("", ".", "./").
    static bool isRelativeBelow(const QString& relative);
    // As isRelativeBelow, ending in a name: not in "/" nor in ".".
    static bool isRelativeFileName(const QString& relative);

    // The canonical path that `path`, or the nearest of its ancestors that exists, resolves to,
    // when that is the directory or lies below it; otherwise empty. A link, even a dangling one,
    // is judged by where it leads, and a dangling one leads nowhere.
    QString resolveInside(const QString& path) const;

private:
    QString m_Root;
};
