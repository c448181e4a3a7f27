// Ensemble patches made by the test-side writer from real ELF and PE pairs of this machine and
// from random data, applied through the file entry point; every status the input can provoke.
#include "encodedprogram.h"
#include "ensemblepatch.h"
#include "ensemblepatchwriter.h"
#include "executabletype.h"
#include "logcapture.h"
#include "scratchdir.h"
#include "sinkbytes.h"
#include "status.h"
#include "streamset.h"
#include "testfiles.h"
#include "writefailure.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace vlpatch;

namespace {

ByteVector operator+(ByteVector a, const ByteVector& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const ByteVector kKept = {'k', 'e', 'p', 't'};

// Applies the patch through the file entry point; a failed status must leave the new file as
// it was.
int apply(const ScratchDir& dir, const ByteVector& old, const ByteVector& patch, ByteVector* output = nullptr)
{
    writeBytes(dir.file("old"), old);
    writeBytes(dir.file("patch"), patch);
    writeBytes(dir.file("new"), kKept);
    const int status = ApplyEnsemblePatchFiles(dir.file("old").c_str(), dir.file("patch").c_str(),
                                               dir.file("new").c_str());
    const ByteVector written = readBytes(dir.file("new"));
    if (status != C_OK) {
        EXPECT_TRUE(written == kKept) << "status " << status;
    }
    if (output)
        *output = written;
    return status;
}

// One element of the old and new file embedded between unrelated bytes.
struct Embedded {
    ByteVector file;
    uint32_t offset;
    uint32_t length;
};

Embedded embed(const ByteVector& before, const ByteVector& element, const ByteVector& after)
{
    return {before + element + after, uint32_t(before.size()), uint32_t(element.size())};
}

} // namespace

TEST(EnsemblePatch, RealExecutablePairsAndDataRoundTrip)
{
    ScratchDir dir;
    LogCapture quiet;
    struct Pair {
        std::string name;
        ByteVector old;
        ByteVector newer;
    };
    const std::vector<Pair> pairs = {
        {"elf x86-64", installedFile(kElf64Old), installedFile(kElf64New)},
        {"elf i386", installedFile(kElf32Old), installedFile(kElf32New)},
        {"pe i686", strippedDll(dir, kPe32Old), strippedDll(dir, kPe32New)},
        {"pe x86-64", strippedDll(dir, kPe64Old), strippedDll(dir, kPe64New)},
    };
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        ASSERT_FALSE(pair.old.empty() || pair.newer.empty());
        const ByteVector patch =
            packEnsemblePatch(makeEnsemblePatchParts(pair.old, pair.newer, {wholeFileElement(pair.old, pair.newer)}));
        ByteVector output;
        EXPECT_EQ(apply(dir, pair.old, patch, &output), C_OK);
        EXPECT_TRUE(output == pair.newer);
    }

    // Two elements of different kinds inside data, in an order other than the files'.
    const ByteVector elf64 = installedFile(kElf64Old);
    const ByteVector elf32 = installedFile(kElf32Old);
    const Embedded old64 = embed(randomBytes(1000, 1), elf64, {});
    const Embedded old32 = embed(old64.file + randomBytes(333, 2), elf32, randomBytes(77, 3));
    const Embedded new64 = embed(randomBytes(900, 4), installedFile(kElf64New), {});
    const Embedded new32 = embed(new64.file + randomBytes(12, 5), installedFile(kElf32New), {});
    const std::vector<EnsembleElement> elements = {
        {EXE_ELF_32_X86, old32.offset, old32.length, new32.offset, new32.length},
        {EXE_ELF_64_X64, old64.offset, old64.length, new64.offset, new64.length},
    };
    ByteVector output;
    EXPECT_EQ(apply(dir, old32.file, packEnsemblePatch(makeEnsemblePatchParts(old32.file, new32.file, elements)),
                    &output),
              C_OK);
    EXPECT_TRUE(output == new32.file);

