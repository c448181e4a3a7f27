// The product-ini compiler on arbitrary ini text against a small installed client: it must end
// cleanly, and every path it puts into the lists must stay inside its folder.
//
// Input: one byte whose lowest bit picks step one (1, which also copies up-to-date files into
// the temp dir) or step two (0), then the product ini.
#include "configuration.h"
#include "confineddirectory.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "rsacrypto.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryDir* g_Root = nullptr;
quint64 g_Run = 0;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(path.section('/', 0, -2));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        std::abort();
}

void requireContained(const QString& path)
{
    if (!ConfinedDirectory::isRelativeBelow(path))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(quiet);
    initCrypto();
    g_Root = new QTemporaryDir();
    if (!g_Root->isValid())
        std::abort();
    // The seeds carry the digests of these files, so that matches and patches are reachable.
    const QString client = g_Root->filePath("client");
    writeFile(client + "/a.so", "alpha\n");
    writeFile(client + "/lib/b.so", "beta\n");
    writeFile(client + "/olddir/f", "f\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1 << 20))
        return 0;
    Configuration config;
    config.isClientUpdate = (data[0] & 1) ? 0 : 1;
    config.vl3dir = g_Root->filePath("client");
    // One path for every run: Qt keeps a cache entry per ini path, which would grow otherwise.
    config.tempDir = g_Root->filePath("temp");
    const QString ini = config.tempDir + (config.isClientUpdate ? "/vl3_client_linux_amd64.ini" : "/update_linux_amd64.ini");
    writeFile(ini, QByteArray(reinterpret_cast<const char*>(data) + 1, int(size - 1)));
    // A new time stamp for every run, so that cache is never taken for the file just written.
    QFile file(ini);
    if (!file.open(QIODevice::ReadWrite)
        || !file.setFileTime(QDateTime::fromSecsSinceEpoch(qint64(++g_Run)), QFileDevice::FileModificationTime))
        std::abort();
    file.close();

    auto lists = std::make_shared<UpdateLists>();
    MakeDownloadReplaceListFunc func(&config, lists);
    func.run();

    for (const DownloadEntry& d : lists->downloads)
        requireContained(d.key);
    for (const ListEntry& e : lists->replacements) {
        requireContained(e.key);
        requireContained(e.effectivePath());
        if (e.hasPatch())
            requireContained(e.patchKey);
    }
    for (const DeleteEntry& d : lists->deletions)
        requireContained(d.path);
    for (const InstallCommand& c : lists->preInstall + lists->postInstall)
        requireContained(c.program);

    // Nothing is written beside the client and the temp dir.
    if (QDir(g_Root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size() != 2)
        std::abort();
    QDir(config.tempDir).removeRecursively();
    return 0;
}
