#include "nothrowbuffer.h"
#include "pagebuffer.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vlpatch;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const SinkStream& sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes varint(uint32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32(value));
    return bytesOf(sink);
}

Bytes signedVarint(int32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32Signed(value));
    return bytesOf(sink);
}

} // namespace

TEST(VarintTest, KnownEncodings)
{
    EXPECT_EQ(varint(0), Bytes({0x00}));
    EXPECT_EQ(varint(127), Bytes({0x7F}));
    EXPECT_EQ(varint(128), Bytes({0x80, 0x01}));
    EXPECT_EQ(varint(20090218), Bytes({0xEA, 0x9A, 0xCA, 0x09}));
    EXPECT_EQ(varint(0xFFFFFFFF), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));

    EXPECT_EQ(signedVarint(0), Bytes({0x00}));
    EXPECT_EQ(signedVarint(-1), Bytes({0x01}));
    EXPECT_EQ(signedVarint(1), Bytes({0x02}));
    EXPECT_EQ(signedVarint(-64), Bytes({0x7F}));
    EXPECT_EQ(signedVarint(64), Bytes({0x80, 0x01}));
    EXPECT_EQ(signedVarint(INT32_MAX), varint(4294967294u));
    EXPECT_EQ(signedVarint(INT32_MIN), varint(4294967295u));
}

TEST(VarintTest, RoundTripsAndTruncatedReads)
{
    SinkStream sink;
    const uint32_t values[] = {0, 1, 127, 128, 16383, 16384, 0x1FFFFF, 0x200000, 0x0FFFFFFF, 0x10000000, 0xFFFFFFFF};
    const int32_t signedValues[] = {0, -1, 1, -64, 64, INT32_MIN, INT32_MAX, -123456789};
    for (uint32_t v : values)
        ASSERT_TRUE(sink.WriteVarint32(v));
    for (int32_t v : signedValues)
        ASSERT_TRUE(sink.WriteVarint32Signed(v));

    SourceStream source;
    source.Init(sink);
    for (uint32_t v : values) {
        uint32_t read = 0;
        ASSERT_TRUE(source.ReadVarint32(&read));
        EXPECT_EQ(read, v);
    }
    for (int32_t v : signedValues) {
        int32_t read = 0;
        ASSERT_TRUE(source.ReadVarint32Signed(&read));
        EXPECT_EQ(read, v);
    }
    EXPECT_TRUE(source.Empty());

    const uint8_t highBitsDropped[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    source.Init(highBitsDropped, sizeof highBitsDropped);
    uint32_t value = 0;
    ASSERT_TRUE(source.ReadVarint32(&value));
    EXPECT_EQ(value, 0xFFFFFFFFu);

    const uint8_t sixBytes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00};
    source.Init(sixBytes, sizeof sixBytes);
    EXPECT_FALSE(source.ReadVarint32(&value));
    EXPECT_EQ(source.Remaining(), sizeof sixBytes);
    EXPECT_EQ(DecodeVarint32(sixBytes, sixBytes + sizeof sixBytes, &value), nullptr);

    const uint8_t unfinished[] = {0x80};
    source.Init(unfinished, 1);
    int32_t signedValue = 0;
    EXPECT_FALSE(source.ReadVarint32Signed(&signedValue));
    EXPECT_EQ(source.Remaining(), 1u);
}

// A size beyond 32 bits reaching the varint writer is a broken invariant that ends the process.
TEST(VarintDeathTest, SizeBeyond32BitsEndsTheProcess)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteSizeVarint32(0xFFFFFFFFu));
    EXPECT_EXIT(sink.WriteSizeVarint32(std::size_t{1} << 32), ::testing::ExitedWithCode(1), "");
}

