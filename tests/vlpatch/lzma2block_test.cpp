#include "crc.h"
#include "logcapture.h"
#include "lzma2block.h"
#include "memorymappedview.h"
#include "scratchdir.h"
#include "sinkbytes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <unistd.h>
#include <zlib.h>

using namespace vlpatch;

namespace {

// Text-like data that compresses well, with some noise.
ByteVector sampleData(std::size_t size, uint32_t seed)
{
    ByteVector noise = randomBytes(size, seed);
    ByteVector data(size);
    const char words[] = "voxlane patch stream block ";
    for (std::size_t i = 0; i < size; ++i)
        data[i] = noise[i] % 13 == 0 ? noise[i] : static_cast<uint8_t>(words[(i * 7 / 5) % (sizeof words - 1)]);
    return data;
}

ByteVector blockHeader(uint8_t prop, uint32_t size)
{
    SinkStream sink;
    EXPECT_TRUE(sink.Write(&prop, 1));
    EXPECT_TRUE(sink.WriteVarint32(size));
    return bytesOf(sink);
}

ByteVector concat(ByteVector a, const ByteVector& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The block read back with Lzma2BlockReader in pieces of `piece` bytes; true when the header,
// every piece and the end marker were read. `left`: the bytes the source kept.
bool readInPieces(const ByteVector& block, std::size_t piece, ByteVector* out, std::size_t* left)
{
    SourceStream source;
    source.Init(block.data(), block.size());
    Lzma2BlockReader reader;
    out->clear();
    bool ok = reader.ReadHeader(&source) && reader.Start();
    while (ok && reader.Remaining() != 0) {
        const std::size_t n = std::min<uint64_t>(piece, reader.Remaining());
        out->resize(out->size() + n);
        ok = reader.Read(out->data() + out->size() - n, n);
    }
    ok = ok && reader.Finish();
    *left = source.Remaining();
    return ok;
}

bool unpack(const ByteVector& block, ByteVector* out, std::size_t* left = nullptr)
{
    SourceStream source;
    source.Init(block.data(), block.size());
    SinkStream sink;
    const bool ok = UnpackLzma2Block(&source, &sink);
    *out = bytesOf(sink);
    if (left)
        *left = source.Remaining();
    return ok;
}

class Lzma2BlockTest : public ::testing::Test {
protected:
    ScratchDir dir;
    LogCapture log;

    // Raw LZMA2 of `data` made by python3's lzma module, with the property byte it reports.
    ByteVector pythonRawLzma2(const ByteVector& data, int preset, uint8_t* prop)
    {
        writeBytes(dir.file("in"), data);
        const std::string script =
            "import lzma,sys\n"
            "f=[{'id':lzma.FILTER_LZMA2,'preset':" + std::to_string(preset) + "}]\n"
            "d=open(sys.argv[1],'rb').read()\n"
            "open(sys.argv[2],'wb').write(lzma.compress(d,format=lzma.FORMAT_RAW,filters=f))\n"
            "open(sys.argv[3],'wb').write(lzma._encode_filter_properties(f[0]))\n";
        std::ofstream(dir.file("enc.py")) << script;
        EXPECT_EQ(runShell(requireTool("python3") + " " + dir.file("enc.py") + " " + dir.file("in") + " " +
                           dir.file("raw") + " " + dir.file("prop")),
                  0);
        const ByteVector props = readBytes(dir.file("prop"));
        EXPECT_EQ(props.size(), 1u);
        *prop = props.empty() ? 0 : props[0];
        return readBytes(dir.file("raw"));
    }
};

} // namespace

TEST_F(Lzma2BlockTest, DecodesRawStreamsOfPythonAndXzAndLeavesTrailingBytes)
{
    const ByteVector data = sampleData(300000, 1);
    uint8_t prop = 0;
    const ByteVector raw = pythonRawLzma2(data, 6, &prop);
    EXPECT_EQ(prop, 22); // 8 MiB dictionary

    const ByteVector trailing = {0xDE, 0xAD, 0xBE};
    ByteVector out;
    std::size_t left = 0;
    ASSERT_TRUE(unpack(concat(concat(blockHeader(prop, data.size()), raw), trailing), &out, &left));
    EXPECT_EQ(out, data);
    EXPECT_EQ(left, trailing.size());

    // The xz tool at another preset (1 MiB dictionary: property 16), incompressible data.
    const ByteVector noise = randomBytes(70000, 2);
    writeBytes(dir.file("noise"), noise);
    ASSERT_EQ(runShell(requireTool("xz") + " --format=raw --lzma2=preset=1 -c " + dir.file("noise") + " > " +
                       dir.file("noise.raw")),
              0);
    ASSERT_TRUE(unpack(concat(blockHeader(16, noise.size()), readBytes(dir.file("noise.raw"))), &out));
    EXPECT_EQ(out, noise);

    // An empty input is a block of its own.
    ASSERT_TRUE(unpack(concat(blockHeader(prop, 0), pythonRawLzma2({}, 6, &prop)), &out));
    EXPECT_TRUE(out.empty());
}

TEST_F(Lzma2BlockTest, RefusesTruncatedDataWrongSizesAndBadProperties)
{
    const ByteVector data = sampleData(100000, 3);
    uint8_t prop = 0;
    const ByteVector raw = pythonRawLzma2(data, 6, &prop);
    ByteVector out;

    // Each failure leaves the source where it was and the sink as it was.
    for (const ByteVector& bad : {concat(blockHeader(prop, data.size() + 1), raw),
                                  concat(blockHeader(prop, data.size() - 1), raw),
                                  concat(blockHeader(prop, data.size()), ByteVector(raw.begin(), raw.end() - 10)),
                                  concat(blockHeader(41, data.size()), raw)}) {
        SourceStream source;
        source.Init(bad.data(), bad.size());
        SinkStream sink;
        ASSERT_TRUE(sink.Write("keep", 4));
        EXPECT_FALSE(UnpackLzma2Block(&source, &sink));
        EXPECT_EQ(source.Remaining(), bad.size());
        EXPECT_EQ(bytesOf(sink), ByteVector({'k', 'e', 'e', 'p'}));
        EXPECT_THAT(log.last(), ::testing::StartsWith("Error uncompressing data "));
    }
    // A stream that ends before the announced size is decoded without error, and still refused.
    EXPECT_FALSE(unpack(concat(blockHeader(prop, data.size() + 5), raw), &out));
    EXPECT_EQ(log.last(), "Error uncompressing data 0");

    EXPECT_FALSE(unpack({}, &out));
    EXPECT_EQ(log.last(), "Error read LZMA2 properties");
    EXPECT_FALSE(unpack({22}, &out));
    EXPECT_EQ(log.last(), "Error read LZMA2 unpack size");
    EXPECT_FALSE(unpack({22, 0x80, 0x80}, &out));
    EXPECT_EQ(log.last(), "Error read LZMA2 unpack size");

    // A size the few bytes behind it could never hold is refused before anything is reserved.
    EXPECT_FALSE(unpack(concat(blockHeader(40, 0xFFFFFFFF), {1, 0, 0, 0}), &out));
    EXPECT_EQ(log.last(), "Error uncompressing data 6");
}

TEST_F(Lzma2BlockTest, PackedBlocksDecodeWithXzAndReadBackInSequence)
{
    const ByteVector first = sampleData(500000, 4);
    const ByteVector second = randomBytes(1000, 5);
    SinkStream packed;
    SourceStream source;
    source.Init(first.data(), first.size());
    ASSERT_TRUE(PackLzma2Block(&source, &packed));
    EXPECT_TRUE(source.Empty());
    const std::size_t firstLength = packed.Length();
    ASSERT_TRUE(PackLzma2Buffer(second.data(), second.size(), &packed));
    EXPECT_LT(firstLength, first.size() / 4);

    // The header is the property byte and the varint32 size; the rest is plain raw LZMA2.
    const ByteVector all = bytesOf(packed);
    const ByteVector header = blockHeader(all[0], first.size());
    ASSERT_TRUE(std::equal(header.begin(), header.end(), all.begin()));
    writeBytes(dir.file("first.raw"), ByteVector(all.begin() + header.size(), all.begin() + firstLength));
    ASSERT_EQ(runShell("xz -d --format=raw --lzma2=dict=64MiB -c " + dir.file("first.raw") + " > " +
                       dir.file("first.out")),
              0);
    EXPECT_EQ(readBytes(dir.file("first.out")), first);

    SourceStream blocks;
    blocks.Init(packed);
    SinkStream out;
    ASSERT_TRUE(UnpackLzma2Block(&blocks, &out));
    EXPECT_EQ(blocks.Remaining(), packed.Length() - firstLength);
    ASSERT_TRUE(UnpackLzma2Block(&blocks, &out));
    EXPECT_TRUE(blocks.Empty());
    EXPECT_EQ(bytesOf(out), concat(first, second));
    EXPECT_TRUE(log.messages.empty());
}

// Inputs spanning several encoder blocks (an exact multiple of the block size and one byte more)
// still make one LZMA2 stream that xz reads.
TEST_F(Lzma2BlockTest, MultiBlockPackingMakesOneStream)
{
    for (std::size_t size : {std::size_t{2 * kDefaultLzma2BlockSize}, std::size_t{2 * kDefaultLzma2BlockSize + 1}}) {
        const ByteVector data = sampleData(size, static_cast<uint32_t>(size));
        SinkStream packed;
        ASSERT_TRUE(PackLzma2Buffer(data.data(), data.size(), &packed));
        const ByteVector all = bytesOf(packed);
        const std::size_t headerSize = blockHeader(all[0], static_cast<uint32_t>(size)).size();
        writeBytes(dir.file("multi.raw"), ByteVector(all.begin() + headerSize, all.end()));
        ASSERT_EQ(runShell("xz -d --format=raw --lzma2=dict=64MiB -c " + dir.file("multi.raw") + " > " +
                           dir.file("multi.out")),
                  0);
        EXPECT_TRUE(readBytes(dir.file("multi.out")) == data);
        ByteVector out;
        ASSERT_TRUE(unpack(all, &out));
        EXPECT_TRUE(out == data);
    }
}

TEST_F(Lzma2BlockTest, PieceByPieceReadingAgreesWithTheOneShotDecoder)
{
    const ByteVector data = sampleData(200000, 5);
    uint8_t prop = 0;
    const ByteVector raw = pythonRawLzma2(data, 6, &prop);
    const ByteVector trailing = {0xDE, 0xAD};
    const ByteVector good = concat(concat(blockHeader(prop, data.size()), raw), trailing);
    for (std::size_t piece : {std::size_t{1}, std::size_t{4093}, std::size_t{65536}, data.size()}) {
        ByteVector out;
        std::size_t left = 0;
        ASSERT_TRUE(readInPieces(good, piece, &out, &left)) << piece;
        EXPECT_TRUE(out == data) << piece;
        EXPECT_EQ(left, trailing.size()) << piece;
    }

    // Whatever the one-shot decoder refuses, with the same text, and the source stays put.
    const struct {
        ByteVector block;
        std::string message;
    } bad[] = {
        {concat(blockHeader(prop, data.size() + 1), raw), "Error uncompressing data 0"},
        {concat(blockHeader(prop, data.size() - 1), raw), "Error uncompressing data 1"},
        {concat(blockHeader(prop, data.size()), ByteVector(raw.begin(), raw.end() - 10)), "Error uncompressing data 6"},
        {concat(blockHeader(41, data.size()), raw), "Error uncompressing data 4"},
        {{22, 0x80, 0x80}, "Error read LZMA2 unpack size"},
    };
    for (const auto& b : bad) {
        ByteVector out;
        std::size_t left = 0;
        EXPECT_FALSE(readInPieces(b.block, 4093, &out, &left)) << b.message;
        EXPECT_EQ(log.last(), b.message);
        EXPECT_EQ(left, b.block.size());
        EXPECT_FALSE(unpack(b.block, &out));
        EXPECT_EQ(log.last(), b.message);
    }
}

TEST(CrcTest, IsTheInvertedStandardCrc32)
{
    EXPECT_EQ(CalculateCrc(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(CalculateCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCADBBE3Du);
    EXPECT_EQ(CalculateCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), ~0xCBF43926u);
    for (uint32_t seed = 0; seed < 20; ++seed) {
        const ByteVector data = randomBytes(seed * 977 + seed % 3, seed);
        const uLong zlibCrc = crc32(0L, data.data(), static_cast<uInt>(data.size()));
        EXPECT_EQ(CalculateCrc(data.data(), data.size()), ~static_cast<uint32_t>(zlibCrc)) << data.size();
        // Computed piece by piece, as bytes are written, it is the same.
        const std::size_t split = data.size() / 3;
        EXPECT_EQ(ContinueCrc(CalculateCrc(data.data(), split), data.data() + split, data.size() - split),
                  CalculateCrc(data.data(), data.size()));
    }
}

TEST(MemoryMappedViewTest, MapsWholeFilesAndWindows)
{
    ScratchDir dir;
    const ByteVector data = randomBytes(3 * MemoryMappedView::PageSize() + 100, 6);
    writeBytes(dir.file("data"), data);

    MemoryMappedView view(dir.file("data").c_str(), 0, MemoryMappedView::SEQUENTIAL);
    ASSERT_TRUE(view.IsValid());
    EXPECT_EQ(view.length(), data.size());
    EXPECT_EQ(view.file_length(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), view.data()));
    EXPECT_EQ(view.at(data.size() - 1), data.back());
    EXPECT_THROW(view.at(data.size()), std::out_of_range);
    // Released pages are read back from the file, mid-page and past-the-end bounds included.
    view.Release(view.data() + 2 * MemoryMappedView::PageSize() + 7);
    view.Release(view.data() + data.size() + 4096);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), view.data()));
    EXPECT_FALSE(view.Open(dir.file("data").c_str(), 0, 0));

    const uint64_t page = MemoryMappedView::PageSize();
    ASSERT_TRUE(view.MapViewOfFile(page, 0));
    EXPECT_EQ(view.length(), data.size() - page);
    EXPECT_EQ(view[0], data[page]);
    EXPECT_FALSE(view.MapViewOfFile(data.size() + page, 10));
    EXPECT_FALSE(view.IsValid());
    EXPECT_THROW(view.at(0), std::invalid_argument);

    view.Close();
    EXPECT_EQ(view.file_length(), 0u);
    EXPECT_FALSE(view.MapViewOfFile(0, 0));
    EXPECT_TRUE(view.Open(dir.file("data").c_str(), 100, MemoryMappedView::RANDOM));
    EXPECT_EQ(view.length(), 100u);
}

