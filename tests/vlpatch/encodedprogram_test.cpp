// The encoded program's stream format, its reader's refusals and the assembler's bytes,
// relocation tables and branch encodings.
#include "encodedprogram.h"
#include "executabletype.h"
#include "scratchdir.h"
#include "sinkbytes.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vlpatch;

namespace {

ByteVector streamSet(const std::vector<ByteVector>& streams)
{
    SinkStreamSet set;
    EXPECT_TRUE(set.Init(streams.size()));
    for (std::size_t i = 0; i < streams.size(); ++i)
        EXPECT_TRUE(set.stream(i)->Write(streams[i].data(), streams[i].size()));
    SinkStream out;
    EXPECT_TRUE(set.CopyTo(&out));
    return bytesOf(out);
}

ByteVector serialise(EncodedProgram* program)
{
    SinkStreamSet set;
    SinkStream out;
    EXPECT_EQ(WriteEncodedProgram(program, &set), C_OK);
    EXPECT_TRUE(set.CopyTo(&out));
    return bytesOf(out);
}

int readProgram(const ByteVector& bytes, std::unique_ptr<EncodedProgram>* program)
{
    SourceStreamSet set;
    if (!set.Init(bytes.data(), bytes.size()))
        return -1;
    EncodedProgram* read = reinterpret_cast<EncodedProgram*>(1);
    const int status = ReadEncodedProgram(&set, &read);
    program->reset(read);
    return status;
}

// Assembles the program; an empty result with ok false when the assembly fails.
ByteVector assemble(EncodedProgram* program, bool* ok)
{
    SinkStream out;
    *ok = Assemble(program, &out) == C_OK;
    return bytesOf(out);
}

ByteVector assembleOk(EncodedProgram* program)
{
    bool ok = false;
    ByteVector out = assemble(program, &ok);
    EXPECT_TRUE(ok);
    return out;
}

ByteVector cat(std::initializer_list<ByteVector> parts)
{
    ByteVector all;
    for (const ByteVector& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST(EncodedProgram, LiteralBytesMergeIntoOneCopy)
{
    const uint8_t a = 1, b = 2, c = 3;
    EncodedProgram program;
    ASSERT_TRUE(program.AddCopy(1, &a));
    EXPECT_EQ(program.ops()[0], uint32_t(EncodedProgram::COPY1));
    ASSERT_TRUE(program.AddCopy(1, &b));
    ASSERT_TRUE(program.AddOrigin(0));
    ASSERT_TRUE(program.AddCopy(1, &c));
    ASSERT_EQ(program.ops().size(), 3u);
    EXPECT_EQ(program.ops()[0], uint32_t(EncodedProgram::COPY));
    EXPECT_EQ(program.ops()[2], uint32_t(EncodedProgram::COPY1));
    ASSERT_EQ(program.copy_counts().size(), 1u);
    EXPECT_EQ(program.copy_counts()[0], 2u);
    EXPECT_EQ(program.copy_bytes().size(), 3u);
}

TEST(EncodedProgram, LabelTablesFillGapsAndRefuseNegativeIndexes)
{
    EncodedProgram program;
    ASSERT_TRUE(program.DefineAbs32Label(0, 0x100));
    ASSERT_TRUE(program.DefineAbs32Label(3, 0x400));
    ASSERT_TRUE(program.DefineRel32Label(2, 0x30));
    EXPECT_FALSE(program.DefineRel32Label(-1, 0x999));
    program.EndLabels();
    const auto& abs32 = program.abs32_rva();
    EXPECT_EQ(std::vector<uint32_t>(abs32.data(), abs32.data() + abs32.size()),
              (std::vector<uint32_t>{0x100, 0x100, 0x100, 0x400}));
    const auto& rel32 = program.rel32_rva();
    EXPECT_EQ(std::vector<uint32_t>(rel32.data(), rel32.data() + rel32.size()), (std::vector<uint32_t>{0, 0, 0x30}));
}

TEST(EncodedProgram, StreamLayoutAndAssembledBytes)
{
    const uint8_t byte = 0xAA;
    EncodedProgram program;
    program.set_image_base(0x100400000ULL); // only the low 32 bits count
    ASSERT_TRUE(program.DefineAbs32Label(0, 0x2000));
    ASSERT_TRUE(program.DefineRel32Label(0, 0x1000));
    ASSERT_TRUE(program.DefineRel32Label(1, 0x1800));
    program.EndLabels();
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddCopy(1, &byte));
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddRel32(0));

    const ByteVector serialised = serialise(&program);
    const ByteVector expected = streamSet({
        varints({0x400000, 1, 0x1000}), // image base, origins
        varints({4, 0, 2, 4, 3}),       // ops
        {0x01, 0xAA},                   // copy bytes
        varints({1, 0}),                // abs32 indexes
        varints({1, 0}),                // rel32 indexes
        varints({1, 0x2000}),           // abs32 RVAs as deltas
        varints({2, 0x1000, 0x800}),    // rel32 RVAs as deltas
        varints({0}),                   // copy counts
        {},
        {},
    });
    EXPECT_EQ(serialised, expected);

    std::unique_ptr<EncodedProgram> read;
    ASSERT_EQ(readProgram(serialised, &read), C_OK);
    EXPECT_EQ(read->image_base(), 0x400000u);
    EXPECT_EQ(serialise(read.get()), serialised);
    // COPY1 AA; ABS32 0x2000 + 0x400000 at 0x1001; REL32 to 0x1000 from 0x1005: -9.
    EXPECT_EQ(assembleOk(read.get()), (ByteVector{0xAA, 0x00, 0x20, 0x40, 0x00, 0xF7, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(read->abs32_relocs().size(), 1u);
    EXPECT_EQ(read->abs32_relocs()[0], 0x1001u);
}

TEST(EncodedProgram, ReaderRefusesWhatTheStreamsCannotHold)
{
    std::unique_ptr<EncodedProgram> read;
    const std::vector<ByteVector> good = {varints({0, 0}), varints({0}), varints({0}), varints({0}),
                                          varints({0}),    varints({0}), varints({0}), varints({0})};
    ASSERT_EQ(readProgram(streamSet(good), &read), C_OK);

    // Fewer than eight streams: the missing one is not read as empty.
    EXPECT_EQ(readProgram(streamSet(std::vector<ByteVector>(good.begin(), good.begin() + 7)), &read),
              C_DESERIALIZATION_FAILED);
    EXPECT_EQ(read, nullptr);

    // One unread byte in stream 8.
    std::vector<ByteVector> extra = good;
    extra.push_back({0x00});
    EXPECT_EQ(readProgram(streamSet(extra), &read), C_DESERIALIZATION_FAILED);

    // Counts far beyond the stream's bytes are refused before anything is reserved for them.
    for (std::size_t stream : {0, 1, 2, 3, 4, 5, 6, 7}) {
        SCOPED_TRACE(stream);
        std::vector<ByteVector> huge = good;
        huge[stream] = stream == 0 ? varints({0, 0xFFFFFFFF, 1, 2}) : varints({0xFFFFFFFF, 1, 2});
        EXPECT_EQ(readProgram(streamSet(huge), &read), C_DESERIALIZATION_FAILED);
        // A count of one more than the bytes left.
        huge[stream] = stream == 0 ? varints({0, 3, 1, 2}) : varints({3, 1, 2});
        EXPECT_EQ(readProgram(streamSet(huge), &read), C_DESERIALIZATION_FAILED);
    }
    std::vector<ByteVector> shortBytes = good;
    shortBytes[2] = {0x03, 0xAA, 0xBB};
    EXPECT_EQ(readProgram(streamSet(shortBytes), &read), C_DESERIALIZATION_FAILED);
}

TEST(EncodedProgram, AssemblyChecksOperandsAndConsumption)
{
    {
        EncodedProgram empty;
        EXPECT_TRUE(assembleOk(&empty).empty());
    }
    {
        // Origins may be left over; literal bytes may not.
        std::unique_ptr<EncodedProgram> read;
        ASSERT_EQ(readProgram(streamSet({varints({0, 2, 5, 6}), varints({2, 2, 0}), {0x01, 0x01},
                                         varints({0}), varints({0}), varints({0}), varints({0}), varints({0})}),
                              &read),
                  C_OK);
        EXPECT_EQ(assembleOk(read.get()), ByteVector{0x01});
        ASSERT_EQ(readProgram(streamSet({varints({0, 0}), varints({1, 2}), {0x02, 0x01, 0x02}, varints({0}),
                                         varints({0}), varints({0}), varints({0}), varints({0})}),
                              &read),
                  C_OK);
        bool ok = true;
        assemble(read.get(), &ok);
        EXPECT_FALSE(ok);
    }
    {
        EncodedProgram program;
        ASSERT_TRUE(program.AddRel32(0)); // no rel32 label 0
        bool ok = true;
        assemble(&program, &ok);
        EXPECT_FALSE(ok);
    }
    {
        EncodedProgram program;
        ASSERT_TRUE(program.DefineRel32Label(0, 0x1000));
        ASSERT_TRUE(program.AddOrigin(0xFF0));
        ASSERT_TRUE(program.AddRel32(0));
        EXPECT_EQ(assembleOk(&program), (ByteVector{0x0C, 0x00, 0x00, 0x00}));
    }
}

TEST(EncodedProgram, PeRelocationTables)
{
    {
        EncodedProgram program;
        ASSERT_TRUE(program.DefineAbs32Label(0, 0));
        ASSERT_TRUE(program.AddOrigin(0x1234));
        ASSERT_TRUE(program.AddAbs32(0));
        ASSERT_TRUE(program.AddPeMakeRelocs(EXE_WIN_32_X86));
        const uint8_t tail = 0xEE;
        ASSERT_TRUE(program.AddCopy(1, &tail));
        // The word, then the table in the place of its op, then what followed the op.
        EXPECT_EQ(assembleOk(&program),
                  (ByteVector{0, 0, 0, 0, 0x00, 0x10, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x34, 0x32, 0x00, 0x00, 0xEE}));
    }
    {
        // The last entry stays out of the sort: pages 0x2000 then 0x1000.
        EncodedProgram program;
        ASSERT_TRUE(program.DefineAbs32Label(0, 0));
        ASSERT_TRUE(program.AddPeMakeRelocs(EXE_WIN_32_X64));
        ASSERT_TRUE(program.AddOrigin(0x2004));
        ASSERT_TRUE(program.AddAbs32(0));
        ASSERT_TRUE(program.AddOrigin(0x1000));
        ASSERT_TRUE(program.AddAbs32(0));
        const ByteVector words(8, 0);
        EXPECT_EQ(assembleOk(&program),
                  cat({{0x00, 0x20, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x04, 0xA0, 0x00, 0x00},
                       {0x00, 0x10, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x00, 0x00}, words}));
    }
    {
        // Three entries: the first two are sorted, the last stays last.
        EncodedProgram program;
        ASSERT_TRUE(program.DefineAbs32Label(0, 0));
        ASSERT_TRUE(program.AddPeMakeRelocs(EXE_WIN_32_X86));
        for (uint32_t rva : {0x3000u, 0x2000u, 0x1000u}) {
            ASSERT_TRUE(program.AddOrigin(rva));
            ASSERT_TRUE(program.AddAbs32(0));
        }
        const ByteVector out = assembleOk(&program);
        ASSERT_EQ(out.size(), 3u * 12 + 12);
        EXPECT_EQ(out[1], 0x20);
        EXPECT_EQ(out[13], 0x30);
        EXPECT_EQ(out[25], 0x10);
    }
    {
        // No abs32 word at all: the table is empty and nothing is sorted.
        EncodedProgram program;
        ASSERT_TRUE(program.AddPeMakeRelocs(EXE_WIN_32_X86));
        EXPECT_TRUE(assembleOk(&program).empty());
    }
    for (uint32_t secondKind : {uint32_t(EXE_WIN_32_X86), uint32_t(EXE_WIN_32_X64)}) {
        EncodedProgram program;
        ASSERT_TRUE(program.AddPeMakeRelocs(EXE_WIN_32_X86));
        ASSERT_TRUE(program.AddPeMakeRelocs(secondKind));
        bool ok = true;
        assemble(&program, &ok);
        EXPECT_FALSE(ok);
    }
}

TEST(EncodedProgram, ElfRelocationEntries)
{
    EncodedProgram program;
    ASSERT_TRUE(program.DefineAbs32Label(0, 0x10));
    ASSERT_TRUE(program.AddOrigin(0x108));
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddElfMakeRelocs());
    ASSERT_TRUE(program.AddOrigin(0x104));
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddOrigin(0x100));
    ASSERT_TRUE(program.AddAbs32(0));
    const ByteVector word = {0x10, 0, 0, 0};
    // 0x108 and 0x104 sorted, 0x100 left last; then the words emitted after the op.
    EXPECT_EQ(assembleOk(&program), cat({word, {0x04, 0x01, 0, 0, 8, 0, 0, 0}, {0x08, 0x01, 0, 0, 8, 0, 0, 0},
                                         {0x00, 0x01, 0, 0, 8, 0, 0, 0}, word, word}));

    EncodedProgram twice;
    ASSERT_TRUE(twice.AddElfMakeRelocs());
    ASSERT_TRUE(twice.AddElfARMMakeRelocs());
    bool ok = true;
    assemble(&twice, &ok);
    EXPECT_FALSE(ok);
}

TEST(EncodedProgram, ArmBranchesDecompressToTheirInstructions)
{
    // Each branch targets the address at which its kind's zero offset lands.
    struct Case {
        uint16_t op;
        uint32_t distance;
        ByteVector bytes;
    };
    const Case cases[] = {
        {0x10D0, 4, {0x00, 0xD0}},             // Thumb beq .+4
        {0x201C, 4, {0x00, 0xE0}},             // Thumb b .+4
        {0x30EA, 8, {0x00, 0x00, 0x00, 0xEA}}, // ARM b .+8
        {0x44F7, 4, {0x00, 0xF0, 0x00, 0xF8}}, // Thumb-2 bl .+4
        {0x5000, 4, {0x00, 0xF0, 0x00, 0x80}}, // Thumb-2 beq.w .+4
        {0x30EA, 0x10, {0x02, 0x00, 0x00, 0xEA}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        EncodedProgram program;
        ASSERT_TRUE(program.DefineRel32Label(0, 0x8000 + c.distance));
        ASSERT_TRUE(program.AddOrigin(0x8000));
        ASSERT_TRUE(program.AddRel32ARM(c.op, 0));
        EXPECT_EQ(assembleOk(&program), c.bytes);
    }
    for (uint16_t op : {0x0900, 0x6000, 0xF123}) {
        EncodedProgram program;
        ASSERT_TRUE(program.DefineRel32Label(0, 0));
        ASSERT_TRUE(program.AddRel32ARM(op, 0));
        bool ok = true;
        assemble(&program, &ok);
        EXPECT_FALSE(ok) << op;
    }
    EncodedProgram opNine;
    ASSERT_TRUE(opNine.AddRel32ARM(9, 0));
    bool ok = true;
    assemble(&opNine, &ok);
    EXPECT_FALSE(ok);
}
