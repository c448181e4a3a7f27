// Label numbering, trimming and encoding of assembly programs: what the encoded stream set of
// an element, and so every stored patch, depends on.
#include "assemblyprogram.h"
#include "encodedprogram.h"
#include "logcapture.h"
#include "status.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vlpatch;

namespace {

std::vector<uint32_t> listOf(const EncodedProgram::U32Buffer& buffer)
{
    return std::vector<uint32_t>(buffer.data(), buffer.data() + buffer.size());
}

std::unique_ptr<EncodedProgram> encode(AssemblyProgram* program)
{
    EncodedProgram* encoded = nullptr;
    EXPECT_EQ(EncodeProgram(program, &encoded), C_OK);
    return std::unique_ptr<EncodedProgram>(encoded);
}

} // namespace

TEST(AssemblyProgram, LabelsAreCountedAndNumberedInRvaOrderPerMap)
{
    AssemblyProgram program(EXE_WIN_32_X86);
    Label* a = program.FindOrMakeLabel(0x3000);
    Label* b = program.FindOrMakeLabel(0x1000);
    Label* c = program.FindOrMakeLabel(0x2000);
    EXPECT_EQ(program.FindOrMakeLabel(0x1000), b);
    Label* r = program.FindOrMakeRel32Label(0x1000);
    EXPECT_NE(r, b);
    EXPECT_EQ(b->count, 2);
    EXPECT_EQ(a->index, -1);
    program.DefaultAssignIndexes();
    EXPECT_EQ(a->index, 2);
    EXPECT_EQ(b->index, 0);
    EXPECT_EQ(c->index, 1);
    EXPECT_EQ(r->index, 0);
}

TEST(AssemblyProgram, EncodesInstructionsInOrderAndMergesLiteralBytes)
{
    const uint8_t run[] = {7, 8, 9};
    AssemblyProgram program(EXE_WIN_32_X64);
    program.set_image_base(0x140000000ULL);
    ASSERT_TRUE(program.EmitOriginInstruction(0x1000));
    ASSERT_TRUE(program.EmitByteInstruction(0x55));
    ASSERT_TRUE(program.EmitByteInstruction(0x48));
    ASSERT_TRUE(program.EmitAbs32(program.FindOrMakeLabel(0x2000)));
    ASSERT_TRUE(program.EmitByteInstruction(0xC3));
    ASSERT_TRUE(program.EmitRel32(program.FindOrMakeRel32Label(0x1800)));
    ASSERT_TRUE(program.EmitPeRelocsInstruction());
    ASSERT_TRUE(program.EmitMultipleBytes(run, 3));
    ASSERT_TRUE(program.EmitByteInstruction(1));
    ASSERT_FALSE(program.EmitRel32(nullptr));
    program.DefaultAssignIndexes();

    const std::unique_ptr<EncodedProgram> encoded = encode(&program);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->image_base(), 0x140000000ULL);
    EXPECT_EQ(listOf(encoded->ops()),
              (std::vector<uint32_t>{EncodedProgram::ORIGIN, EncodedProgram::COPY, EncodedProgram::ABS32,
                                     EncodedProgram::COPY1, EncodedProgram::REL32,
                                     EncodedProgram::MAKE_PE64_RELOCATION_TABLE, EncodedProgram::COPY}));
    EXPECT_EQ(listOf(encoded->copy_counts()), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(std::vector<uint8_t>(encoded->copy_bytes().data(), encoded->copy_bytes().data() + 7),
              (std::vector<uint8_t>{0x55, 0x48, 0xC3, 7, 8, 9, 1}));
    EXPECT_EQ(listOf(encoded->abs32_rva()), std::vector<uint32_t>{0x2000});
    EXPECT_EQ(listOf(encoded->rel32_rva()), std::vector<uint32_t>{0x1800});

    AssemblyProgram x86(EXE_WIN_32_X86);
    ASSERT_TRUE(x86.EmitPeRelocsInstruction());
    EXPECT_EQ(listOf(encode(&x86)->ops()), std::vector<uint32_t>{EncodedProgram::MAKE_PE_RELOCATION_TABLE});
}

// The byte instructions are the program's 256 shared ones: the same value gives the same
// instruction, and the program frees each of them once however often it was emitted.
TEST(AssemblyProgram, ByteInstructionsAreShared)
{
    AssemblyProgram program(EXE_WIN_32_X86);
    for (uint8_t byte : {0x55, 0x90, 0x55})
        ASSERT_TRUE(program.EmitByteInstruction(byte));
    const AssemblyProgram::InstructionVector& instructions = program.instructions();
    ASSERT_EQ(instructions.size(), 3u);
    EXPECT_EQ(instructions[0], instructions[2]);
    EXPECT_NE(instructions[0], instructions[1]);
    EXPECT_EQ(instructions[0]->kind(), InstructionKind::BYTE);
    EXPECT_EQ(instructions[0]->info(), 0x55u);
    EXPECT_EQ(instructions[1]->info(), 0x90u);
}

