#include "signingtools.h"

#include <QProcess>

QString developmentPrivateKeyPath()
{
    return QStringLiteral(VL_TEST_SUPPORT_DIR "/development_rsa_private.pem");
}

QByteArray runTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    QByteArray out = p.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

QStringList pssSha1Options(int saltLength)
{
    return {"rsa_padding_mode:pss", QStringLiteral("rsa_pss_saltlen:%1").arg(saltLength), "rsa_mgf1_md:sha1"};
}

bool opensslSign(const QString& keyPem, const QString& file, const QString& signatureFile,
                 const QStringList& sigopts)
{
    QStringList args = {"dgst", "-sha1", "-sign", keyPem, "-out", signatureFile};
    for (const QString& opt : sigopts)
        args << "-sigopt" << opt;
    args << file;
    return !runTool("openssl", args).isNull();
}

bool opensslGenerateRsaKey(const QString& pemOut, int bits)
{
    return !runTool("openssl", {"genpkey", "-algorithm", "RSA", "-pkeyopt",
                                QStringLiteral("rsa_keygen_bits:%1").arg(bits), "-out", pemOut})
                .isNull();
}

QString sha512sum(const QString& file)
{
    const QByteArray out = runTool("sha512sum", {file});
    return QString::fromLatin1(out.left(out.indexOf(' ')));
}
