#include "updatelists.h"

#include <gtest/gtest.h>

namespace {

ListEntry entry(const QString& key, const QString& overridePath = QString(), const QString& patchKey = QString())
{
    ListEntry e;
    e.section = "client";
    e.key = key;
    e.overridePath = overridePath;
    e.patchKey = patchKey;
    return e;
}

} // namespace

TEST(ListEntry, PathsFollowTheOverrideAndThePrefix)
{
    const ListEntry plain = entry("lib/a.so");
    EXPECT_FALSE(plain.hasOverridePath());
    EXPECT_FALSE(plain.hasPatch());
    EXPECT_EQ(plain.effectivePath(), "lib/a.so");
    EXPECT_EQ(plain.targetPath(""), "lib/a.so");
    EXPECT_EQ(plain.targetPath("x_"), "lib/x_a.so");
    EXPECT_EQ(entry("a.so").targetPath("x_"), "x_a.so");

    const ListEntry moved = entry("packed/a.so._lzma2_", "bin/deep/a.so", "patches/a.so.patch");
    EXPECT_TRUE(moved.hasOverridePath());
    EXPECT_TRUE(moved.hasPatch());
    EXPECT_EQ(moved.effectivePath(), "bin/deep/a.so");
    EXPECT_EQ(moved.targetPath("x_"), "bin/deep/x_a.so");
    EXPECT_EQ(entry("a.so", "a.so").effectivePath(), "a.so");
}

TEST(UpdateLists, CopiesAreIndependentAndClearEmptiesAll)
{
    UpdateLists lists;
    lists.downloads.append(DownloadEntry{"client", "a.so", "ABCDEF", 12});
    lists.replacements.append(entry("a.so"));
    lists.deletions.append(DeleteEntry{"old", true});
    lists.preInstall.append(InstallCommand("pre.sh", {"-x"}, true));
    lists.postInstall.append(InstallCommand("post.sh", {}, false));

    UpdateLists copy;
    copy = lists;
    UpdateLists& self = copy;
    copy = self;
    ASSERT_EQ(copy.downloads.size(), 1);
    EXPECT_EQ(copy.downloads.first().size, 12u);
    EXPECT_EQ(copy.preInstall.first().arguments, QStringList{"-x"});
    EXPECT_TRUE(copy.preInstall.first().required);
    EXPECT_FALSE(copy.postInstall.first().required);

    lists.clear();
    EXPECT_TRUE(lists.downloads.isEmpty() && lists.replacements.isEmpty() && lists.deletions.isEmpty()
                && lists.preInstall.isEmpty() && lists.postInstall.isEmpty());
    EXPECT_EQ(copy.deletions.size(), 1);
    EXPECT_EQ(copy.deletions.first().path, "old");
    EXPECT_EQ(copy.replacements.first().key, "a.so");
}
