#include "checksignaturetaskspecification.h"
#include "qtwait.h"
#include "rsacrypto.h"
#include "signingtools.h"
#include "tempdir.h"

#include <QFile>
#include <QSignalSpy>
#include <QThreadPool>
#include <gtest/gtest.h>

namespace {

class CheckSignatureTest : public TempDirTest {
protected:
    void SetUp() override { initCrypto(); }

    // Runs the check directly and returns its result with the texts it emitted.
    static bool check(const QString& file, const QString& sha512, QStringList* texts = nullptr)
    {
        CheckSigFunc func(file, sha512);
        QStringList collected;
        QObject::connect(&func, &ASyncFunc::message, [&collected](const QString& t) { collected << t; });
        const bool ok = func.run();
        if (texts)
            *texts = collected;
        return ok;
    }

    QString signedFile(const QString& name, const QByteArray& content, const QStringList& sigopts = pssSha1Options())
    {
        const QString file = writeFile(name, content);
        EXPECT_TRUE(opensslSign(developmentPrivateKeyPath(), file, file + ".sig", sigopts));
        return file;
    }
};

TEST_F(CheckSignatureTest, BuildEmbedsTheDevelopmentKey)
{
    // The RSA cases below sign with the development key's private half.
    const QByteArray der = readFile(VL_TEST_SUPPORT_DIR "/../../keys/development_rsa_public.der");
    ASSERT_EQ(der.size(), 140);
    ASSERT_EQ(QByteArray(reinterpret_cast<const char*>(g_builtinRsaKey), 140), der)
        << "these tests need a build with the development RSA key (VL_RSA_PUBLIC_KEY_FILE)";
    for (unsigned long i = 140; i < kBuiltinRsaKeyBlockSize; ++i)
        ASSERT_EQ(g_builtinRsaKey[i], 0);
}

TEST_F(CheckSignatureTest, OpensslPssSignaturesAreAccepted)
{
    EXPECT_TRUE(check(signedFile("product.ini", "[files]\na.so=abc::12\n"), QString()));
    EXPECT_TRUE(check(signedFile("empty.ini", QByteArray()), QString()));
    QByteArray big(3 * 1024 * 1024 + 17, 'x');
    big[5] = 0;
    EXPECT_TRUE(check(signedFile("big.bin", big), QString())) << "more than one read block";
}

TEST_F(CheckSignatureTest, BadSignaturesAreRejectedWithoutThrowing)
{
    const QByteArray content = "[files]\nlib/a.so=0123::5\n";

    EXPECT_FALSE(check(signedFile("salt20.ini", content, pssSha1Options(20)), QString())) << "salt length 20";
    EXPECT_FALSE(check(signedFile("pkcs1.ini", content, {"rsa_padding_mode:pkcs1"}), QString())) << "PKCS#1 v1.5";

    const QString otherKey = path("other.pem");
    ASSERT_TRUE(opensslGenerateRsaKey(otherKey));
    const QString other = writeFile("other.ini", content);
    ASSERT_TRUE(opensslSign(otherKey, other, other + ".sig"));
    EXPECT_FALSE(check(other, QString())) << "another key";

    const QString shortSig = signedFile("short.ini", content);
    QByteArray sig = readFile(shortSig + ".sig");
    ASSERT_EQ(sig.size(), 128);
    writeFile("short.ini.sig", sig.left(127));
    EXPECT_FALSE(check(shortSig, QString())) << "127-byte signature";
    writeFile("short.ini.sig", sig + sig);
    EXPECT_FALSE(check(shortSig, QString())) << "256-byte signature";
    writeFile("short.ini.sig", QByteArray(1 << 20, '\x55'));
    EXPECT_FALSE(check(shortSig, QString())) << "oversized signature file";

    const QString flipped = signedFile("flipped.ini", content);
    QByteArray changed = content;
    changed[3] = char(changed[3] ^ 0x01);
    writeFile("flipped.ini", changed);
    EXPECT_FALSE(check(flipped, QString())) << "one flipped byte";
}

TEST_F(CheckSignatureTest, MissingFilesFailWithTheirTexts)
{
    QStringList texts;
    const QString missing = path("missing.ini");
    EXPECT_FALSE(check(missing, QString(), &texts));
    EXPECT_EQ(texts, QStringList{"Could not open file " + missing + " for reading"}) << "the .sig is not tried";

    const QString unsigned_ = writeFile("unsigned.ini", "x");
    EXPECT_FALSE(check(unsigned_, QString(), &texts));
    EXPECT_EQ(texts, QStringList{"Could not open file " + unsigned_ + ".sig for reading"});

    EXPECT_FALSE(check(missing, "00", &texts));
    EXPECT_EQ(texts, QStringList{"Could not open file " + missing + " for reading"});
}

TEST_F(CheckSignatureTest, Sha512DigestsFromSha512sumMatchInEitherCase)
{
    const QString file = writeFile("lib/a.so", QByteArray(200000, 'a') + "tail");
    const QString digest = sha512sum(file);
    ASSERT_EQ(digest.size(), 128);
    EXPECT_TRUE(check(file, digest));
    EXPECT_TRUE(check(file, digest.toUpper()));

    QString wrong = digest;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    EXPECT_FALSE(check(file, wrong));
    EXPECT_FALSE(check(file, digest.left(127)));

    const QString empty = writeFile("empty", QByteArray());
    EXPECT_TRUE(check(empty, sha512sum(empty)));
    EXPECT_FALSE(check(empty, digest));
}

TEST_F(CheckSignatureTest, FilesOfMoreThanTwoGibibytesAreHashedCompletely)
{
    // Sparse, so the test costs hashing time but no disk space.
    const QString file = path("huge.bin");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize((qint64(2) << 30) + 3));
        ASSERT_TRUE(f.seek(f.size() - 1));
        ASSERT_EQ(f.write("z", 1), 1);
    }
    const QString digest = sha512sum(file);
    ASSERT_EQ(digest.size(), 128);
    EXPECT_TRUE(check(file, digest));
}