    // Without elements the patch is a diff of the whole file; streams 4 to 9 are not looked at.
    const ByteVector data = randomBytes(50000, 6);
    ByteVector changed = data;
    changed[100] ^= 0xFF;
    changed.insert(changed.begin() + 3000, data.begin(), data.begin() + 700);
    EnsemblePatchParts plain = makeEnsemblePatchParts(data, changed, {});
    EXPECT_TRUE(plain.streams[0] == ByteVector{0});
    EXPECT_EQ(apply(dir, data, packEnsemblePatch(plain), &output), C_OK);
    EXPECT_TRUE(output == changed);
    plain.streams.resize(10);
    plain.streams[7] = {'x'};
    EXPECT_EQ(apply(dir, data, packEnsemblePatch(plain), &output), C_OK);
    EXPECT_TRUE(output == changed);
}

TEST(EnsemblePatch, EveryStatusTheInputCanProvoke)
{
    ScratchDir dir;
    LogCapture quiet;
    const ByteVector old = installedFile(kElf64Old);
    const ByteVector newer = installedFile(kElf64New);
    ASSERT_FALSE(old.empty() || newer.empty());
    const EnsembleElement whole = wholeFileElement(old, newer);
    const EnsemblePatchParts good = makeEnsemblePatchParts(old, newer, {whole});
    const ByteVector patch = packEnsemblePatch(good);
    ASSERT_EQ(apply(dir, old, patch), C_OK);
    auto withStream = [&](std::size_t i, const ByteVector& bytes) {
        EnsemblePatchParts parts = good;
        parts.streams[i] = bytes;
        return packEnsemblePatch(parts);
    };
    auto withParameters = [&](const ByteVector& parameters) { return withStream(0, parameters); };
    auto withCorrected = [&](const ByteVector& corrected) {
        return withStream(1, headerlessDiff(good.predicted, corrected));
    };
    auto withEdited = [&](const ByteVector& edited) { return withStream(2, headerlessDiff(good.transformed, edited)); };
    const ByteVector header = varints({kEnsembleMagic, kEnsembleVersion, good.sourceCrc, good.targetCrc});

    // One element reading a one-stream nested set that holds one byte.
    std::vector<ByteVector> oneByteElement(kMaxStreams);
    oneByteElement[0] = varints({1, 1}) + ByteVector{'z'};
    std::vector<ByteVector> leftover(kMaxStreams);
    leftover[0] = {0};
    leftover[5] = {'x'};
    // An encoded program whose rel32 operand names a label it does not have.
    EncodedProgram unassemblable;
    ASSERT_TRUE(unassemblable.AddRel32(5));
    SinkStreamSet program;
    ASSERT_TRUE(unassemblable.WriteTo(&program));
    SinkStreamSet edited;
    ASSERT_TRUE(edited.WriteSet(&program));
    SinkStream editedBytes;
    ASSERT_TRUE(edited.CopyTo(&editedBytes));
    // Bytes claimed as one whole-file element, with the parameter correction of one element.
    std::vector<ByteVector> oneElementPrediction(kMaxStreams);
    oneElementPrediction[0] = {0};
    auto claimedElement = [&](const ByteVector& bytes, uint32_t kind) {
        EnsemblePatchParts parts = makeEnsemblePatchParts(bytes, bytes, {});
        parts.streams[0] = elementParameters({{kind, 0, uint32_t(bytes.size()), 0, 0}});
        parts.streams[1] =
            headerlessDiff(serialisedSet(oneElementPrediction), serialisedSet(oneElementPrediction));
        return packEnsemblePatch(parts);
    };
    const ByteVector data = randomBytes(4096, 9);
    // An ELF whose first section lies far past the image: accepted by the header check, but its
    // bytes cannot be disassembled.
    ByteVector farSection = installedFile(kElf32Old);
    ASSERT_GT(farSection.size(), 0x40u);
    const uint32_t sectionTable = uint32_t(farSection[0x20]) | uint32_t(farSection[0x21]) << 8
        | uint32_t(farSection[0x22]) << 16 | uint32_t(farSection[0x23]) << 24;
    ASSERT_LT(sectionTable + 40 + 20, farSection.size());
    const uint8_t far[4] = {0x00, 0xFF, 0xFF, 0x7F};
    std::copy(far, far + 4, farSection.begin() + sectionTable + 40 + 16);
    ByteVector oneByteOff = old;
    oneByteOff[old.size() / 2] ^= 1;
    EnsemblePatchParts wrongTarget = good;
    wrongTarget.targetCrc ^= 1;
    EnsemblePatchParts threeStreams = good;
    threeStreams.streams.resize(3);

    const struct {
        std::string name;
        ByteVector old;
        ByteVector patch;
        int status;
    } cases[] = {
        {"empty patch", old, {}, C_READ_OPEN_ERROR},
        {"empty old", {}, patch, C_READ_ERROR},
        {"not a patch", old, data, C_BAD_ENSEMBLE_MAGIC},
        {"other version", old, varints({kEnsembleMagic, kEnsembleVersion + 1, 0, 0, 0}), C_BAD_ENSEMBLE_VERSION},
        {"header cut short", old, header, C_BAD_ENSEMBLE_HEADER},
        {"kind 0", old, withParameters(elementParameters({{0, 0, 1, 0, 0}})), C_BAD_ENSEMBLE_HEADER},
        {"kind 8", old, withParameters(elementParameters({{8, 0, 1, 0, 0}})), C_BAD_ENSEMBLE_HEADER},
        {"extra parameter byte", old, withParameters(elementParameters({whole}) + ByteVector{0}), C_BAD_ENSEMBLE_HEADER},
        {"count without kinds", old, withParameters(varints({3})), C_BAD_ENSEMBLE_HEADER},
        {"body no set", old, header + varints({0}) + ByteVector{0x18, 3, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00},
         C_BAD_ENSEMBLE_HEADER},
        {"old differs", oneByteOff, patch, C_BAD_ENSEMBLE_CRC},
        {"target crc", old, packEnsemblePatch(wrongTarget), C_BAD_ENSEMBLE_CRC},
        {"element past the end", old,
         withParameters(elementParameters({{whole.kind, 1, uint32_t(old.size()), 0, 0}})), C_BAD_TRANSFORM},
        {"element offset past the end", old,
         withParameters(elementParameters({{whole.kind, uint32_t(old.size()) + 1, 0, 0, 0}})), C_BAD_TRANSFORM},
        {"element without range", old, withParameters(varints({1, whole.kind, 0})), C_BAD_TRANSFORM},
        {"elements overlapping", old, withParameters(elementParameters({whole, {whole.kind, 1, 1, 0, 0}})),
         C_BAD_TRANSFORM},
        {"body not lzma2", old, header + varints({0}) + data, C_STREAM_ERROR},
        {"corrected not a set", old, withCorrected(data), C_STREAM_ERROR},
        {"corrected not consumed", old, withCorrected(serialisedSet(leftover)), C_STREAM_NOT_CONSUMED},
        {"corrected parameters not empty", old, withCorrected(serialisedSet(oneByteElement)), C_GENERAL_ERROR},
        {"broken correction", old, withStream(2, {0, 5, 9}), C_GENERAL_ERROR},
        {"three streams", old, packEnsemblePatch(threeStreams), C_GENERAL_ERROR},
        {"edited not a program", old, withEdited(serialisedSet(oneByteElement)), C_DESERIALIZATION_FAILED},
        {"edited not assemblable", old,
         withEdited(bytesOf(editedBytes)),
         C_ASSEMBLY_FAILED},
        {"not an executable", data, claimedElement(data, EXE_ELF_64_X64), C_INPUT_NOT_RECOGNIZED},
        {"not disassemblable", farSection, claimedElement(farSection, EXE_ELF_32_X86), C_DISASSEMBLY_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(apply(dir, c.old, c.patch), c.status);
    }

    // Missing files, and a version refused before the old file is looked for.
    writeBytes(dir.file("other-version"), varints({kEnsembleMagic, 1}));
    writeBytes(dir.file("patch"), patch);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("missing").c_str(), dir.file("other-version").c_str(),
                                      dir.file("new").c_str()),
              C_BAD_ENSEMBLE_VERSION);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("old").c_str(), dir.file("missing").c_str(), dir.file("new").c_str()),
              C_READ_OPEN_ERROR);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("missing").c_str(), dir.file("patch").c_str(), dir.file("new").c_str()),
              C_READ_ERROR);
    writeBytes(dir.file("old"), old);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("old").c_str(), dir.file("patch").c_str(),
                                      dir.file("no-such-dir/new").c_str()),
              C_READ_ERROR);
}