TEST(AssemblyProgram, OnlyArmProgramsAreTrimmed)
{
    LogCapture log;
    AssemblyProgram x86(EXE_ELF_32_X86);
    Label* rare = x86.FindOrMakeRel32Label(0x100);
    ASSERT_TRUE(x86.EmitRel32(rare));
    x86.DefaultAssignIndexes();
    EXPECT_EQ(TrimLabels(&x86), C_OK);
    EXPECT_EQ(x86.rel32_labels().size(), 1u);
    EXPECT_TRUE(log.messages.empty());
}

TEST(AssemblyProgram, TrimmingArmBranchesLeavesGapsThatEndLabelsFills)
{
    LogCapture log;
    const uint8_t image[] = {0x01, 0xF0, 0x02, 0xF8, 0xFE, 0xE7};
    AssemblyProgram program(EXE_ELF_32_ARM);
    ASSERT_TRUE(program.EmitOriginInstruction(0x8000));
    // Label 0x100 is referenced five times (trimmed), 0x200 six times (kept).
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(program.EmitRel32ARM(0x3000, program.FindOrMakeRel32Label(0x100), image, 4));
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(program.EmitRel32ARM(0x2000, program.FindOrMakeRel32Label(0x200), image + 4, 2));
    ASSERT_TRUE(program.EmitAbs32(program.FindOrMakeLabel(0x50)));
    program.DefaultAssignIndexes();

    ASSERT_EQ(TrimLabels(&program), C_OK);
    EXPECT_EQ(log.messages, std::vector<std::string>{"TrimLabels: threshold 5"});
    ASSERT_EQ(program.rel32_labels().size(), 1u);
    EXPECT_EQ(program.rel32_labels().at(0x200).index, 1);
    EXPECT_EQ(program.abs32_labels().size(), 1u);
    std::size_t runs = 0;
    for (std::size_t i = 0; i < program.instructions().size(); ++i) {
        const Instruction* instruction = program.instructions()[i];
        if (instruction->kind() == InstructionKind::MULTIPLE_BYTES) {
            ++runs;
            EXPECT_EQ(static_cast<const MultipleBytesInstruction*>(instruction)->bytes(), image);
            EXPECT_EQ(static_cast<const MultipleBytesInstruction*>(instruction)->count(), 4u);
        }
    }
    EXPECT_EQ(runs, 5u);

    const std::unique_ptr<EncodedProgram> encoded = encode(&program);
    ASSERT_TRUE(encoded);
    // Index 0 was removed; EndLabels fills it with the value before it (0 for the first).
    EXPECT_EQ(listOf(encoded->rel32_rva()), (std::vector<uint32_t>{0, 0x200}));
    EXPECT_EQ(listOf(encoded->rel32_ix()), std::vector<uint32_t>(6, 1));
    EXPECT_EQ(encoded->copy_bytes().size(), 20u);
}

TEST(AssemblyProgram, TrimmingFailsWithoutFreeingWhatIsStillReferenced)
{
    const uint8_t image[] = {0, 0, 0, 0};
    AssemblyProgram zeroSize(EXE_ELF_32_ARM);
    ASSERT_TRUE(zeroSize.EmitRel32ARM(0x3000, zeroSize.FindOrMakeRel32Label(0x100), image, 0));
    zeroSize.DefaultAssignIndexes();
    EXPECT_EQ(TrimLabels(&zeroSize), C_TRIM_FAILED);
    // The label is still there for the instruction that refers to it.
    EXPECT_EQ(zeroSize.rel32_labels().size(), 1u);

    // A plain rel32 reference cannot turn back into bytes, so its label cannot go.
    AssemblyProgram mixed(EXE_ELF_32_ARM);
    ASSERT_TRUE(mixed.EmitRel32ARM(0x3000, mixed.FindOrMakeRel32Label(0x100), image, 4));
    ASSERT_TRUE(mixed.EmitRel32(mixed.FindOrMakeRel32Label(0x100)));
    mixed.DefaultAssignIndexes();
    EXPECT_EQ(TrimLabels(&mixed), C_TRIM_FAILED);
    ASSERT_EQ(mixed.rel32_labels().size(), 1u);
    EXPECT_TRUE(encode(&mixed));
}

TEST(AssemblyProgram, UnnumberedLabelsAreNotEncoded)
{
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(program.EmitAbs32(program.FindOrMakeLabel(0x10)));
    EncodedProgram* encoded = reinterpret_cast<EncodedProgram*>(1);
    EXPECT_EQ(EncodeProgram(&program, &encoded), C_GENERAL_ERROR);
    EXPECT_EQ(encoded, nullptr);
}