class CheckSignatureTaskTest : public CheckSignatureTest {
protected:
    struct Outcome {
        int state;
        QList<bool> checks;
        QStringList texts;
    };

    Outcome runTask(const QString& file, const QString& sha512, bool failOnMismatch)
    {
        CheckSignatureTaskSpecification task(file, sha512, failOnMismatch, nullptr, 0.2);
        Outcome out;
        // The string-based connection the download task uses must resolve.
        QSignalSpy checkDone(&task, SIGNAL(checkDone(bool, CheckSignatureTaskSpecification*)));
        QObject::connect(&task, &TaskSpecification::message, [&out](const QString& t) { out.texts << t; });
        QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone,
                         [&out, &task](bool pass, CheckSignatureTaskSpecification* sender) {
                             EXPECT_EQ(sender, &task);
                             EXPECT_EQ(task.state, TaskSpecification::RUNNING) << "checkDone comes before the end";
                             out.checks << pass;
                         });
        task.execute();
        EXPECT_TRUE(waitUntil([&task] { return task.hasEnded(); }));
        out.state = task.state;
        EXPECT_EQ(checkDone.count(), out.checks.size());
        return out;
    }
};

TEST_F(CheckSignatureTaskTest, MismatchIsReportedAndFailsOnlyWhenAsked)
{
    const QString file = writeFile("a.bin", "content");
    const QString good = sha512sum(file);
    const QString bad = QString(128, 'a');
    const QString text = "Signature check failed for " + file;

    Outcome ok = runTask(file, good, true);
    EXPECT_EQ(ok.state, TaskSpecification::FINISHED);
    EXPECT_EQ(ok.checks, QList<bool>{true});
    EXPECT_TRUE(ok.texts.isEmpty());

    Outcome lenient = runTask(file, bad, false);
    EXPECT_EQ(lenient.state, TaskSpecification::FINISHED);
    EXPECT_EQ(lenient.checks, QList<bool>{false});
    EXPECT_EQ(lenient.texts, QStringList{text});

    Outcome strict = runTask(file, bad, true);
    EXPECT_EQ(strict.state, TaskSpecification::FAILED);
    EXPECT_EQ(strict.checks, QList<bool>{false});
    EXPECT_EQ(strict.texts, QStringList{text});

    const QString missing = path("missing.bin");
    Outcome unreadable = runTask(missing, good, false);
    EXPECT_EQ(unreadable.state, TaskSpecification::FINISHED);
    EXPECT_EQ(unreadable.texts, (QStringList{"Could not open file " + missing + " for reading",
                                             "Signature check failed for " + missing}));
}