TEST(EnsemblePatch, TheNewFileIsReplacedWholeOrNotAtAll)
{
    ScratchDir dir;
    LogCapture quiet;
    const ByteVector old = randomBytes(60000, 11);
    ByteVector newer = old;
    newer[10] ^= 1;
    newer.insert(newer.end(), old.begin(), old.begin() + 5000);
    writeBytes(dir.file("old"), old);
    writeBytes(dir.file("patch"), packEnsemblePatch(makeEnsemblePatchParts(old, newer, {})));
    writeBytes(dir.file("new"), kKept);
    const std::vector<std::string> names = namesIn(dir.path());
    {
        // The disk fills up half-way: the file at the name stays, and nothing is left beside it.
        FileSizeLimit limit(4096);
        EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("old").c_str(), dir.file("patch").c_str(),
                                          dir.file("new").c_str()),
                  C_READ_ERROR);
    }
    EXPECT_TRUE(readBytes(dir.file("new")) == kKept);
    EXPECT_EQ(namesIn(dir.path()), names);

    // An empty new file has no bytes whose write could fail: the file itself must be made.
    const ByteVector toEmpty = packEnsemblePatch(makeEnsemblePatchParts(old, {}, {}));
    writeBytes(dir.file("to-empty"), toEmpty);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.file("old").c_str(), dir.file("to-empty").c_str(),
                                      dir.file("no-such-dir/new").c_str()),
              C_READ_ERROR);
    ByteVector output;
    EXPECT_EQ(apply(dir, old, toEmpty, &output), C_OK);
    EXPECT_TRUE(output.empty());
}

