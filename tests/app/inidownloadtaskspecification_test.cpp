#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "httpserverfixture.h"
#include "inidownloadtaskspecification.h"
#include "peakmemory.h"
#include "releasetools.h"
#include "rsacrypto.h"
#include "signingtools.h"
#include "slowfileopspecification.h"
#include "taskrun.h"
#include "writefailure.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <gtest/gtest.h>

namespace {

const int kVersion = 4711;
const QByteArray kProductIni = "[files]\nupdate=0123abcd::7::4567ef::9::update\n\n[delete]\nold.so=1\n";

// Opens the plan the task builds, to check the kinds and weights of its steps.
class InspectedIniDownload : public IniDownloadTaskSpecification {
public:
    using IniDownloadTaskSpecification::IniDownloadTaskSpecification;
    const QList<TaskSpecification*>& subtasks() const { return tasks; }
};

class IniDownloadTest : public HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        initCrypto();
        configuration.tempDir = makeDir("session");
        configuration.version = kVersion;
        g_downloadBaseUrl = server->baseUrl();
    }

    QString iniName() const { return IniDownloadTaskSpecification::productIniName(configuration.isClientUpdate); }
    QString session(const QString& name) const { return configuration.tempDir + "/" + name; }

    // The release as the maker publishes it: the product ini packed by the container writer,
    // and its signature made by openssl with `key` over the plain ini.
    void publish(const QByteArray& content, const QString& key = developmentPrivateKeyPath())
    {
        const QString plain = writeFile("release/" + iniName(), content);
        const QString folder = makeDir(QString("www/%1").arg(kVersion));
        ASSERT_TRUE(packFile(plain, folder + "/" + iniName() + "._lzma2_"));
        ASSERT_TRUE(opensslSign(key, plain, folder + "/" + iniName() + ".sig"));
    }

    std::unique_ptr<InspectedIniDownload> makeTask()
    {
        auto task = std::make_unique<InspectedIniDownload>(&manager, &configuration, nullptr, 0.1);
        QObject::connect(task.get(), &TaskSpecification::message, [this](const QString& t) { messages << t; });
        return task;
    }

    // The paths the server was asked for, in order.
    QStringList requestedPaths() const
    {
        QStringList paths;
        for (const QJsonValue& r : QJsonDocument::fromJson(server->control("requests")).array())
            paths << r.toObject().value("path").toString();
        return paths;
    }

    QNetworkAccessManager manager;
    Configuration configuration;
    QStringList messages;
};

} // namespace

TEST_F(IniDownloadTest, FirstStageFetchesUnpacksAndVerifies)
{
    publish(kProductIni);
    auto task = makeTask();
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED) << messages.join('\n').toStdString();
    EXPECT_DOUBLE_EQ(task->progress, 0.1);
    EXPECT_EQ(readFile(session("update_linux_amd64.ini")), kProductIni);
    EXPECT_EQ(messages.first(), "Download / check product ini");
    EXPECT_FALSE(messages.join('\n').contains("Signature check failed"));
    const QString folder = QString("/%1/").arg(kVersion);
    EXPECT_EQ(requestedPaths(), (QStringList{folder + "update_linux_amd64.ini._lzma2_",
                                             folder + "update_linux_amd64.ini.sig"}));

    const QList<TaskSpecification*>& steps = task->subtasks();
    ASSERT_EQ(steps.size(), 4);
    EXPECT_TRUE(dynamic_cast<DownloadTaskSpecification*>(steps[0]));
    EXPECT_TRUE(dynamic_cast<FileUnpackTaskSpecification_lzma2*>(steps[1]));
    EXPECT_TRUE(dynamic_cast<DownloadTaskSpecification*>(steps[2]));
    EXPECT_TRUE(dynamic_cast<CheckSignatureTaskSpecification*>(steps[3]));
    const qreal weights[] = {0.3333, 1.0, 0.3333, 0.3334};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(steps[i]->weight, weights[i], 1e-9) << i;
}