TEST(SourceStreamTest, ReadsSkipsAndSharesWithinBounds)
{
    const uint8_t data[] = {1, 2, 3, 4, 5, 6};
    SourceStream source;
    source.Init(data, sizeof data);

    uint8_t two[2];
    ASSERT_TRUE(source.Read(two, 2));
    EXPECT_EQ(two[1], 2);
    EXPECT_FALSE(source.Read(two, 5));
    EXPECT_FALSE(source.Skip(5));
    EXPECT_EQ(source.Remaining(), 4u);

    SourceStream sub;
    EXPECT_TRUE(source.ShareSubstream(1, 3, &sub));
    EXPECT_EQ(sub.Remaining(), 3u);
    EXPECT_EQ(sub.Buffer()[0], 4);
    EXPECT_FALSE(source.ShareSubstream(1, 4, &sub));
    EXPECT_FALSE(source.ShareSubstream(5, 0, &sub));
    EXPECT_FALSE(source.ShareSubstream(2, SIZE_MAX, &sub));
    EXPECT_EQ(source.Remaining(), 4u);

    EXPECT_FALSE(source.ShareLength(5, &sub));
    ASSERT_TRUE(source.ShareLength(3, &sub));
    EXPECT_EQ(sub.Buffer()[0], 3);
    EXPECT_EQ(source.Remaining(), 1u);
    EXPECT_TRUE(source.Skip(1));
    EXPECT_TRUE(source.Empty());
}

TEST(SinkStreamTest, GrowsByDoublingAndReservesExactly)
{
    SinkStream sink;
    EXPECT_TRUE(sink.Write("", 0));
    EXPECT_EQ(sink.Capacity(), 0u);
    ASSERT_TRUE(sink.Write("x", 1));
    EXPECT_EQ(sink.Capacity(), 256u);
    Bytes block(300, 7);
    ASSERT_TRUE(sink.Write(block.data(), block.size()));
    EXPECT_EQ(sink.Capacity(), 512u);
    ASSERT_TRUE(sink.Reserve(1000));
    EXPECT_EQ(sink.Capacity(), 1301u);
    EXPECT_EQ(sink.Length(), 301u);
    EXPECT_EQ(sink.Buffer()[300], 7);

    SinkStream other;
    ASSERT_TRUE(other.Write("abc", 3));
    ASSERT_TRUE(sink.Append(&other));
    EXPECT_EQ(other.Length(), 0u);
    EXPECT_EQ(other.Buffer(), nullptr);
    EXPECT_EQ(sink.Length(), 304u);
    EXPECT_EQ(sink.Buffer()[303], 'c');
}

TEST(SinkStreamTest, FailedAllocationIsSticky)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("abc", 3));
    EXPECT_FALSE(sink.Reserve(SIZE_MAX / 4));
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(sink.Capacity(), 0xFFFFFFFFu);
    EXPECT_EQ(sink.Length(), 0u);
    EXPECT_EQ(sink.Buffer(), nullptr);
    EXPECT_FALSE(sink.Write("", 0));
    EXPECT_FALSE(sink.Reserve(1));
    EXPECT_FALSE(sink.WriteVarint32(1));

    // Appending a failed sink must not hide its lost bytes.
    SinkStream target;
    EXPECT_FALSE(target.Append(&sink));
    EXPECT_TRUE(sink.Failed());

    // Sizes that would wrap around are refused before any allocation.
    SinkStream wrap;
    ASSERT_TRUE(wrap.Write("abc", 3));
    EXPECT_FALSE(wrap.Reserve(SIZE_MAX - 1));
    EXPECT_FALSE(wrap.Write("abc", SIZE_MAX - 1));
}

TEST(NoThrowBufferTest, PushGrowsFromTheMinimumAndResizeFills)
{
    NoThrowBuffer<uint32_t, 64> buffer;
    ASSERT_TRUE(buffer.push_back(5));
    EXPECT_EQ(buffer.capacity(), 64u);
    for (uint32_t i = 1; i < 65; ++i)
        ASSERT_TRUE(buffer.push_back(i));
    EXPECT_EQ(buffer.capacity(), 128u);
    EXPECT_EQ(buffer[0], 5u);
    EXPECT_EQ(buffer.back(), 64u);

    ASSERT_TRUE(buffer.resize(200, 0xFFFFFFFF));
    EXPECT_EQ(buffer.capacity(), 200u);
    EXPECT_EQ(buffer[199], 0xFFFFFFFFu);
    EXPECT_EQ(buffer[64], 64u);

    EXPECT_FALSE(buffer.reserve(NoThrowBuffer<uint32_t, 64>::kMaxElements));
    EXPECT_TRUE(buffer.failed());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_FALSE(buffer.push_back(1));
}

