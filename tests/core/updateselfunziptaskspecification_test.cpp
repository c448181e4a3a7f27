#include "configuration.h"
#include "ensemblepatchwriter.h"
#include "privatecopy.h"
#include "qtwait.h"
#include "releasetools.h"
#include "tempdir.h"
#include "updateinidata.h"
#include "updateselfunziptaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kVersion = 5120;
const QByteArray kNewUpdater = "#!/bin/sh\nexit 42\n";

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + (i >> 5));
    return bytes;
}

ByteVector bytesOf(const QByteArray& a)
{
    return ByteVector(a.begin(), a.end());
}

ListEntry entry(const QString& key, const QString& overridePath, const QString& patchKey = QString())
{
    ListEntry e;
    e.section = "files";
    e.key = key;
    e.overridePath = overridePath;
    e.patchKey = patchKey;
    return e;
}

// As the product ini gives it: the digest of the file that the entry must produce.
ListEntry checkedEntry(const QString& key, const QString& overridePath, const QByteArray& produced,
                       const QString& patchKey = QString())
{
    ListEntry e = entry(key, overridePath, patchKey);
    e.sha512 = QString::fromLatin1(QCryptographicHash::hash(produced, QCryptographicHash::Sha512).toHex());
    return e;
}

int mode(const QString& file)
{
    struct stat st;
    return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Each test runs in its own copy of the binary: the session record and the translations are read
// from beside the executable.
class SelfUpdateTest : public TempDirTest {
protected:
    bool inCopy()
    {
        // The session directory lives in the system's temporary folder, as the configuration
        // makes it: only such a one counts in the session record.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", makeDir("tmp"));
        if (!runInPrivateCopy(path("bin"), QStringList(), env))
            return false;
        tempDir = QDir::tempPath() + "/voxlane_temp_0";
        QDir().mkpath(tempDir);
        ::chmod(QFile::encodeName(tempDir).constData(), 0700);
        clientDir = makeDir("client");
        configuration.tempDir = tempDir;
        configuration.vl3dir = clientDir;
        configuration.version = kVersion;
        EXPECT_TRUE(UpdateIniData::modify(kVersion, tempDir, clientDir, "update_linux_amd64"));
        const QString translations = QCoreApplication::applicationDirPath() + "/translations/";
        QDir().mkpath(translations);
        for (const char* name : {"update_de.qm", "update_fr.qm", "qt_de.qm"}) {
            QFile f(translations + name);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(name) > 0);
        }
        return true;
    }

    QString session(const QString& relative) const { return tempDir + "/" + relative; }

    void writeSession(const QString& relative, const QByteArray& content)
    {
        QDir().mkpath(QFileInfo(session(relative)).absolutePath());
        QFile f(session(relative));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(content) == content.size()) << relative.toStdString();
    }

    // A download as the file server delivers it, packed by the container writer.
    void downloadPacked(const QString& key, const QByteArray& content)
    {
        EXPECT_TRUE(packFile(writeFile("release/" + key, content), session(key)));
    }

    void downloadGzipped(const QString& key, const QByteArray& content)
    {
        const QString plain = writeFile("release/" + key, content);
        QDir().mkpath(QFileInfo(session(key)).absolutePath());
        EXPECT_EQ(runCommand(QString("gzip -n -c '%1' > '%2'").arg(plain, session(key))), 0) << "gzip is needed";
    }

    void downloadPatch(const QString& key, const QByteArray& old, const QByteArray& newer)
    {
        const ByteVector patch = packEnsemblePatch(makeEnsemblePatchParts(bytesOf(old), bytesOf(newer), {}));
        writeSession(key, QByteArray(reinterpret_cast<const char*>(patch.data()), int(patch.size())));
    }

    // Runs the task to its end; collects its texts and errors.
    void run(UpdateSelfUnzipTaskSpecification& task)
    {
        messages.clear();
        errors.clear();
        const auto onMessage =
            QObject::connect(&task, &TaskSpecification::message, [this](const QString& t) { messages << t; });
        const auto onError =
            QObject::connect(&task, &TaskSpecification::error, [this](const QString& t) { errors << t; });
        task.execute();
        EXPECT_TRUE(waitUntil([&task] { return task.hasEnded(); }, 30000));
        drainEvents();
        QObject::disconnect(onMessage);
        QObject::disconnect(onError);
    }

    QSettings::Status sessionCopyStatus(int* version, QString* type)
    {
        QSettings copy(session("update.ini"), QSettings::IniFormat);
        *version = copy.value("current/version").toInt();
        *type = copy.value("current/type").toString();
        return copy.status();
    }

    Configuration configuration;
    QString tempDir;
    QString clientDir;
    QList<ListEntry> replacements;
    QStringList messages;
    QStringList errors;
};

} // namespace