TEST_F(IniDownloadTest, SecondStageTakesPresentFilesAndOnlyChecks)
{
    configuration.isClientUpdate = 1;
    const QString ini = writeFile("session/vl3_client_linux_amd64.ini", kProductIni);
    ASSERT_TRUE(opensslSign(developmentPrivateKeyPath(), ini, ini + ".sig"));
    auto task = makeTask();
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    ASSERT_EQ(task->subtasks().size(), 1);
    EXPECT_DOUBLE_EQ(task->subtasks()[0]->weight, 1.0);
    EXPECT_TRUE(requestedPaths().isEmpty());
}

TEST_F(IniDownloadTest, UnverifiedIniFailsTheStepAndIsFetchedAgainNextTime)
{
    const QString otherKey = path("other.pem");
    ASSERT_TRUE(opensslGenerateRsaKey(otherKey));
    struct Case {
        const char* what;
        QString key;
        bool tampered;
    } cases[] = {{"signed with another key", otherKey, false},
                 {"tampered after signing", developmentPrivateKeyPath(), true}};
    for (const Case& c : cases) {
        messages.clear();
        publish(kProductIni, c.key);
        // A product ini left from an earlier run that differs from the signed one.
        if (c.tampered)
            writeFile("session/update_linux_amd64.ini", kProductIni + "[preinstall]\nevil.sh=linux64\n");
        auto task = makeTask();
        ASSERT_TRUE(runUntilEnded(*task)) << c.what;
        EXPECT_EQ(task->state, TaskSpecification::FAILED) << c.what;
        EXPECT_TRUE(messages.contains("Could not verify the product ini file. Aborting")) << c.what;
        EXPECT_TRUE(messages.contains("Signature check failed for " + session("update_linux_amd64.ini"))) << c.what;
        EXPECT_EQ(task->subtasks().last()->state, TaskSpecification::FAILED) << c.what;
        // Kept, they would fail every later start of this session the same way.
        for (const char* suffix : {"", "._lzma2_", ".sig"})
            EXPECT_FALSE(QFile::exists(session(QString("update_linux_amd64.ini") + suffix))) << c.what << suffix;
    }

    publish(kProductIni);
    messages.clear();
    auto retry = makeTask();
    ASSERT_TRUE(runUntilEnded(*retry));
    EXPECT_EQ(retry->state, TaskSpecification::FINISHED) << messages.join('\n').toStdString();
    EXPECT_EQ(readFile(session("update_linux_amd64.ini")), kProductIni);
}

TEST_F(IniDownloadTest, SignatureThatCannotBeFetchedFailsBeforeAnyCheck)
{
    struct Case {
        const char* misbehaviour;
        const char* refusal;
    } cases[] = {// Nothing is published: the signature is missing.
                 {"", "update_linux_amd64.ini.sig returned 404"},
                 // Would inflate to 1 GiB.
                 {"gzipbomb=1024", "update_linux_amd64.ini.sig was sent with content encoding gzip"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.misbehaviour);
        messages.clear();
        // A session that has its product ini fetches only the signature.
        writeFile("session/update_linux_amd64.ini", kProductIni);
        g_downloadBaseUrl = server->baseUrl() + "_do:" + c.misbehaviour + "/";
        PeakMemoryGrowth peak;
        auto task = makeTask();
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_LT(peak.mebibytes(), 64);
        EXPECT_EQ(task->state, TaskSpecification::FAILED);
        EXPECT_EQ(messages.count(c.refusal), DownloadTaskSpecification::kMaxAttempts);
        EXPECT_TRUE(messages.contains("Unable to download update_linux_amd64.ini.sig"));
        EXPECT_FALSE(messages.contains("Could not verify the product ini file. Aborting"));
        EXPECT_EQ(task->subtasks().last()->state, TaskSpecification::IDLE) << "the check never starts";
        EXPECT_FALSE(QFile::exists(session("update_linux_amd64.ini.sig")));
    }
}

