#include "checksignaturetaskspecification.h"

#include "rsacrypto.h"

#include <QDebug>
#include <QFile>

namespace {

const int checkTaskTypeId =
    qRegisterMetaType<CheckSignatureTaskSpecification*>("CheckSignatureTaskSpecification*");

// Large reads keep the digest close to the speed of the hash itself.
const qint64 kReadBlock = 1 << 20;
// A signature of any key size this program could carry fits easily.
const qint64 kMaxSignatureSize = 4096;

} // namespace

CheckSigFunc::CheckSigFunc(const QString& file, const QString& expectedSha512)
    : m_File(file), m_ExpectedSha512(expectedSha512)
{
}

bool CheckSigFunc::run()
{
    return m_ExpectedSha512.isEmpty() ? checkRSA() : checkSHA512();
}

bool CheckSigFunc::readFile(const QString& path, QByteArray* out, qint64 maxSize)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = f.size();
    if (size >= 0 && size <= maxSize) {
        out->resize(int(size));
        if (f.read(out->data(), size) == size)
            return true;
    }
    emit message(QStringLiteral("could not read file %1 correctly").arg(path));
    return false;
}

bool CheckSigFunc::hashFile(const QString& path, bool sha512, QByteArray* digest)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    hash_state state;
    sha512 ? sha512_init(&state) : sha1_init(&state);
    QByteArray block(int(kReadBlock), Qt::Uninitialized);
    const qint64 size = f.size();
    qint64 total = 0;
    qint64 n;
    while ((n = f.read(block.data(), kReadBlock)) > 0) {
        const auto bytes = reinterpret_cast<const unsigned char*>(block.constData());
        sha512 ? sha512_process(&state, bytes, quint64(n)) : sha1_process(&state, bytes, quint64(n));
        total += n;
    }
    digest->resize(sha512 ? 64 : 20);
    const auto out = reinterpret_cast<unsigned char*>(digest->data());
    sha512 ? sha512_done(&state, out) : sha1_done(&state, out);
    if (n < 0 || total != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray digest;
    if (!hashFile(m_File, true, &digest))
        return false;
    const QString actual = QString::fromLatin1(digest.toHex());
    const bool equal = actual.compare(m_ExpectedSha512, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << actual << m_ExpectedSha512 << "=>" << equal;
    return equal;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray digest;
    if (!hashFile(m_File, false, &digest)) {
        qDebug() << "RSA check failed, could not read" << m_File;
        return false;
    }
    const QString sigPath = m_File + QStringLiteral(".sig");
    QByteArray signature;
    if (!readFile(sigPath, &signature, kMaxSignatureSize)) {
        qDebug() << "RSA check failed, could not read" << sigPath;
        return false;
    }
    try {
        RsaKey key;
        importRsaKey(key, g_builtinRsaKey, kBuiltinRsaKeyBlockSize);
        const bool valid = verifyRsaSha1Digest(key, reinterpret_cast<const unsigned char*>(digest.constData()),
                                               reinterpret_cast<const unsigned char*>(signature.constData()),
                                               static_cast<unsigned long>(signature.size()));
        qDebug() << "RSA check" << valid;
        return valid;
    } catch (const crypt_exception& e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& file, const QString& expectedSha512,
                                                                 bool failOnMismatch, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight),
      m_File(file),
      m_ExpectedSha512(expectedSha512),
      m_FailOnMismatch(failOnMismatch)
{
    Q_UNUSED(checkTaskTypeId);
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_File, m_ExpectedSha512);
}

void CheckSignatureTaskSpecification::runDone(bool success)
{
    if (state != RUNNING)
        return;
    if (success) {
        emit checkDone(true, this);
        setFinished();
        return;
    }
    qDebug() << "Signature check failed for" << m_File;
    emit message(QStringLiteral("Signature check failed for %1").arg(m_File));
    emit checkDone(false, this);
    if (m_FailOnMismatch)
        setFailed();
    else
        setFinished();
}