TEST_F(SelfUpdateTest, BuildsTheNewUpdaterFromDownloadedFiles)
{
    if (!inCopy())
        return;
    const QByteArray library = pattern(90000, 3);
    const QByteArray oldTable = pattern(40000, 11);
    QByteArray newTable = oldTable;
    newTable.replace(1000, 200, pattern(300, 5));
    writeFile("client/data/table.bin", oldTable);
    downloadPacked("update._lzma2_", kNewUpdater);
    downloadGzipped("pkg/libvl.so.gz", library);
    downloadPatch("patches/table.bin.patch", oldTable, newTable);
    writeSession("readme.txt", "plain download");
    writeSession("translations/update_fr.qm", "kept");
    replacements << checkedEntry("update._lzma2_", "update", kNewUpdater)
                 << checkedEntry("pkg/libvl.so.gz", "lib/libvl.so", library)
                 << checkedEntry("data/table.bin", "data/table.bin", newTable, "patches/table.bin.patch")
                 << entry("readme.txt", "");

    UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED) << messages.join('\n').toStdString();
    EXPECT_DOUBLE_EQ(task.progress, 0.4);
    EXPECT_EQ(messages, QStringList{"Patching data/table.bin"});
    EXPECT_TRUE(errors.isEmpty());

    EXPECT_EQ(readFile(session("update")), kNewUpdater);
    EXPECT_EQ(mode(session("update")), 0777);
    EXPECT_EQ(runCommand("'" + session("update") + "'"), 42) << "the new updater runs";
    EXPECT_EQ(readFile(session("lib/libvl.so")), library);
    EXPECT_EQ(readFile(session("data/table.bin")), newTable);
    EXPECT_EQ(readFile(session("data/table.bin_old")), oldTable);
    EXPECT_EQ(readFile(session("readme.txt")), "plain download");
    EXPECT_EQ(readFile(clientDir + "/data/table.bin"), oldTable) << "the installation stays untouched";

    int version = 0;
    QString type;
    EXPECT_EQ(sessionCopyStatus(&version, &type), QSettings::NoError);
    EXPECT_EQ(version, kVersion);
    EXPECT_EQ(type, "client_linux_amd64");
    EXPECT_EQ(readFile(session("translations/update_de.qm")), "update_de.qm");
    EXPECT_EQ(readFile(session("translations/update_fr.qm")), "kept");
    EXPECT_FALSE(QFile::exists(session("translations/qt_de.qm")));
}

TEST_F(SelfUpdateTest, FailedStepStillWritesTheSessionCopy)
{
    if (!inCopy())
        return;
    writeSession("update._lzma2_", pattern(5000, 1));
    downloadPatch("patches/a.patch", "old", "new");
    replacements << entry("update._lzma2_", "update") << entry("a", "a", "patches/a.patch");

    UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_TRUE(messages.contains(
        QString("Could not unpack '%1' to '%2'").arg(session("update._lzma2_"), session("update"))));
    EXPECT_TRUE(messages.contains(QString("Could not patch '%1' to '%2'").arg(session("a_old"), session("a"))))
        << "no installed file to copy";
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_FALSE(QFile::exists(session("update")));
    int version = 0;
    QString type;
    EXPECT_EQ(sessionCopyStatus(&version, &type), QSettings::NoError);
    EXPECT_EQ(type, "client_linux_amd64");
    EXPECT_TRUE(QFile::exists(session("translations/update_de.qm")));
}

