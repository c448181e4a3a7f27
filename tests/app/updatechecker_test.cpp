#include "updatechecker.h"

#include "httpserverfixture.h"
#include "peakmemory.h"
#include "protoencode.h"
#include "querythreads.h"
#include "qtwait.h"
#include "versionsinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>

namespace {

QByteArray versionsReply(const std::string& text)
{
    const std::string bytes = protocEncode(VL_UPDATEMESSAGE_PROTO, "voxlane.update.Versions", text);
    return QByteArray(bytes.data(), int(bytes.size()));
}

class UpdateCheckerTest : public HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        registerUpdateVersionsMetaType();
    }

    void TearDown() override
    {
        settleQueryThreads();
        HttpServerTest::TearDown();
    }

    // Runs one query against `url`; expects exactly one answer and the checker gone afterwards.
    UpdateVersions query(const QString& url)
    {
        g_versionServerUrl = url.toStdString();
        QPointer<UpdateChecker> checker = new UpdateChecker(nullptr);
        QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
        checker->check();
        EXPECT_TRUE(waitUntil([&] { return checker.isNull(); }, 10000)) << "no answer from " << url.toStdString();
        drainEvents();
        EXPECT_EQ(spy.count(), 1);
        return spy.isEmpty() ? UpdateVersions() : spy.first().first().value<UpdateVersions>();
    }

};

} // namespace

TEST_F(UpdateCheckerTest, GoodReplyGivesEveryChannel)
{
    serveFile("vl3-client-2", versionsReply(R"(licenseAgreementId: 1
        channels { name: "stable" version_number: 10 version_string: "3.5.0" }
        channels { name: "beta" version_number: 11 version_string: "3.5.1" })"));
    const UpdateVersions versions = query(server->url("vl3-client-2").toString());
    UpdateVersions expected;
    expected.insert("stable", qMakePair(QString("10"), QString("3.5.0")));
    expected.insert("beta", qMakePair(QString("11"), QString("3.5.1")));
    EXPECT_EQ(versions, expected);

    EXPECT_EQ(versionForChannel(versions, 0), qMakePair(QString("10"), QString("3.5.0")));
    EXPECT_EQ(versionForChannel(versions, 1), qMakePair(QString("11"), QString("3.5.1")));
    EXPECT_EQ(versionForChannel(versions, 2), qMakePair(QString(), QString()));
    EXPECT_EQ(versionForChannel(versions, 7), qMakePair(QString(), QString()));
    EXPECT_EQ(versionForChannel(versions, -1), qMakePair(QString(), QString()));
}

TEST_F(UpdateCheckerTest, ValuesAsTheConfigurationSeesThem)
{
    // Names and texts are UTF-8; -1 is read as unsigned; a repeated channel keeps its first entry.
    serveFile("vl3-client-2", versionsReply(R"(licenseAgreementId: 1
        channels { name: "alpha" version_number: -1 version_string: "3.6 \303\244" }
        channels { name: "stable" version_number: 10 version_string: "first" }
        channels { name: "stable" version_number: 12 version_string: "second" })"));
    const UpdateVersions versions = query(server->url("vl3-client-2").toString());
    ASSERT_EQ(versions.size(), 2);
    EXPECT_EQ(versions.value("alpha"), qMakePair(QString("4294967295"), QString::fromUtf8("3.6 \xc3\xa4")));
    EXPECT_EQ(versions.value("stable"), qMakePair(QString("10"), QString("first")));
}

TEST_F(UpdateCheckerTest, EveryFailureGivesOneEmptyAnswer)
{
    serveFile("vl3-client-2", versionsReply(R"(licenseAgreementId: 1
        channels { name: "stable" version_number: 10 version_string: "3.5.0" })"));
    serveFile("html", "<html><body>Service unavailable</body></html>");
    serveFile("nochannels", versionsReply("licenseAgreementId: 1"));

    const struct {
        const char* path;
        int runs;
    } cases[] = {
        {"vl3-client-2?status=404", 1},
        {"vl3-client-2?status=500", 1},
        {"missing-file", 1},
        {"html", 1},
        {"nochannels", 1},
        {"vl3-client-2?empty=1", 1},
        {"vl3-client-2?redirect=/vl3-client-2", 1},
        {"vl3-client-2?encoding=gzip", 1},
        // Would inflate to 1 GiB.
        {"vl3-client-2?gzipbomb=1024", 1},
        // As fast as loopback goes, after a round trip's wait: Qt's network thread may read a
        // reply before it hears of the read buffer's bound. How much piles up before the reader
        // sees it varies from run to run.
        {"vl3-client-2?endless=1&chunked=1&delay=250", 10},
    };
    for (const auto& c : cases) {
        for (int run = 0; run < c.runs; ++run) {
            SCOPED_TRACE(std::string(c.path) + ", run " + std::to_string(run + 1));
            server->reset();
            PeakMemoryGrowth peak;
            EXPECT_TRUE(query(server->url(c.path).toString()).isEmpty());
            EXPECT_LT(peak.mebibytes(), 64);
            const QJsonArray requests = QJsonDocument::fromJson(server->control("requests")).array();
            ASSERT_EQ(requests.size(), 1);
            EXPECT_EQ(requests[0].toObject()["headers"].toObject()["Accept-Encoding"], "identity");
        }
    }
}

TEST_F(UpdateCheckerTest, OversizedReplyIsRefused)
{
    // A well-formed reply, but far larger than any real one.
    const std::string huge(2 * 1024 * 1024, 'x');
    serveFile("vl3-client-2", versionsReply("licenseAgreementId: 1 channels { name: \"stable\" version_number: 10 "
                                            "version_string: \"" + huge + "\" }"));
    EXPECT_TRUE(query(server->url("vl3-client-2").toString()).isEmpty());
    EXPECT_TRUE(query(server->url("vl3-client-2?nolength=1").toString()).isEmpty());
}

TEST_F(UpdateCheckerTest, RefusedConnectionGivesOneEmptyAnswer)
{
    const QString url = server->url("vl3-client-2").toString();
    server->stop();
    EXPECT_TRUE(query(url).isEmpty());
}

TEST_F(UpdateCheckerTest, ChecksRunSideBySide)
{
    serveFile("vl3-client-2", versionsReply(R"(licenseAgreementId: 1
        channels { name: "beta" version_number: 11 version_string: "3.5.1" })"));
    g_versionServerUrl = server->url("vl3-client-2?delay=200").toString().toStdString();
    QList<QPointer<UpdateChecker>> checkers;
    QList<QSharedPointer<QSignalSpy>> spies;
    for (int i = 0; i < 4; ++i) {
        checkers << new UpdateChecker(nullptr);
        spies << QSharedPointer<QSignalSpy>::create(checkers.last().data(), &UpdateChecker::update_available);
        checkers.last()->check();
    }
    EXPECT_TRUE(waitUntil([&] {
        for (const QPointer<UpdateChecker>& c : checkers)
            if (c)
                return false;
        return true;
    }, 10000));
    drainEvents();
    for (const QSharedPointer<QSignalSpy>& spy : spies) {
        ASSERT_EQ(spy->count(), 1);
        EXPECT_EQ(versionForChannel(spy->first().first().value<UpdateVersions>(), 1).first, "11");
    }
}

