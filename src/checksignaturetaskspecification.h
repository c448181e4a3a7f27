// Verification of one file: against its SHA-512 digest from the product ini, or, when no digest
// is given, against the detached RSA signature in file + ".sig" made with the deployer's key.
#pragma once

#include "asynctaskspecification.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

// The check itself; run() may also be called directly on any thread.
class CheckSigFunc : public ASyncFunc {
    Q_OBJECT

public:
    CheckSigFunc(const QString& file, const QString& expectedSha512);

    // An empty expected digest selects the RSA check.
    bool run() override;
    bool checkSHA512();
    bool checkRSA();
    // Reads the whole of a file of at most `maxSize` bytes.
    bool readFile(const QString& path, QByteArray* out, qint64 maxSize);

private:
    // Streams the file through the hash: memory use does not depend on the file size.
    bool hashFile(const QString& path, bool sha512, QByteArray* digest);

    QString m_File;
    QString m_ExpectedSha512;
};

class CheckSignatureTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // With `failOnMismatch` false a failed check is reported but the task still finishes.
    CheckSignatureTaskSpecification(const QString& file, const QString& expectedSha512,
                                    bool failOnMismatch, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
    void runDone(bool success) override;

    const QString& file() const { return m_File; }

signals:
    // Once per check, before the task's own end.
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    QString m_File;
    QString m_ExpectedSha512;
    bool m_FailOnMismatch;
};

Q_DECLARE_METATYPE(CheckSignatureTaskSpecification*)
