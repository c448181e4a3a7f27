#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

RollbackData::RollbackData(int op, const QString& from, const QString& to) : path(to), path2(from), op(op)
{
    if (op != FILE_RENAME)
        qFatal("op==FILE_RENAME");
}

RollbackData::RollbackData(int op, const QString& p) : path(p), op(op)
{
    if (op == FILE_RENAME)
        qFatal("op!=FILE_RENAME");
}

bool RollbackData::renameBack(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    if (::rename(source.constData(), QFile::encodeName(to).constData()) != 0)
        return false;
    struct stat info;
    if (::lstat(source.constData(), &info) == 0)
        ::unlink(source.constData());
    return true;
}

bool RollbackData::rollback(QObject* receiver) const
{
    switch (op) {
    case FILE_RENAME:
        if (renameBack(path, path2))
            return true;
        message(receiver, QString("warning: rollback rename %1 to %2 failed").arg(path2, path));
        return false;
    case FILE_CREATE:
        if (QFile::remove(path))
            return true;
        message(receiver, QString("warning: rollback create file %1 failed").arg(path));
        return false;
    case DIR_CREATE:
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(receiver, QString("warning: rollback create dir %1 failed").arg(path));
        return false;
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject* receiver, const QString& text)
{
    if (!receiver)
        return;
    if (!QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

void RollbackDataList::add(const RollbackData& data)
{
    m_List.append(data);
}

void RollbackDataList::append(const RollbackDataList& other)
{
    m_List.append(other.m_List);
}

void RollbackDataList::clear()
{
    m_List.clear();
}

bool RollbackDataList::rollback(QObject* receiver)
{
    bool allUndone = true;
    while (!m_List.isEmpty()) {
        if (!m_List.takeLast().rollback(receiver))
            allUndone = false;
    }
    return allUndone;
}