TEST_F(IniDownloadTest, EndlessBodiesStopAtSmallFixedSizes)
{
    // Nothing signed gives these sizes yet: the packed ini has a bound of its own, the signature
    // 4 KiB.
    publish(kProductIni);
    g_downloadBaseUrl = server->baseUrl() + "_do:endless=1/";
    FileSizeLimit disk(IniDownloadTaskSpecification::kMaxPackedSize);
    auto task = makeTask();
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.count(QString("update_linux_amd64.ini._lzma2_ is larger than %1 bytes")
                                 .arg(IniDownloadTaskSpecification::kMaxPackedSize)),
              DownloadTaskSpecification::kMaxAttempts);
    EXPECT_TRUE(QDir(configuration.tempDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // A session that already has its product ini fetches only the signature.
    messages.clear();
    writeFile("session/update_linux_amd64.ini", kProductIni);
    auto resumed = makeTask();
    ASSERT_TRUE(runUntilEnded(*resumed));
    EXPECT_EQ(resumed->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.count("update_linux_amd64.ini.sig is larger than 4096 bytes"),
              DownloadTaskSpecification::kMaxAttempts);
    EXPECT_FALSE(QFile::exists(session("update_linux_amd64.ini.sig")));
}

TEST_F(IniDownloadTest, ServerErrorStopsAtTheFirstDownload)
{
    publish(kProductIni);
    g_downloadBaseUrl = server->baseUrl() + "_do:status=500/";
    auto task = makeTask();
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_TRUE(messages.contains("Unable to download update_linux_amd64.ini._lzma2_"));
    const QStringList requested = requestedPaths();
    EXPECT_EQ(requested.size(), DownloadTaskSpecification::kMaxAttempts);
    EXPECT_FALSE(requested.join(' ').contains(".sig"));
    EXPECT_TRUE(QDir(configuration.tempDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST_F(IniDownloadTest, PackedIniThatUnpacksToGigabytesIsRefusedBeforeAnythingIsReserved)
{
    // Served where the packed product ini belongs: 760 KB of LZMA2 data that really unpack to
    // 4 GiB of zeros, as a plain container and in the executable form, and 30 KB in the
    // executable form whose encoded program announces 75 million addresses with their
    // relocation table. The plain one is refused for its announced size against the ini's
    // bound; the product ini is text, so the executable form is refused before its payload.
    const QString folder = makeDir(QString("www/%1").arg(kVersion));
    const QString packed = folder + "/" + iniName() + "._lzma2_";
    const QString sizeRefusal = QString("%1 announces 4294479872 bytes unpacked, more than the %2 bytes allowed")
                                    .arg(session(iniName() + "._lzma2_"))
                                    .arg(IniDownloadTaskSpecification::kMaxUnpackedSize);
    const QString formRefusal =
        QString("%1 is packed as an executable, which this file cannot be").arg(session(iniName() + "._lzma2_"));
    const struct {
        QString command;
        QString refusal;
    } cases[] = {
        {"zerocontainer.py --chunks 2048 --directive 1", sizeRefusal},
        {"zerocontainer.py --chunks 2048 --directive 2", formRefusal},
        {"craftedprogram.py --addresses 75000000", formRefusal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        messages.clear();
        ASSERT_EQ(runCommand(QString("python3 '%1'/%2 '%3'").arg(VL_TEST_SUPPORT_DIR, c.command, packed)), 0);
        PeakMemoryGrowth peak;
        auto task = makeTask();
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FAILED);
        EXPECT_TRUE(messages.contains(QString("Could not unpack '%1' to '%2'")
                                          .arg(session(iniName() + "._lzma2_"), session(iniName()))))
            << messages.join('\n').toStdString();
        EXPECT_TRUE(messages.contains(c.refusal)) << messages.join('\n').toStdString();
        EXPECT_LT(peak.mebibytes(), 32);
        // Neither the container nor any piece of the ini stays for the next start.
        EXPECT_TRUE(QDir(configuration.tempDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
        EXPECT_FALSE(requestedPaths().join(' ').contains(".sig"));
    }
}
