#include "filetaskspecification_patch.h"
#include "debuglog.h"
#include "ensemblepatchwriter.h"
#include "taskrun.h"
#include "tempdir.h"

#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

ByteVector bytesOf(const QByteArray& a)
{
    return ByteVector(a.begin(), a.end());
}

QByteArray arrayOf(const ByteVector& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), int(v.size()));
}

class PatchTaskTest : public TempDirTest {
protected:
    static QStringList run(FileTaskSpecification_patch& task) { return runToEnd(task); }

    static QByteArray program(const QString& file)
    {
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << file.toStdString() << " is needed";
        return f.readAll();
    }

    // A patch from `old` to `newer` made by the test-side patch writer, with the whole files as one
    // executable element or, for data, without elements.
    QString writePatch(const QString& name, const QByteArray& old, const QByteArray& newer, bool executable)
    {
        const ByteVector o = bytesOf(old);
        const ByteVector n = bytesOf(newer);
        std::vector<EnsembleElement> elements;
        if (executable)
            elements.push_back(wholeFileElement(o, n));
        return writeFile(name, arrayOf(packEnsemblePatch(makeEnsemblePatchParts(o, n, elements))));
    }
};

} // namespace

TEST_F(PatchTaskTest, PatchesAnExecutableAndRecordsTheTarget)
{
    const QByteArray oldProgram = program("/usr/bin/true");
    const QByteArray newProgram = program("/usr/bin/false");
    const QString old = writeFile("true_old", oldProgram);
    const QString patch = writePatch("true.patch", oldProgram, newProgram, true);
    // The target is the installed file, written in place.
    const QString dst = writeFile("installed/true", oldProgram);
    RollbackDataList list;
    FileTaskSpecification_patch task(&list, old, patch, dst, nullptr, 0.8);
    EXPECT_TRUE(run(task).isEmpty());
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(dst), newProgram);
    EXPECT_EQ(readFile(old), oldProgram);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.at(0).op, RollbackData::FILE_CREATE);
    EXPECT_EQ(list.at(0).path, dst);
}

TEST_F(PatchTaskTest, FailedPatchSendsItsTextAndLeavesTheTarget)
{
    const QByteArray before = QByteArray("old contents ").repeated(100);
    const QByteArray after = QByteArray("new contents ").repeated(100);
    const QString patch = writePatch("p", before, after, false);
    // The old copy is not the file the patch was made from.
    const QString old = writeFile("old", QByteArray(before).replace(0, 3, "OLD"));
    const QString dst = writeFile("dst", "installed");
    RollbackDataList list;
    FileTaskSpecification_patch task(&list, old, patch, dst, nullptr, 1.0);
    EXPECT_EQ(run(task), QStringList(QString("Could not patch '%1' to '%2'").arg(old, dst)));
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(readFile(dst), QByteArray("installed"));
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(PatchTaskTest, LogsTheTextOfTheStatus)
{
    const QByteArray magic("\xC3\xDE\xD5\x03", 4);
    const QByteArray version("\x88\xB7\xCB\x09", 4);
    const QString old = writeFile("old", "old file");
    struct Case {
        QString name;
        QByteArray bytes;
        int status;
        QString text;
    };
    const QList<Case> cases = {
        {"notpatch", "not a patch at all", 5, "Not a vlpatch patch"},
        {"version", magic + QByteArray("\x01", 1), 6, "Wrong version patch"},
        {"corrupt", magic + version, 7, "Corrupt patch"},
        {"empty", QByteArray(), 3, QString()},
    };
    for (const Case& c : cases) {
        const QString patch = writeFile(c.name, c.bytes);
        const QString dst = path(c.name + ".out");
        DebugLog log;
        const int before = DebugLog::lines().size();
        EXPECT_FALSE(ApplyEnsemblePatch(old.toUtf8().constData(), patch.toUtf8().constData(),
                                        dst.toUtf8().constData()));
        QStringList expected = {QString("ApplyEnsemblePatch status = %1 %2 %3 %4").arg(c.status).arg(old, patch, dst)};
        if (!c.text.isEmpty())
            expected << c.text;
        EXPECT_EQ(DebugLog::lines().mid(before), expected) << c.name.toStdString();
        EXPECT_FALSE(QFile::exists(dst));
    }

    // The worker adds the result line after the status lines.
    const QString corrupt = path("corrupt");
    DebugLog log;
    FileTaskSpecification_patch task(nullptr, old, corrupt, path("out"), nullptr, 1.0);
    const int before = DebugLog::lines().size();
    EXPECT_EQ(run(task), QStringList(QString("Could not patch '%1' to '%2'").arg(old, path("out"))));
    const QStringList lines = DebugLog::lines().mid(before);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.at(0).startsWith("ApplyEnsemblePatch status = 7 "));
    EXPECT_EQ(lines.at(1), "Corrupt patch");
    EXPECT_EQ(lines.at(2), "Patch result false");
}
