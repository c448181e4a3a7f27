// Replays every saved input that once troubled a reader; each must be handled without a crash,
// a sanitizer report or an outsized allocation, in a process held to a memory limit.
#include "patchreaders.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> inputsOf(const std::string& reader)
{
    const std::string directory = std::string(VL_REGRESSIONS_DIR) + "/" + reader;
    std::vector<std::string> files;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                files.push_back(directory + "/" + entry->d_name);
        }
        closedir(dir);
    }
    if (files.empty())
        ADD_FAILURE() << "no regression inputs in " << directory;
    return files;
}

void replay(const std::string& reader, void (*read)(const uint8_t*, std::size_t))
{
    for (const std::string& file : inputsOf(reader)) {
        SCOPED_TRACE(file);
        const ByteVector bytes = readBytes(file);
        read(bytes.data(), bytes.size());
    }
}

} // namespace

TEST(RegressionTest, StreamSets)
{
    replay("streamset", FuzzStreamSet);
}

TEST(RegressionTest, Lzma2Blocks)
{
    replay("lzma2block", FuzzLzma2Block);
}

TEST(RegressionTest, BinaryPatches)
{
    replay("binarypatch", FuzzBinaryPatch);
}

TEST(RegressionTest, Containers)
{
    replay("container", FuzzContainer);
}

TEST(RegressionTest, EnsemblePatches)
{
    replay("ensemblepatch", FuzzEnsemblePatch);
}

TEST(RegressionTest, Executables)
{
    replay("executable", FuzzExecutable);
}
