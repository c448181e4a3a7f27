// Replays every saved input that once troubled a reader; each must be handled without a crash,
// a sanitizer report or an outsized allocation, in a process held to a memory limit.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "ensemblepatch.h"
#include "patchreaders.h"
#include "peakmemory.h"
#include "scratchdir.h"
#include "sinkbytes.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <memory>
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

TEST(RegressionTest, ExecutablesEndWithTheirStatusWithinBoundedMemory)
{
    // In a plain build an allocation beyond this process's memory limit just fails and the reader
    // refuses the file all the same; only the sanitizer build's limit ends the run. So each input
    // must end with its status and within a few MiB.
    const struct {
        const char* file;
        int status;
    } cases[] = {
        // Thousands of relocation sections over one table of entries: read once per section, its
        // entries would be added again and again. They count against the scan budget that code
        // sections have, and the file is refused before any of them is read.
        {"relocation_sections_sharing_entries.elf", vlpatch::C_DISASSEMBLY_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const ByteVector bytes = readBytes(std::string(VL_REGRESSIONS_DIR) + "/executable/" + c.file);
        ASSERT_FALSE(bytes.empty());
        PeakMemoryGrowth peak;
        vlpatch::AssemblyProgram* parsed = nullptr;
        EXPECT_EQ(vlpatch::ParseDetectedExecutable(bytes.data(), bytes.size(), &parsed), c.status);
        std::unique_ptr<vlpatch::AssemblyProgram> program(parsed);
        EXPECT_LT(peak.mebibytes(), 16);
    }
}

TEST(RegressionTest, HugeFinalInputSizeIsRefusedOrBoundedWithoutAReservation)
{
    // An ensemble patch without elements for a 300-byte old file: its final diff keeps bytes
    // 0-99 and 200-299 and puts "changed" between. Its header announces 0xFFFFFFFF bytes of
    // final input, which a sink can never reserve; the cases below announce other sizes.
    const ByteVector input = readBytes(std::string(VL_REGRESSIONS_DIR) + "/ensemblepatch/huge_final_input_size.bin");
    vlpatch::SourceStream framed;
    framed.Init(input.data(), input.size());
    uint32_t oldLength = 0;
    vlpatch::SourceStream old;
    ASSERT_TRUE(framed.ReadVarint32(&oldLength) && framed.ShareLength(oldLength, &old));
    ASSERT_EQ(oldLength, 300u);
    const ByteVector oldBytes(old.Buffer(), old.Buffer() + old.Remaining());
    uint32_t header[5];
    for (uint32_t& field : header)
        ASSERT_TRUE(framed.ReadVarint32(&field));
    ASSERT_EQ(header[4], 0xFFFFFFFFu);
    const ByteVector body(framed.Buffer(), framed.Buffer() + framed.Remaining());
    auto announcing = [&](uint32_t finalInputSize) {
        ByteVector patch = varints({header[0], header[1], header[2], header[3], finalInputSize});
        patch.insert(patch.end(), body.begin(), body.end());
        return patch;
    };
    ByteVector expected(oldBytes.begin(), oldBytes.begin() + 100);
    const std::string changed = "changed";
    expected.insert(expected.end(), changed.begin(), changed.end());
    expected.insert(expected.end(), oldBytes.begin() + 200, oldBytes.end());

    const struct {
        uint32_t announced;
        int status;
        std::size_t reserved;
    } cases[] = {
        {0xFFFFFFFF, vlpatch::C_STREAM_ERROR, 0},
        // Not reserved up front: without elements nothing can add to the old file.
        {0xFFFFFFFE, vlpatch::C_OK, 300},
        {301, vlpatch::C_OK, 300},
        {300, vlpatch::C_OK, 300},
        // Nothing reserved: the old file's bytes grow the sink from its minimum by doubling.
        {0, vlpatch::C_OK, 512},
    };
    const ByteVector noElements = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.announced);
        const ByteVector patch = announcing(c.announced);
        vlpatch::SourceStream patchStream;
        patchStream.Init(patch.data(), patch.size());
        vlpatch::EnsemblePatchApplication application;
        ASSERT_EQ(application.ReadHeader(&patchStream), vlpatch::C_OK);
        ASSERT_EQ(application.InitBase({oldBytes.data(), oldBytes.size()}), vlpatch::C_OK);
        vlpatch::SourceStreamSet edited;
        ASSERT_TRUE(edited.Init(noElements.data(), noElements.size()));
        vlpatch::SinkStream reformed;
        EXPECT_EQ(application.ReformElements(&edited, &reformed), c.status);
        EXPECT_EQ(reformed.Capacity(), c.reserved);

        vlpatch::SourceStream oldStream;
        oldStream.Init(oldBytes.data(), oldBytes.size());
        patchStream.Init(patch.data(), patch.size());
        vlpatch::SinkStream output;
        ASSERT_EQ(vlpatch::ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output), c.status);
        if (c.status == vlpatch::C_OK) {
            EXPECT_TRUE(bytesOf(output) == expected);
        }
    }
}
