#include "checkedwritetaskspecification.h"

#include "checksignaturetaskspecification.h"

#include <QFile>

#include <algorithm>

CheckedWriteTaskSpecification::CheckedWriteTaskSpecification(TaskSpecification* writer, const QString& path,
                                                             const QString& sha512, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Path(path)
{
    writer->setParent(this);
    addTask(writer);
    addTask(new CheckSignatureTaskSpecification(path, sha512, true, this, kCheckWeight));
}

void CheckedWriteTaskSpecification::execute()
{
    startSubtasks();
}

void CheckedWriteTaskSpecification::subtasksDone()
{
    // A file that was not written whole or does not match is of no use, and it may be as large
    // as the product ini allows: it does not stay in the session folder.
    const bool checked = std::all_of(tasks.begin(), tasks.end(),
                                     [](const TaskSpecification* task) { return task->state == FINISHED; });
    if (!checked)
        QFile::remove(m_Path);
    ComposedTaskSpecification::subtasksDone();
}
