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

    // Nothing signed gives the product ini's size before the check, so it is bounded here, packed
    // and unpacked: a container announcing more is refused before anything is reserved for it.
    // A line of the ini, two digests and two paths, takes about 350 bytes: these sizes hold
    // releases of about 90,000 files.
    static constexpr qint64 kMaxPackedSize = 32 << 20;
    static constexpr quint64 kMaxUnpackedSize = 32 << 20;

    // "update_linux_amd64.ini" for the first stage, "vl3_client_linux_amd64.ini" for the second.
    static QString productIniName(bool clientUpdate);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* m_NetworkManager;
    Configuration* m_Configuration;
};