TEST(EnsemblePatch, DerivedSetsHaveTheStoredLayout)
{
    // The correction diffs of stored patches were made against exactly these bytes.
    const ByteVector old(100, 0);
    EnsemblePatchApplication application;
    ASSERT_EQ(application.InitBase({old.data(), old.size()}), C_OK);
    const ByteVector parameters = elementParameters({{1, 0, 10, 0, 0}, {7, 10, 90, 0, 0}, {3, 100, 0, 0, 0}});
    SourceStream stream;
    stream.Init(parameters.data(), parameters.size());
    ASSERT_EQ(application.ReadElementPatchers(&stream), C_OK);
    SinkStreamSet predicted;
    ASSERT_EQ(application.PredictTransformParameters(&predicted), C_OK);
    SinkStream predictedBytes;
    ASSERT_TRUE(predicted.CopyTo(&predictedBytes));
    EXPECT_TRUE(bytesOf(predictedBytes)
                == ByteVector({0xEA, 0x9A, 0xCA, 0x09, 0x0A, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // Without elements the transformed set is ten empty streams.
    EnsemblePatchApplication none;
    SourceStreamSet corrected;
    const ByteVector emptySet = serialisedSet({});
    ASSERT_TRUE(corrected.Init(emptySet.data(), emptySet.size()));
    SinkStreamSet transformed;
    ASSERT_EQ(none.TransformElements(&corrected, &transformed), C_OK);
    SinkStream transformedBytes;
    ASSERT_TRUE(transformed.CopyTo(&transformedBytes));
    EXPECT_TRUE(bytesOf(transformedBytes)
                == ByteVector({0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(EnsemblePatch, EveryTruncationOfAPatchFails)
{
    ScratchDir dir;
    LogCapture quiet;
    const ByteVector old = installedFile(kElf32Old);
    const ByteVector newer = installedFile(kElf32New);
    ASSERT_FALSE(old.empty() || newer.empty());
    const ByteVector patch = packEnsemblePatch(makeEnsemblePatchParts(old, newer, {wholeFileElement(old, newer)}));
    for (std::size_t length = 0; length < patch.size(); ++length) {
        SourceStream oldStream;
        oldStream.Init(old.data(), old.size());
        SourceStream patchStream;
        patchStream.Init(patch.data(), length);
        SinkStream output;
        EXPECT_NE(ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output), C_OK) << length;
    }
}