TEST(MemoryMappedViewTest, RefusesMissingAndEmptyFilesAndReleasesMappings)
{
    ScratchDir dir;
    writeBytes(dir.file("empty"), {});
    EXPECT_FALSE(MemoryMappedView(dir.file("empty").c_str(), 0, 0).IsValid());
    EXPECT_FALSE(MemoryMappedView(dir.file("missing").c_str(), 0, 0).IsValid());
    writeBytes(dir.file("small"), {1, 2, 3});
    MemoryMappedView view(dir.file("small").c_str(), 0, 0);
    EXPECT_FALSE(view.MapViewOfFile(3, 0));

    auto countMaps = [] {
        std::ifstream maps("/proc/self/maps");
        return std::count(std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>(), '\n');
    };
    auto countFds = [] { return runShell("exit $(ls /proc/" + std::to_string(getpid()) + "/fd | wc -l)"); };
    const auto mapsBefore = countMaps();
    const int fdsBefore = countFds();
    for (int i = 0; i < 500; ++i) {
        MemoryMappedView cycle(dir.file("small").c_str(), 0, 0);
        ASSERT_TRUE(cycle.IsValid());
    }
    EXPECT_LE(countMaps(), mapsBefore + 2);
    EXPECT_EQ(countFds(), fdsBefore);
}

