// Keys, detached signatures and digests made by outside tools (openssl, sha512sum) at test time.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The private half of the development key that test builds embed.
QString developmentPrivateKeyPath();
// Runs `program` with `args`; returns its stdout, or a null array when it did not exit with 0.
QByteArray runTool(const QString& program, const QStringList& args);
// openssl -sigopt values for RSA-PSS with MGF1-SHA-1 and the given salt length.
QStringList pssSha1Options(int saltLength = 8);
// Signs the SHA-1 digest of `file` with `keyPem` into `signatureFile`; `sigopts` pick the padding.
bool opensslSign(const QString& keyPem, const QString& file, const QString& signatureFile,
                 const QStringList& sigopts = pssSha1Options());
bool opensslGenerateRsaKey(const QString& pemOut, int bits = 1024);
// Lower-case hex from sha512sum; empty on failure.
QString sha512sum(const QString& file);
