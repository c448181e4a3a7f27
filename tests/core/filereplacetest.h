// The replacement tests' layout: a temporary directory "temp" holding the downloads and a client
// directory "client", with packed files and patches made by the patcher's writers.
#pragma once

#include "compressedfile.h"
#include "configuration.h"
#include "ensemblepatchwriter.h"
#include "taskrun.h"
#include "tempdir.h"
#include "taskspecification.h"
#include "updatelists.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <sys/stat.h>

class FileReplaceTest : public TempDirTest {
protected:
    void SetUp() override
    {
        configuration.tempDir = makeDir("temp");
        configuration.vl3dir = makeDir("client");
    }

    // A line of the ini's "files" section.
    static ListEntry entry(const QString& key, const QString& sha512 = QString(),
                           const QString& overridePath = QString(), const QString& patchKey = QString())
    {
        ListEntry e;
        e.section = "files";
        e.key = key;
        e.sha512 = sha512;
        e.overridePath = overridePath;
        e.patchKey = patchKey;
        return e;
    }

    // Runs `task` to its end and returns the texts it sent.
    static QStringList run(TaskSpecification& task) { return runToEnd(task); }

    // Every entry below `dir` with its kind, mode and contents or link target, one line each.
    static QStringList snapshot(const QString& dir)
    {
        QStringList lines;
        QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const QString name = info.filePath().mid(dir.size());
            if (info.isSymLink())
                lines << name + " -> " + info.symLinkTarget();
            else if (info.isDir())
                lines << name + "/ " + QString::number(mode(info.filePath()), 8);
            else
                lines << name + " " + QString::number(mode(info.filePath()), 8) + " " + digest(readFile(info.filePath()));
        }
        lines.sort();
        return lines;
    }

    static QString digest(const QByteArray& content)
    {
        return QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex();
    }

    static unsigned mode(const QString& path)
    {
        struct stat st {};
        EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
        return st.st_mode & 07777;
    }

    static void setMode(const QString& path, unsigned mode)
    {
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
    }

    static QByteArray program(const QString& file)
    {
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << file.toStdString() << " is needed";
        return f.readAll();
    }

    // temp/`key`: `content` packed by the patcher's own container writer.
    QString packed(const QString& key, const QByteArray& content)
    {
        const QString plain = writeFile("plain/" + key, content);
        const QString container = makeDir("temp") + "/" + key;
        QDir().mkpath(QFileInfo(container).path());
        EXPECT_TRUE(vlpatch::CompressFilePreprocessed(QFile::encodeName(plain).constData(),
                                                      QFile::encodeName(container).constData(), true));
        return container;
    }

    // temp/`key`: a patch from `old` to `newer` by the patcher tests' writer, the whole files as
    // one executable element.
    QString patch(const QString& key, const QByteArray& old, const QByteArray& newer)
    {
        const ByteVector o(old.begin(), old.end());
        const ByteVector n(newer.begin(), newer.end());
        const ByteVector bytes = packEnsemblePatch(makeEnsemblePatchParts(o, n, {wholeFileElement(o, n)}));
        return writeFile("temp/" + key, QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
    }

    Configuration configuration;
};