TEST(StreamSetTest, EmptySetOfTenStreams)
{
    SinkStreamSet sinks;
    SinkStream out;
    ASSERT_TRUE(sinks.CopyTo(&out));
    Bytes expected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A};
    expected.resize(15, 0);
    EXPECT_EQ(bytesOf(out), expected);

    SourceStreamSet sources;
    ASSERT_TRUE(sources.Init(out.Buffer(), out.Length()));
    EXPECT_EQ(sources.count(), 10u);
    EXPECT_TRUE(sources.Empty());
}

TEST(StreamSetTest, RoundTripsStreamsAndRefusesWrongLengths)
{
    SinkStreamSet sinks;
    ASSERT_TRUE(sinks.Init(3));
    ASSERT_TRUE(sinks.stream(0)->Write("ab", 2));
    ASSERT_TRUE(sinks.stream(2)->Write("cde", 3));
    SinkStream out;
    ASSERT_TRUE(out.Write("!", 1));
    ASSERT_TRUE(sinks.CopyTo(&out));
    EXPECT_EQ(sinks.stream(0)->Length(), 0u);
    const Bytes whole = bytesOf(out);
    EXPECT_EQ(whole, Bytes({'!', 0xEA, 0x9A, 0xCA, 0x09, 3, 2, 0, 3, 'a', 'b', 'c', 'd', 'e'}));

    SourceStream stream;
    stream.Init(out);
    ASSERT_TRUE(stream.Skip(1));
    SourceStreamSet sources;
    ASSERT_TRUE(sources.InitFromSourceStream(stream));
    EXPECT_EQ(stream.Remaining(), whole.size() - 1);
    ASSERT_EQ(sources.count(), 3u);
    EXPECT_EQ(sources.stream(0)->Remaining(), 2u);
    EXPECT_EQ(sources.stream(1)->Remaining(), 0u);
    EXPECT_EQ(sources.stream(2)->Buffer()[2], 'e');
    EXPECT_FALSE(sources.Empty());
    ASSERT_TRUE(sources.stream(0)->Skip(2));
    ASSERT_TRUE(sources.stream(2)->Skip(3));
    EXPECT_TRUE(sources.Empty());

    const Bytes set(whole.begin() + 1, whole.end());
    SourceStreamSet refused;
    EXPECT_FALSE(refused.Init(set.data(), set.size() - 1));
    Bytes longer = set;
    longer.push_back(0);
    EXPECT_FALSE(refused.Init(longer.data(), longer.size()));
    Bytes elevenStreams = {0xEA, 0x9A, 0xCA, 0x09, 11};
    elevenStreams.resize(16, 0);
    EXPECT_FALSE(refused.Init(elevenStreams.data(), elevenStreams.size()));
    Bytes wrongMagic = set;
    wrongMagic[0] = 0xEB;
    EXPECT_FALSE(refused.Init(wrongMagic.data(), wrongMagic.size()));
    const Bytes noStreams = {0xEA, 0x9A, 0xCA, 0x09, 0};
    EXPECT_TRUE(refused.Init(noStreams.data(), noStreams.size()));
    EXPECT_TRUE(refused.Empty());
    // Lengths whose sum exceeds 32 bits must not wrap to the real rest of the buffer.
    const Bytes huge = {0xEA, 0x9A, 0xCA, 0x09, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 2, 'x'};
    EXPECT_FALSE(refused.Init(huge.data(), huge.size()));
    EXPECT_FALSE(sinks.Init(11));
}

