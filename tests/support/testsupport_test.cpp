// What the test support promises every test: the program's default servers cannot answer, and
// failed comparisons of Qt strings read as text.
#include "configuration.h"
#include "versionsinfo.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

TEST(DefaultServersTest, NoOtherProgramCanListenWhereTheProgramLooksByDefault)
{
    const QUrl servers[] = {QUrl(QString::fromStdString(defaultVersionServerUrl())),
                            QUrl(Configuration::defaultDownloadBaseUrl())};
    for (const QUrl& server : servers) {
        ASSERT_GT(server.port(), 0) << server.toString().toStdString();
        for (const QHostAddress& address : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::Any)}) {
            QTcpServer other;
            EXPECT_FALSE(other.listen(address, quint16(server.port())))
                << server.toString().toStdString() << " on " << address.toString().toStdString();
        }
    }
}

TEST(PrintersTest, QtStringsPrintAsQuotedText)
{
    const struct {
        std::string printed;
        const char* expected;
    } rows[] = {
        {::testing::PrintToString(QString::fromUtf8("Gr\xc3\xb6\xc3\x9f" "e \"x\"\n")), "\"Gr\xc3\xb6\xc3\x9f" "e \\\"x\\\"\\n\""},
        {::testing::PrintToString(QByteArray("a\0\xff\\", 4)), "\"a\\x00\\xFF\\\\\""},
        {::testing::PrintToString(QByteArray(600, 'z')).substr(510), "zzz\"... (600 bytes)"},
        {::testing::PrintToString(QStringList{"a", "b"}), "{ \"a\", \"b\" }"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.printed, row.expected);
}

} // namespace
