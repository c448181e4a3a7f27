// The ._lzma2_ container: our writer and decoder on real executables of this machine and on
// random data, python's lzma module as the outside peer for plain containers, and every refusal.
#include "compressedfile.h"
#include "crc.h"
#include "encodedprogram.h"
#include "logcapture.h"
#include "lzma2block.h"
#include "memorymappedview.h"
#include "payloadadmission.h"
#include "peakmemory.h"
#include "scratchdir.h"
#include "sinkbytes.h"
#include "streamset.h"
#include "testfiles.h"
#include "writefailure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vlpatch;

namespace {

// More than any file these tests pack.
const UnpackBudget kRoomy = UnpackBudget::ForOutput(64 << 20);

ByteVector operator+(ByteVector a, const ByteVector& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVector block(const ByteVector& data)
{
    SinkStream sink;
    EXPECT_TRUE(PackLzma2Buffer(data.data(), data.size(), &sink));
    return bytesOf(sink);
}

ByteVector streamSet(const std::vector<ByteVector>& streams)
{
    SinkStreamSet set;
    EXPECT_TRUE(set.Init(streams.size()));
    for (std::size_t i = 0; i < streams.size(); ++i)
        set.stream(i)->Write(streams[i].data(), streams[i].size());
    SinkStream sink;
    EXPECT_TRUE(set.CopyTo(&sink));
    return bytesOf(sink);
}

uint32_t crcOf(const ByteVector& data)
{
    return CalculateCrc(data.data(), data.size());
}

// The header's directive, or 0 when the header cannot be read.
uint32_t directiveOf(const ByteVector& container)
{
    SourceStream source;
    source.Init(container.data(), container.size());
    uint32_t fields[3] = {};
    for (uint32_t& field : fields) {
        if (!source.ReadVarint32(&field))
            return 0;
    }
    return fields[2];
}

// The unpacked payload block of a container.
bool payloadOf(const ByteVector& container, SinkStream* payload)
{
    SourceStream source;
    source.Init(container.data(), container.size());
    uint32_t field = 0;
    for (int i = 0; i < 3; ++i) {
        if (!source.ReadVarint32(&field))
            return false;
    }
    return UnpackLzma2Block(&source, payload);
}

// Packs the bytes with our writer and returns the container.
ByteVector packed(const ScratchDir& dir, const ByteVector& data, bool preprocess)
{
    writeBytes(dir.file("source"), data);
    EXPECT_TRUE(CompressFilePreprocessed(dir.file("source").c_str(), dir.file("packed").c_str(), preprocess));
    return readBytes(dir.file("packed"));
}

// Decodes the container from a file; the output is empty unless the target was written.
bool unpacked(const ScratchDir& dir, const ByteVector& container, ByteVector* output,
              const UnpackBudget& budget = kRoomy, UnpackRefusal* refusal = nullptr)
{
    writeBytes(dir.file("container"), container);
    ::unlink(dir.file("target").c_str());
    const bool ok = UncompressFile(dir.file("container").c_str(), dir.file("target").c_str(), budget, refusal);
    const bool written = ::access(dir.file("target").c_str(), F_OK) == 0;
    EXPECT_EQ(ok, written);
    *output = written ? readBytes(dir.file("target")) : ByteVector();
    return ok;
}

// A container whose block holds `chunks` LZMA2 chunks of about 2 MiB of zeros each, made by
// python's lzma (tests/support/zerocontainer.py).
std::string zeroContainer(const ScratchDir& dir, const std::string& name, int chunks, int directive)
{
    const std::string path = dir.file(name);
    EXPECT_EQ(runShell(requireTool("python3") + " " VL_TEST_SUPPORT_DIR "/zerocontainer.py --chunks "
                       + std::to_string(chunks) + " --directive " + std::to_string(directive) + " " + path),
              0);
    return path;
}

// A container in the executable form whose program announces what the arguments of
// tests/support/craftedprogram.py ask for.
std::string craftedContainer(const ScratchDir& dir, const std::string& name, const std::string& arguments)
{
    const std::string path = dir.file(name);
    EXPECT_EQ(runShell(requireTool("python3") + " " VL_TEST_SUPPORT_DIR "/craftedprogram.py " + arguments + " " + path), 0);
    return path;
}

// Unpacks in a child process whose address space may grow by no more than `headroom` bytes;
// true when the unpack succeeded there.
bool unpackedWithin(uint64_t headroom, const std::string& container, const std::string& target,
                    const UnpackBudget& budget)
{
    const pid_t child = fork();
    if (child == 0) {
        const rlim_t size = static_cast<rlim_t>(processStatusKiB("VmSize") * 1024) + headroom;
        const rlimit limit{size, size};
        _exit(setrlimit(RLIMIT_AS, &limit) == 0 && UncompressFile(container.c_str(), target.c_str(), budget) ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(CompressedFile, ExecutablesAndDataRoundTripThroughOurWriter)
{
    ScratchDir dir;
    struct Sample {
        std::string name;
        ByteVector bytes;
        uint32_t directive;
        std::string detected;
    };
    const std::vector<Sample> samples = {
        {"random", randomBytes(200000, 7), kContainerPlain, ""},
        // More packed input than the decoder passes before it lets the mapped pages go.
        {"random, megabytes", randomBytes(5 << 20, 8), kContainerPlain, ""},
        {kElf64Old, installedFile(kElf64Old), kContainerPreprocessed, "detected ELF_64_X64"},
        // Megabytes of copied bytes, given back to the system while the program is assembled.
        {kElf64Large, installedFile(kElf64Large), kContainerPreprocessed, "detected ELF_64_X64"},
        {kElf32Old, installedFile(kElf32Old), kContainerPreprocessed, "detected EXE_ELF_32_X86"},
        {kElfArm, installedFile(kElfArm), kContainerPreprocessed, "detected ELF_32_ARM"},
        {kPe32Old, strippedDll(dir, kPe32Old), kContainerPreprocessed, "detected WIN_32_X86"},
        {kPe64Old, strippedDll(dir, kPe64Old), kContainerPreprocessed, "detected WIN_32_X64"},
        {"gcc-amd64-darwin-exec", goMachO("gcc-amd64-darwin-exec"), kContainerPreprocessed, "detected MACHO_X64"},
    };
    for (const Sample& sample : samples) {
        SCOPED_TRACE(sample.name);
        ASSERT_FALSE(sample.bytes.empty());
        LogCapture log;
        const ByteVector container = packed(dir, sample.bytes, true);
        EXPECT_EQ(directiveOf(container), sample.directive);
        if (!sample.detected.empty()) {
            EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), sample.detected), log.messages.end());
        }
        EXPECT_EQ(std::count(log.messages.begin(), log.messages.end(), "falling back to default compression"), 0);
        // Within the budget of a file of exactly its size, as the updater unpacks it.
        const UnpackBudget exact = UnpackBudget::ForOutput(sample.bytes.size());
        ByteVector output;
        EXPECT_TRUE(unpacked(dir, container, &output, exact));
        EXPECT_TRUE(output == sample.bytes);

        const ByteVector plain = packed(dir, sample.bytes, false);
        EXPECT_EQ(directiveOf(plain), kContainerPlain);
        EXPECT_TRUE(unpacked(dir, plain, &output, exact));
        EXPECT_TRUE(output == sample.bytes);

        // A caller of text files takes the plain form only, and refuses the other before its
        // payload is unpacked.
        const UnpackBudget text = UnpackBudget::ForText(sample.bytes.size());
        EXPECT_TRUE(unpacked(dir, plain, &output, text));
        EXPECT_TRUE(output == sample.bytes);
        UnpackRefusal refusal;
        log.messages.clear();
        EXPECT_EQ(unpacked(dir, container, &output, text, &refusal), sample.directive == kContainerPlain);
        EXPECT_EQ(refusal.executableForm, sample.directive == kContainerPreprocessed);
        if (sample.directive == kContainerPreprocessed) {
            EXPECT_EQ(log.messages, std::vector<std::string>{"preprocessed form not accepted for this file"});
        }
    }
}

TEST(CompressedFile, PlainContainersAgreeWithPythonsLzma)
{
    ScratchDir dir;
    const std::string python = requireTool("python3");
    const ByteVector data = installedFile(kElf64New) + randomBytes(5000, 3);
    writeBytes(dir.file("data"), data);
    // Reads our container and writes its own of the same data, with the raw LZMA2 filter.
    const std::string script = R"PY(
import lzma, sys, zlib
def varint(b, i):
    v = s = 0
    while True:
        v |= (b[i] & 0x7F) << s; s += 7; i += 1
        if not b[i - 1] & 0x80: return v, i
def put(v):
    o = bytearray()
    while v >= 0x80: o.append(v & 0x7F | 0x80); v >>= 7
    return bytes(o + bytes([v]))
b = open(sys.argv[1], 'rb').read()
magic, i = varint(b, 0); crc, i = varint(b, i); directive, i = varint(b, i)
prop = b[i]; size, i = varint(b, i + 1)
filters = [{'id': lzma.FILTER_LZMA2, 'dict_size': (2 | (prop & 1)) << (prop // 2 + 11)}]
data = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=filters).decompress(b[i:])
assert (magic, directive, len(data)) == (132781929, 1, size)
assert crc == zlib.crc32(data) ^ 0xFFFFFFFF
open(sys.argv[2], 'wb').write(data)
f = {'id': lzma.FILTER_LZMA2, 'preset': 6}
packed = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[f])
open(sys.argv[3], 'wb').write(put(magic) + put(crc) + put(1) + lzma._encode_filter_properties(f) + put(len(data)) + packed)
)PY";
    writeBytes(dir.file("peer.py"), ByteVector(script.begin(), script.end()));
    ASSERT_TRUE(CompressFilePreprocessed(dir.file("data").c_str(), dir.file("ours").c_str(), false));
    ASSERT_EQ(runShell(python + " " + dir.file("peer.py") + " " + dir.file("ours") + " " + dir.file("theirs-data")
                       + " " + dir.file("theirs")),
              0);
    EXPECT_TRUE(readBytes(dir.file("theirs-data")) == data);
    ByteVector output;
    EXPECT_TRUE(unpacked(dir, readBytes(dir.file("theirs")), &output));
    EXPECT_TRUE(output == data);
}

TEST(CompressedFile, UniversalFilesArePackedArchitectureByArchitecture)
{
    ScratchDir dir;
    const ByteVector x86 = goMachO("gcc-386-darwin-exec");
    const ByteVector x64 = goMachO("gcc-amd64-darwin-exec");
    ASSERT_FALSE(x86.empty() || x64.empty());
    auto universal = [&](uint32_t count) {
        ByteVector file(4096, 0);
        const uint32_t offsets[2] = {4096, uint32_t(4096 + ((x86.size() + 4095) & ~std::size_t(4095)))};
        const uint32_t sizes[2] = {uint32_t(x86.size()), uint32_t(x64.size())};
        const uint8_t head[8] = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, uint8_t(count)};
        std::copy(head, head + 8, file.begin());
        for (int i = 0; i < 2; ++i) {
            for (int b = 0; b < 4; ++b) {
                file[8 + 20 * i + 8 + b] = uint8_t(offsets[i] >> (24 - 8 * b));
                file[8 + 20 * i + 12 + b] = uint8_t(sizes[i] >> (24 - 8 * b));
            }
        }
        file = file + x86;
        file.resize(offsets[1], 0);
        return file + x64;
    };

    LogCapture log;
    const ByteVector fat = universal(2);
    const ByteVector container = packed(dir, fat, true);
    ASSERT_EQ(directiveOf(container), kContainerPreprocessed);
    EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), "detected MACHO_X86"), log.messages.end());
    EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), "detected MACHO_X64"), log.messages.end());
    // Two programs and the diff.
    SinkStream payload;
    ASSERT_TRUE(payloadOf(container, &payload));
    SourceStreamSet set;
    ASSERT_TRUE(set.Init(payload.Buffer(), payload.Length()));
    EXPECT_EQ(set.count(), 3u);
    ByteVector output;
    EXPECT_TRUE(unpacked(dir, container, &output, UnpackBudget::ForOutput(fat.size())));
    EXPECT_TRUE(output == fat);

    // Nine architectures are more than a universal file may hold: the file is one unknown whole.
    const ByteVector nine = universal(9);
    const ByteVector plain = packed(dir, nine, true);
    EXPECT_EQ(directiveOf(plain), kContainerPlain);
    EXPECT_TRUE(unpacked(dir, plain, &output));
    EXPECT_TRUE(output == nine);
}

