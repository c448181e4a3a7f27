// The first step of an update stage: fetch the stage's product ini packed as "._lzma2_", unpack
// it and prove it against its detached RSA signature before anything compiles it.
#pragma once

#include "composedtaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

class IniDownloadTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Neither pointer is owned; the manager carries the proxy.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration, QObject* parent,
                                 qreal weight);

    void execute() override;
    void reset() override;

    // "update_linux_amd64.ini" for the first stage, "vl3_client_linux_amd64.ini" for the second.
    static QString productIniName(bool clientUpdate);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* m_NetworkManager;
    Configuration* m_Configuration;
};
