// The root of one update stage's task tree: fetches and checks the product ini, compiles it into
// the stage's lists, downloads, runs the install commands and installs, strictly in sequence.
#pragma once

#include "composedtaskspecification.h"
#include "updatelists.h"

class Configuration;
class QNetworkAccessManager;

class MainTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Neither pointer is owned; the manager carries the proxy setting for every download.
    MainTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration, QObject* parent,
                          qreal weight);
    ~MainTaskSpecification() override;

    void execute() override;
    void reset() override;

    // The stage's plan, filled by the compile step and read by the later steps when they run.
    const UpdateLists& lists() const { return m_Lists; }

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* m_NetworkManager;
    Configuration* m_Configuration;
    UpdateLists m_Lists;
};