TEST_F(SelfUpdateTest, BuiltFilesMustMatchTheProductIni)
{
    if (!inCopy())
        return;
    // A plain file under a gzip name is taken as it is; its digest decides, as for every file.
    writeSession("pkg/notes.txt.gz", "plain notes");
    downloadGzipped("pkg/libvl.so.gz", "a library that is not the one described");
    downloadPacked("update._lzma2_", kNewUpdater);
    replacements << checkedEntry("pkg/notes.txt.gz", "notes.txt", "plain notes")
                 << checkedEntry("pkg/libvl.so.gz", "lib/libvl.so", "the library described")
                 << checkedEntry("update._lzma2_", "update", kNewUpdater);
    UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(messages, QStringList{QString("Signature check failed for %1").arg(session("lib/libvl.so"))});
    EXPECT_EQ(readFile(session("notes.txt")), "plain notes");
    EXPECT_FALSE(QFileInfo::exists(session("lib/libvl.so"))) << "a built file that fails its digest does not stay";
}

TEST_F(SelfUpdateTest, SessionCopyFailureIsAnError)
{
    if (!inCopy())
        return;
    // Nothing to build: only the post-processing runs, and an updater that is not there stays so.
    replacements << entry("readme.txt", "");
    UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_FALSE(QFile::exists(session("update")));
    ASSERT_TRUE(QFile::remove(session("update.ini")));
    QDir(session("translations")).removeRecursively();

    const QString expected =
        "Failed to write temp update.ini. The updater does not seem to have the required write permissions.";
    // A directory in the copy's place cannot be written, not even by root.
    ASSERT_TRUE(QDir().mkdir(session("update.ini")));
    task.reset();
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(errors, QStringList{expected + "\n" + QString::fromLocal8Bit(strerror(EISDIR))});
    EXPECT_FALSE(QFile::exists(session("translations"))) << "no translations without a session copy";

    // Without a valid record there is nothing to copy.
    ASSERT_TRUE(QDir().rmdir(session("update.ini")));
    ASSERT_TRUE(QFile::remove(updateIniPath()));
    task.reset();
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(errors, QStringList{expected});
    EXPECT_FALSE(QFile::exists(session("update.ini")));
    EXPECT_FALSE(QFile::exists(session("translations")));
}

TEST_F(SelfUpdateTest, NothingIsWrittenOutsideTheTemporaryDirectory)
{
    if (!inCopy())
        return;
    const QString outside = makeDir("outside");
    writeFile("client/lib/libvl.so", "installed");
    downloadGzipped("pkg/libvl.so.gz", "new");
    downloadPatch("patches/libvl.patch", "installed", "new");
    struct Case {
        const char* what;
        const char* link;
        ListEntry entry;
    } cases[] = {
        {"folder of the target", "lib", entry("pkg/libvl.so.gz", "lib/libvl.so")},
        {"target itself, dangling", "lib", entry("pkg/libvl.so.gz", "lib")},
        {"old copy", "lib/libvl.so_old", entry("lib/libvl.so", "lib/libvl.so", "patches/libvl.patch")},
        {"downloaded file", "dl", entry("dl/libvl.so.gz", "lib/libvl.so")},
        {"parent segment", nullptr, entry("pkg/libvl.so.gz", "../outside/libvl.so")},
    };
    for (const Case& c : cases) {
        const QString link = c.link ? session(c.link) : QString();
        if (c.link) {
            QDir().mkpath(QFileInfo(link).absolutePath());
            const QString target = QString(c.what).contains("dangling") ? outside + "/missing" : outside;
            ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
        }
        replacements = {c.entry};
        UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
        run(task);
        EXPECT_EQ(task.state, TaskSpecification::FAILED) << c.what;
        EXPECT_EQ(messages.size(), 1) << c.what;
        EXPECT_TRUE(messages.value(0).startsWith("Refusing file name ")) << c.what;
        EXPECT_TRUE(QDir(outside).isEmpty()) << c.what;
        EXPECT_FALSE(QFile::exists(session("update.ini"))) << c.what;
        if (c.link)
            QFile::remove(link);
    }

    // The permissions are set on the new updater only, never through a link to another file.
    const QString foreign = writeFile("outside/program", "x");
    ::chmod(QFile::encodeName(foreign).constData(), 0644);
    ASSERT_EQ(::symlink(QFile::encodeName(foreign).constData(), QFile::encodeName(session("update")).constData()), 0);
    replacements.clear();
    UpdateSelfUnzipTaskSpecification task(&replacements, &configuration, nullptr, 0.4);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_EQ(mode(foreign), 0644);
}