TEST(CompressedFile, BrokenContainersAreRefusedWithTheirMessageAndNothingIsWritten)
{
    ScratchDir dir;
    LogCapture log;
    const ByteVector data = randomBytes(3000, 1);
    const ByteVector magic = varints({kContainerMagic});
    const ByteVector elf = installedFile(kElf64Old);
    ASSERT_FALSE(elf.empty());
    const ByteVector good = packed(dir, elf, true);
    // The first program of the real container, for payloads with a broken diff.
    SinkStream payload;
    ASSERT_TRUE(payloadOf(good, &payload));
    SourceStreamSet realSet;
    ASSERT_TRUE(realSet.Init(payload.Buffer(), payload.Length()));
    const ByteVector program(realSet.stream(0)->Buffer(), realSet.stream(0)->Buffer() + realSet.stream(0)->Remaining());

    // A program whose rel32 operand names a label it does not have.
    EncodedProgram unassemblable;
    ASSERT_TRUE(unassemblable.AddRel32(5));
    SinkStreamSet unassemblableSet;
    ASSERT_TRUE(unassemblable.WriteTo(&unassemblableSet));
    SinkStream unassemblableBytes;
    ASSERT_TRUE(unassemblableSet.CopyTo(&unassemblableBytes));

    auto preprocessed = [&](const std::vector<ByteVector>& streams) {
        return magic + varints({crcOf(elf), kContainerPreprocessed}) + block(streamSet(streams));
    };
    const struct {
        std::string name;
        ByteVector container;
        std::string message;
    } cases[] = {
        {"empty", {}, "could not open lzma file"},
        {"magic only", {0xE9, 0xAE, 0xA8, 0x3F}, "could not read lzma header"},
        {"other magic", varints({kContainerMagic + 1, 0, 1}) + block(data), "not lzma file"},
        {"directive 3", magic + varints({crcOf(data), 3}) + block(data), "Unknown preprocessing dirrective"},
        {"directive 0", magic + varints({crcOf(data), 0}) + block(data), "Unknown preprocessing dirrective"},
        {"no block", magic + varints({crcOf(data), 1}) + ByteVector{0x18, 5, 1, 2}, "could not decompress file"},
        {"wrong crc", magic + varints({crcOf(data) ^ 1, 1}) + block(data), "crc mismatch"},
        {"payload no set", magic + varints({0, 2}) + block(data), "could not init dif_and_dis set"},
        {"one stream", preprocessed({program}), "dis_and_diff too small"},
        {"program no set", preprocessed({data, {}}), "could not init program_source set"},
        {"program of garbage", preprocessed({streamSet({data}), {}}), "could not read encoded program"},
        {"unassemblable", preprocessed({bytesOf(unassemblableBytes), {}}), "could not assemble program"},
        {"broken diff", preprocessed({program, {0, 5, 9}}), "could not apply diff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.messages.clear();
        ByteVector output;
        EXPECT_FALSE(unpacked(dir, c.container, &output));
        EXPECT_EQ(log.last(), c.message);
    }

    log.messages.clear();
    EXPECT_FALSE(UncompressFile(dir.file("missing").c_str(), dir.file("target").c_str(), kRoomy));
    EXPECT_EQ(log.last(), "could not open lzma file");
    writeBytes(dir.file("good"), good);
    EXPECT_FALSE(UncompressFile(dir.file("good").c_str(), dir.file("no-such-dir/target").c_str(), kRoomy));
    EXPECT_EQ(log.last(), "could not write output file");
    // Bytes behind the payload are not the container's.
    ByteVector output;
    EXPECT_TRUE(unpacked(dir, good + data, &output));
    EXPECT_TRUE(output == elf);
}

TEST(CompressedFile, TheTargetIsReplacedWholeOrNotAtAll)
{
    ScratchDir dir;
    LogCapture log;
    const ByteVector data = randomBytes(100000, 4);
    writeBytes(dir.file("container"), packed(dir, data, false));
    const ByteVector kept = {'k', 'e', 'p', 't'};
    writeBytes(dir.file("target"), kept);
    ASSERT_EQ(::chmod(dir.file("target").c_str(), 0750), 0);
    const std::vector<std::string> names = namesIn(dir.path());
    {
        // The disk fills up half-way: the installed file stays, and nothing is left beside it.
        FileSizeLimit limit(4096);
        EXPECT_FALSE(UncompressFile(dir.file("container").c_str(), dir.file("target").c_str(), kRoomy));
    }
    EXPECT_EQ(log.last(), "could not write output file");
    EXPECT_TRUE(readBytes(dir.file("target")) == kept);
    EXPECT_EQ(namesIn(dir.path()), names);

    // A good write keeps the permissions of the file it replaces and goes through a link.
    ASSERT_EQ(::symlink("target", dir.file("link").c_str()), 0);
    EXPECT_TRUE(UncompressFile(dir.file("container").c_str(), dir.file("link").c_str(), kRoomy));
    EXPECT_TRUE(readBytes(dir.file("target")) == data);
    struct stat info;
    ASSERT_EQ(::stat(dir.file("target").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    ASSERT_EQ(::lstat(dir.file("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    // An empty stored file has no bytes whose write could fail: the file itself must be made.
    writeBytes(dir.file("empty"), varints({kContainerMagic, crcOf({}), kContainerPlain}) + block({}));
    EXPECT_FALSE(UncompressFile(dir.file("empty").c_str(), dir.file("no-such-dir/target").c_str(), kRoomy));
    EXPECT_EQ(log.last(), "could not write output file");
    EXPECT_TRUE(UncompressFile(dir.file("empty").c_str(), dir.file("target").c_str(), kRoomy));
    EXPECT_TRUE(readBytes(dir.file("target")).empty());
}

TEST(CompressedFile, EveryTruncationOfAPreprocessedContainerFails)
{
    ScratchDir dir;
    const ByteVector elf = installedFile(kElf32Old);
    ASSERT_FALSE(elf.empty());
    const ByteVector container = packed(dir, elf, true);
    ASSERT_EQ(directiveOf(container), kContainerPreprocessed);
    LogCapture quiet;
    for (std::size_t length = 0; length < container.size(); ++length) {
        SourceStream source;
        source.Init(container.data(), length);
        SinkStream output;
        EXPECT_FALSE(UncompressContainer(&source, &output, kRoomy)) << length;
    }
}

TEST(CompressedFile, WriterRefusesWhatItCannotFinish)
{
    ScratchDir dir;
    LogCapture log;
    EXPECT_FALSE(CompressFilePreprocessed(dir.file("missing").c_str(), dir.file("packed").c_str(), true));
    EXPECT_EQ(log.last(), "could not open file");
    writeBytes(dir.file("source"), randomBytes(1000, 2));
    EXPECT_FALSE(CompressFilePreprocessed(dir.file("source").c_str(), dir.file("no-such-dir/packed").c_str(), true));
    EXPECT_EQ(log.last(), "could not write output file");

    // A sink whose allocation failed cannot take the container; that must not pass for packed.
    MemoryMappedView source(dir.file("source").c_str(), 0, MemoryMappedView::NORMAL);
    ASSERT_TRUE(source.IsValid());
    SinkStream failed;
    ASSERT_FALSE(failed.Reserve(SIZE_MAX / 2));
    ASSERT_TRUE(failed.Failed());
    EXPECT_FALSE(CompressFileDefault(source, &failed, 0));
    EXPECT_EQ(log.last(), "could not write magic");
}

TEST(CompressedFile, SizesBeyondTheCallersBudgetAreRefusedBeforeAnythingIsReserved)
{
    // 760 KB that really unpack to 4 GiB, as a plain container and as a preprocessed payload.
    ScratchDir dir;
    LogCapture log;
    const ByteVector kept = {'k', 'e', 'p', 't'};
    writeBytes(dir.file("target"), kept);
    const std::vector<std::string> names = [&] {
        zeroContainer(dir, "plain", 2048, kContainerPlain);
        zeroContainer(dir, "preprocessed", 2048, kContainerPreprocessed);
        return namesIn(dir.path());
    }();
    const UnpackBudget budget = UnpackBudget::ForOutput(4 << 20);
    for (const char* name : {"plain", "preprocessed"}) {
        SCOPED_TRACE(name);
        PeakMemoryGrowth peak;
        UnpackRefusal refusal;
        EXPECT_FALSE(UncompressFile(dir.file(name).c_str(), dir.file("target").c_str(), budget, &refusal));
        ASSERT_GE(log.messages.size(), 2u);
        const uint64_t allowed = std::string(name) == "plain" ? budget.output : budget.memory;
        EXPECT_EQ(log.messages[log.messages.size() - 2],
                  "unpacked size 4294479872 beyond the allowed " + std::to_string(allowed));
        EXPECT_EQ(refusal.announced, 4294479872u);
        EXPECT_EQ(refusal.allowed, allowed);
        EXPECT_EQ(log.last(), "could not decompress file");
        EXPECT_LT(peak.mebibytes(), 16);
        EXPECT_TRUE(readBytes(dir.file("target")) == kept);
        EXPECT_EQ(namesIn(dir.path()), names);
    }
}

TEST(CompressedFile, CraftedProgramsPeakWithinTheirBudget)
{
    // Each count costs the payload one byte, and the decode four to twenty: read into a list,
    // assembled, kept for the relocation table and written into it. Rows: the program, the size
    // of the file that the caller expects (the memory budget follows from it), and whether the
    // program is decoded to the end (failing on the CRC) or refused on the way.
    ScratchDir dir;
    LogCapture log;
    const struct {
        std::string arguments;
        uint64_t output;
        bool refused;
    } cases[] = {
        // A packed product ini's budget held 150 MB of it; they took 2 GiB.
        {"--addresses 75000000", 32 << 20, true},
        {"--addresses 900000 --table elf", 4 << 20, false},
        {"--addresses 1000000 --table both", 4 << 20, true},
        {"--addresses 3000000 --table none", 4 << 20, true},
        {"--addresses 7000000 --table elf", 4 << 20, true},
        {"--addresses 1 --rel32 3000000 --table none", 4 << 20, true},
        {"--addresses 0 --labels 7000000 --table none", 4 << 20, true},
        {"--addresses 10 --table none --packed-diff 200000000", 4 << 20, true},
        // A stream longer than the dictionary leaves of the budget, in a payload within it.
        {"--addresses 10 --table none --diff-tail 32000000", 4 << 20, true},
    };
    constexpr double kMarginMiB = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string container = craftedContainer(dir, "crafted", c.arguments);
        const UnpackBudget budget = UnpackBudget::ForOutput(c.output);
        log.messages.clear();
        PeakMemoryGrowth peak;
        EXPECT_FALSE(UncompressFile(container.c_str(), dir.file("target").c_str(), budget));
        EXPECT_LT(peak.mebibytes(), double(budget.memory >> 20) + kMarginMiB);
        const bool refused = std::any_of(log.messages.begin(), log.messages.end(), [](const std::string& m) {
            return m.rfind("decoding needs ", 0) == 0 && m.find(" left of its budget") != std::string::npos;
        });
        EXPECT_EQ(refused, c.refused);
        if (!c.refused) {
            EXPECT_EQ(log.last(), "crc mismatch");
        }
    }
}

TEST(CompressedFile, AnyAnnouncedSizeAtLeastTheFilesAdmitsItsPayload)
{
    // Sizes near the top of the range leave a preprocessed payload room as much as exact ones.
    ScratchDir dir;
    const ByteVector elf = installedFile(kElf32Old);
    writeBytes(dir.file("container"), packed(dir, elf, true));
    ASSERT_EQ(directiveOf(readBytes(dir.file("container"))), kContainerPreprocessed);
    for (uint64_t announced : {uint64_t{elf.size()}, (uint64_t{1} << 62) - (4 << 20), UINT64_MAX / 4, UINT64_MAX}) {
        SCOPED_TRACE(announced);
        ::unlink(dir.file("target").c_str());
        EXPECT_TRUE(UncompressFile(dir.file("container").c_str(), dir.file("target").c_str(),
                                   UnpackBudget::ForOutput(announced)));
        EXPECT_TRUE(readBytes(dir.file("target")) == elf);
    }
}

TEST(CompressedFile, MemoryDoesNotGrowWithTheUnpackedFile)
{
    // 256 MiB of zeros through a process that may take 64 MiB more than it has.
    ScratchDir dir;
    const std::string container = zeroContainer(dir, "zeros", 128, kContainerPlain);
    const uint64_t size = 128 * uint64_t{2096914};
    ASSERT_TRUE(unpackedWithin(64 << 20, container, dir.file("target"), UnpackBudget::ForOutput(size)));
    struct stat info;
    ASSERT_EQ(::stat(dir.file("target").c_str(), &info), 0);
    EXPECT_EQ(uint64_t(info.st_size), size);
    // One byte less than the file is not enough.
    EXPECT_FALSE(unpackedWithin(64 << 20, container, dir.file("short"), UnpackBudget::ForOutput(size - 1)));
    EXPECT_NE(::access(dir.file("short").c_str(), F_OK), 0);
}

TEST(CompressedFile, PayloadsShareTheirBoundAndALargerOneWaitsOnlyUntilItIsAlone)
{
    // Rows: the payloads admitted already under a bound of 100 bytes, and the next one. A next
    // that never gets in fails its row after a few seconds instead of holding up the test.
    const struct {
        std::vector<uint64_t> held;
        uint64_t next;
        bool atOnce;
    } cases[] = {
        {{}, 150, true},
        {{40, 20}, 40, true},
        {{60}, 60, false},
        {{10}, 150, false},
    };
    auto admittedWithin = [](const std::atomic<bool>& entered, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!entered && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return entered.load();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.next);
        // Shared with the waiting thread, which is left behind when it never gets in.
        const auto admission = std::make_shared<PayloadAdmission>(100);
        const auto entered = std::make_shared<std::atomic<bool>>(false);
        for (uint64_t held : c.held)
            admission->Enter(held);
        std::thread([admission, entered, next = c.next] {
            admission->Enter(next);
            *entered = true;
        }).detach();
        EXPECT_EQ(admittedWithin(*entered, std::chrono::milliseconds(c.atOnce ? 5000 : 200)), c.atOnce);
        for (uint64_t held : c.held)
            admission->Leave(held);
        ASSERT_TRUE(admittedWithin(*entered, std::chrono::milliseconds(5000))) << "still waiting when alone";
        admission->Leave(c.next);
    }
}
