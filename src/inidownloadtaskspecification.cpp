#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "slowfileopspecification.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const kPackedSuffix = "._lzma2_";
const char* const kSignatureSuffix = ".sig";
const qreal kDownloadWeight = 0.3333;
// Nothing signed gives its size before the check: a signature is the size of the key's modulus.
const qint64 kSignatureMaxSize = 4 << 10;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager,
                                                           Configuration* configuration, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_NetworkManager(manager), m_Configuration(configuration)
{
}

QString IniDownloadTaskSpecification::productIniName(bool clientUpdate)
{
    return (clientUpdate ? QStringLiteral("vl3_") : QString()) + Configuration::defaultClientType(clientUpdate)
           + QStringLiteral(".ini");
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString name = productIniName(m_Configuration->isClientUpdate == 1);
    const QString packedName = name + kPackedSuffix;
    const QString signatureName = name + kSignatureSuffix;
    const QString iniFile = m_Configuration->tempDir + '/' + name;
    qDebug() << "makeSubtasksAndStart" << name << packedName;

    // Files of an earlier run of the same session are taken as they are; the check always runs.
    qreal checkWeight = 1.0;
    if (!QFileInfo::exists(iniFile)) {
        qDebug() << "Requesting" << packedName;
        const QString packedFile = m_Configuration->tempDir + '/' + packedName;
        addTask(new DownloadTaskSpecification(m_NetworkManager, packedName, m_Configuration->version, packedFile, -1,
                                              kMaxPackedSize, this, kDownloadWeight));
        // The product ini is text: the executable form would only cost memory before its check.
        addTask(new FileUnpackTaskSpecification_lzma2(nullptr, packedFile, iniFile, kMaxUnpackedSize, this, 1.0,
                                                      PackedForms::PlainOnly));
        checkWeight = 0.6667;
    }
    const QString signatureFile = iniFile + kSignatureSuffix;
    if (!QFileInfo::exists(signatureFile)) {
        qDebug() << "Requesting" << signatureName;
        addTask(new DownloadTaskSpecification(m_NetworkManager, signatureName, m_Configuration->version,
                                              signatureFile, -1, kSignatureMaxSize, this, kDownloadWeight));
        checkWeight -= kDownloadWeight;
    }
    auto check = new CheckSignatureTaskSpecification(iniFile, QString(), true, this, checkWeight);
    connect(check, SIGNAL(checkDone(bool, CheckSignatureTaskSpecification*)), this,
            SLOT(onSigCheckDone(bool, CheckSignatureTaskSpecification*)));
    addTask(check);
    state = RUNNING;
    startSubtasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task)
{
    if (pass)
        return;
    qDebug() << "Failed to verify product ini, aborting";
    // Files kept from a failed check would fail every later start of this session the same
    // way, so the next start fetches them again.
    const QString iniFile = task->file();
    for (const QString& file : {iniFile, iniFile + kPackedSuffix, iniFile + kSignatureSuffix})
        QFile::remove(file);
    emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
    setFailed();
}

void IniDownloadTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}
