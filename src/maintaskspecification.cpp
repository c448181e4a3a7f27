#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalltaskspecification.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration,
                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_NetworkManager(manager), m_Configuration(configuration)
{
}

MainTaskSpecification::~MainTaskSpecification()
{
    // The list tasks point into m_Lists: they go before it does.
    qDeleteAll(tasks);
    tasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
}

void MainTaskSpecification::execute()
{
    const bool clientStage = m_Configuration->isClientUpdate == 1;
    emit message(QStringLiteral("Starting update process for ") + (clientStage ? "client" : "updater"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // Every step exists before the first one runs; the list steps read the lists only when they
    // execute, after the compile step has filled them.
    addTask(new IniDownloadTaskSpecification(m_NetworkManager, m_Configuration, this, 0.1));
    addTask(new MakeDownloadReplaceListTaskSpecification(m_Configuration, &m_Lists, this, 0.05));
    addTask(new DownloadFileListTaskSpecification(&m_Lists.downloads, m_NetworkManager, m_Configuration, this, 0.4));
    addTask(new PrePostInstallListTaskSpecification(&m_Lists.preInstall, m_Configuration, this, 0.1));
    if (m_Configuration->isClientUpdate == 1) {
        addTask(new FileReplaceListTaskSpecification(&m_Lists.replacements, m_Configuration, this, 0.4));
        addTask(new FileDeleteListTaskSpecification(&m_Lists.deletions, m_Configuration, this, 0.05));
    } else {
        addTask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replacements, m_Configuration, this, 0.4));
    }
    addTask(new PrePostInstallListTaskSpecification(&m_Lists.postInstall, m_Configuration, this, 0.1));
    state = RUNNING;
    startSubtasks();
}

void MainTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    m_Lists.clear();
    TaskSpecification::reset();
}
