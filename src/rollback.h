// Records of file operations on the client's installation, undone newest first when a
// replacement fails. Undo failures are reported as texts through a receiver's `message` signal.
#pragma once

#include <QList>
#include <QString>

class QObject;

class RollbackData {
public:
    enum Op { FILE_RENAME = 0, FILE_CREATE = 1, DIR_CREATE = 2 };

    // A rename of `from` to `to`.
    RollbackData(int op, const QString& from, const QString& to);
    // A created file or directory.
    RollbackData(int op, const QString& path);

    bool rollback(QObject* receiver) const;

    // Replaces whatever stands at `to` in one step, so the name is never missing; false, with
    // errno set by rename(), when it fails. When both names are links to one file, rename()
    // changes nothing and `from` stays: it is then removed.
    static bool renameBack(const QString& from, const QString& to);

    // Invokes the receiver's "message" signal or slot with `text`; a null receiver gets nothing.
    static void message(QObject* receiver, const QString& text);

    QString path;
    QString path2;
    int op;
};

class RollbackDataList {
public:
    RollbackDataList() = default;

    void add(const RollbackData& data);
    void append(const RollbackDataList& other);
    void clear();
    // Undoes every record, last first, trying all of them; the list is empty afterwards.
    bool rollback(QObject* receiver);

    int size() const { return m_List.size(); }
    bool isEmpty() const { return m_List.isEmpty(); }
    const RollbackData& at(int i) const { return m_List.at(i); }

private:
    QList<RollbackData> m_List;
};
