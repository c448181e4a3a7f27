#include "checkedwritetaskspecification.h"

#include "checksignaturetaskspecification.h"

CheckedWriteTaskSpecification::CheckedWriteTaskSpecification(TaskSpecification* writer, const QString& path,
                                                             const QString& sha512, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
{
    writer->setParent(this);
    addTask(writer);
    addTask(new CheckSignatureTaskSpecification(path, sha512, true, this, kCheckWeight));
}

void CheckedWriteTaskSpecification::execute()
{
    startSubtasks();
}
