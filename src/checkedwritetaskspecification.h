// One file written by a worker task into the session's temporary directory and then checked
// against the digest that the product ini gives for it: the step fails when the write fails or
// the written file does not match, and then the file does not stay.
#pragma once

#include "composedtaskspecification.h"

#include <QString>

class CheckedWriteTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Shares of the step's weight.
    static constexpr qreal kWriteWeight = 0.8;
    static constexpr qreal kCheckWeight = 0.2;

    // Takes over `writer`, a task that writes `path`; the check follows it.
    CheckedWriteTaskSpecification(TaskSpecification* writer, const QString& path, const QString& sha512,
                                  QObject* parent, qreal weight);

    void execute() override;
    void subtasksDone() override;

private:
    QString m_Path;
};