TEST(StreamSetTest, NestedSetsSkipTrailingEmptyStreams)
{
    SinkStreamSet outer;
    SinkStreamSet first;
    ASSERT_TRUE(first.stream(2)->Write("xyz", 3));
    SinkStreamSet second;
    ASSERT_TRUE(second.stream(0)->Write("q", 1));
    ASSERT_TRUE(outer.WriteSet(&first));
    ASSERT_TRUE(outer.WriteSet(&second));
    EXPECT_EQ(first.stream(2)->Length(), 0u);
    EXPECT_EQ(bytesOf(*outer.stream(0)), Bytes({3, 0, 0, 3, 1, 1, 'q'}));

    SinkStream out;
    ASSERT_TRUE(outer.CopyTo(&out));
    SourceStreamSet sources;
    ASSERT_TRUE(sources.Init(out.Buffer(), out.Length()));
    SourceStreamSet readFirst;
    SourceStreamSet readSecond;
    ASSERT_TRUE(sources.ReadSet(&readFirst));
    EXPECT_EQ(readFirst.stream(0)->Remaining(), 0u);
    EXPECT_EQ(readFirst.stream(1)->Remaining(), 0u);
    ASSERT_EQ(readFirst.stream(2)->Remaining(), 3u);
    EXPECT_EQ(readFirst.stream(2)->Buffer()[0], 'x');
    ASSERT_TRUE(sources.ReadSet(&readSecond));
    EXPECT_EQ(readSecond.stream(0)->Buffer()[0], 'q');
    EXPECT_TRUE(sources.Empty());
    EXPECT_FALSE(sources.ReadSet(&readSecond));

    // A nested set needing more streams than the outer set has is refused both ways.
    SinkStreamSet narrow;
    ASSERT_TRUE(narrow.Init(2));
    SinkStreamSet wide;
    ASSERT_TRUE(wide.stream(2)->Write("x", 1));
    EXPECT_FALSE(narrow.WriteSet(&wide));

    const Bytes twoStreams = {0xEA, 0x9A, 0xCA, 0x09, 2, 4, 0, 3, 0, 0, 0};
    SourceStreamSet small;
    ASSERT_TRUE(small.Init(twoStreams.data(), twoStreams.size()));
    SourceStreamSet nested;
    EXPECT_FALSE(small.ReadSet(&nested));
    const Bytes shortStream = {0xEA, 0x9A, 0xCA, 0x09, 2, 2, 0, 1, 5};
    ASSERT_TRUE(small.Init(shortStream.data(), shortStream.size()));
    EXPECT_FALSE(small.ReadSet(&nested));
}

TEST(PageBufferTest, SparseWritesReadBackAndDiscardKeepsPartialPages)
{
    const std::size_t page = PageBuffer::PageSize();
    const std::size_t size = 5 * page + 123;
    Bytes expected(size, 0);
    for (std::size_t i = page / 2; i < page + 7; ++i)
        expected[i] = static_cast<uint8_t>(i | 1);
    expected[3 * page] = 0xAB;
    expected[size - 1] = 0xCD;

    PageBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(size));
    // Pieces that straddle page boundaries at odd offsets, zeros among them.
    for (std::size_t offset = 0; offset < size;) {
        const std::size_t n = std::min<std::size_t>(page / 3 + 5, size - offset);
        buffer.WriteSparse(offset, expected.data() + offset, n);
        offset += n;
    }
    EXPECT_TRUE(Bytes(buffer.data(), buffer.data() + size) == expected);

    // Only the pages wholly inside the range go; the bytes around them stay.
    buffer.Discard(buffer.data() + page / 2, buffer.data() + 4 * page + 1);
    for (std::size_t i = page; i < 4 * page; ++i)
        expected[i] = 0;
    EXPECT_TRUE(Bytes(buffer.data(), buffer.data() + size) == expected);

    ASSERT_TRUE(buffer.Allocate(0));
    EXPECT_EQ(buffer.size(), 0u);
}