TEST_F(CheckSignatureTaskTest, ResultAfterTheTaskEndedIsIgnored)
{
    const QString file = writeFile("a.bin", "content");
    CheckSignatureTaskSpecification task(file, QString(128, 'b'), true, nullptr, 0.2);
    QSignalSpy checkDone(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy texts(&task, &TaskSpecification::message);
    task.execute();
    task.setCanceled();
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(task.state, TaskSpecification::CANCELED);
    EXPECT_EQ(checkDone.count(), 0);
    EXPECT_EQ(texts.count(), 0);
}

class RsaLayerTest : public TempDirTest {
protected:
    void SetUp() override { initCrypto(); }
};

TEST_F(RsaLayerTest, SignaturesMadeHereVerifyWithOpenssl)
{
    const QByteArray msg = "release notes";
    const QString msgPath = writeFile("msg", msg);
    const auto bytes = reinterpret_cast<const unsigned char*>(msg.constData());

    RsaKey key;
    makeRsaKey(key);
    unsigned char sig[256];
    unsigned long sigLength = sizeof sig;
    signRsaSha1(key, bytes, msg.size(), sig, &sigLength);
    ASSERT_EQ(sigLength, 128u);
    EXPECT_TRUE(verifyRsaSha1(key, bytes, msg.size(), sig, sigLength));

    const std::string pub = path("pub.der").toStdString();
    exportRsaKeyToFile(key, PK_PUBLIC, pub);
    RsaKey imported;
    importRsaKeyFromFile(imported, pub);
    EXPECT_TRUE(verifyRsaSha1(imported, bytes, msg.size(), sig, sigLength));
    EXPECT_FALSE(verifyRsaSha1(imported, reinterpret_cast<const unsigned char*>("other"), 5, sig, sigLength));

    // openssl takes the DER without the block's zero padding: 30 81 LL holds LL bytes.
    const std::vector<unsigned char> block = readWholeFile(pub, kBuiltinRsaKeyBlockSize);
    ASSERT_EQ(block.size(), kBuiltinRsaKeyBlockSize);
    ASSERT_EQ(block[0], 0x30);
    ASSERT_EQ(block[1], 0x81);
    writeWholeFile(path("pub.trim.der").toStdString(), block.data(), 3ul + block[2]);
    writeWholeFile(path("msg.sig").toStdString(), sig, sigLength);
    ASSERT_FALSE(runTool("openssl", {"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", path("pub.trim.der"),
                                     "-pubout", "-out", path("pub.pem")})
                     .isNull());
    QStringList verify = {"dgst", "-sha1", "-verify", path("pub.pem"), "-signature", path("msg.sig")};
    for (const QString& opt : pssSha1Options())
        verify << "-sigopt" << opt;
    EXPECT_FALSE(runTool("openssl", verify << msgPath).isNull());

    EXPECT_THROW(importRsaKey(imported, reinterpret_cast<const unsigned char*>("garbage"), 7), crypt_exception);
    EXPECT_THROW(importRsaKeyFromFile(imported, path("none").toStdString()), crypt_exception);
}

} // namespace