// A file opened as descriptor 0 (stdin closed) is a valid, open file.
TEST(MemoryMappedViewTest, DescriptorZeroIsAnOpenFile)
{
    ScratchDir dir;
    writeBytes(dir.file("data"), {9, 8, 7});
    const int savedStdin = dup(0);
    ASSERT_NE(savedStdin, -1);
    close(0);
    bool valid = false;
    bool closedAfterwards = false;
    {
        MemoryMappedView view(dir.file("data").c_str(), 0, 0);
        valid = view.IsValid() && view[2] == 7;
    }
    closedAfterwards = fcntl(0, F_GETFD) == -1;
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_TRUE(valid);
    EXPECT_TRUE(closedAfterwards);
}

TEST(WriteWholeFileTest, ReportsFailuresUpToTheFinalFlush)
{
    ScratchDir dir;
    const ByteVector data = randomBytes(1000, 7);
    EXPECT_EQ(WriteWholeFile(dir.file("out").c_str(), data.data(), data.size()), data.size());
    EXPECT_EQ(readBytes(dir.file("out")), data);
    EXPECT_EQ(WriteWholeFile(dir.file("missing/out").c_str(), data.data(), data.size()), 0u);

    // The bytes sit in stdio's buffer until the close, where the full disk turns them away.
    ASSERT_EQ(symlink("/dev/full", dir.file("full").c_str()), 0);
    EXPECT_LT(WriteWholeFile(dir.file("full").c_str(), data.data(), data.size()), data.size());
}
