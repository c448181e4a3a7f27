// The ELF disassemblers on small images built here, for the rules and faults real files do not
// show, and on truncated and corrupted real files.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "executablechain.h"
#include "littleendian.h"
#include "status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace vlpatch;

namespace {

ByteVector words(std::initializer_list<uint32_t> values)
{
    ByteVector b(4 * values.size());
    std::size_t at = 0;
    for (uint32_t v : values) {
        put32(&b, at, v);
        at += 4;
    }
    return b;
}

struct SectionPlan {
    uint32_t type;
    ByteVector data;
    uint32_t entsize = 0;
    // Placement: after the previous section (0), or this file offset; NOBITS sections may
    // also claim a size their data does not have.
    uint32_t offset = 0;
    uint32_t size = 0xFFFFFFFF;
};

// An ELF32 image: header, one PT_LOAD mapping file offset x to RVA x for the first loadSize
// bytes (the whole file by default), the sections from offset 0x100, then the section table,
// unless sectionTableFirst puts it right after the program header.
struct Elf32Image {
    uint16_t machine = 3;
    std::vector<SectionPlan> sections;
    uint32_t loadSize = 0;
    bool sectionTableFirst = false;
    std::size_t trailing = 0;
};

constexpr uint32_t kFirstSection = 0x100;
constexpr uint32_t kPtLoad = 1;

ByteVector buildElf32(const Elf32Image& plan, std::vector<uint32_t>* offsets = nullptr)
{
    const std::size_t tableSize = 40 * (plan.sections.size() + 1);
    uint32_t pos = kFirstSection + (plan.sectionTableFirst ? uint32_t(tableSize) : 0);
    std::vector<uint32_t> placed;
    uint32_t dataEnd = pos;
    for (const SectionPlan& s : plan.sections) {
        const uint32_t at = s.offset ? s.offset : pos;
        placed.push_back(at);
        if (s.type != 8) {
            pos = at + uint32_t(s.data.size());
            dataEnd = std::max(dataEnd, pos);
        }
    }
    const uint32_t tableOffset = plan.sectionTableFirst ? kFirstSection : (dataEnd + 3) & ~3u;
    ByteVector b(std::max<std::size_t>(dataEnd, tableOffset + (plan.sectionTableFirst ? 0 : tableSize)), 0);
    std::memcpy(b.data(), "\x7F" "ELF\x01\x01\x01", 7);
    put16(&b, 16, 3);
    put16(&b, 18, plan.machine);
    put32(&b, 20, 1);
    put32(&b, 28, 52);
    put32(&b, 32, tableOffset);
    put16(&b, 40, 52);
    put16(&b, 42, 32);
    put16(&b, 44, 1);
    put16(&b, 46, 40);
    put16(&b, 48, uint32_t(plan.sections.size() + 1));
    const uint32_t loadSize = plan.loadSize ? plan.loadSize : uint32_t(b.size());
    put32(&b, 52, kPtLoad);
    put32(&b, 52 + 16, loadSize);
    put32(&b, 52 + 20, loadSize);
    for (std::size_t i = 0; i < plan.sections.size(); ++i) {
        const SectionPlan& s = plan.sections[i];
        if (s.type != 8)
            std::copy(s.data.begin(), s.data.end(), b.begin() + placed[i]);
        const std::size_t header = tableOffset + 40 * (i + 1);
        put32(&b, header + 4, s.type);
        put32(&b, header + 12, placed[i]);
        put32(&b, header + 16, placed[i]);
        put32(&b, header + 20, s.size != 0xFFFFFFFF ? s.size : uint32_t(s.data.size()));
        put32(&b, header + 36, s.entsize);
    }
    b.resize(b.size() + plan.trailing, 0xCC);
    if (offsets)
        *offsets = placed;
    return b;
}

// A PROGBITS section of `size` bytes of 0x90 (no candidate for any scan).
ByteVector filler(std::size_t size)
{
    return ByteVector(size, 0x90);
}

struct Disassembled {
    std::unique_ptr<Disassembler> disassembler;
    std::unique_ptr<AssemblyProgram> program;
    bool ok = false;
};

template <class T>
Disassembled disassemble(const ByteVector& image)
{
    Disassembled d;
    d.disassembler.reset(new T(image.data(), image.size()));
    d.program.reset(new AssemblyProgram(d.disassembler->kind()));
    d.ok = d.disassembler->ParseHeader() && d.disassembler->Disassemble(d.program.get());
    return d;
}

std::size_t countKind(const AssemblyProgram& program, InstructionKind kind)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < program.instructions().size(); ++i)
        n += program.instructions()[i]->kind() == kind;
    return n;
}

void expectChainReproduces(const ByteVector& image)
{
    const ChainResult chain = runChain(image);
    ASSERT_EQ(chain.status, C_OK);
    EXPECT_EQ(chain.assembled, image);
}

} // namespace

TEST(ElfHeader, ChecksInOrderWithTheirReasons)
{
    Elf32Image plan;
    plan.sections.push_back({1, filler(16)});
    const ByteVector good = buildElf32(plan);
    auto reason = [](const ByteVector& image) {
        DisassemblerElf32X86 elf(image.data(), image.size());
        elf.ParseHeader();
        return std::string(elf.failure_reason() ? elf.failure_reason() : "accepted");
    };
    EXPECT_EQ(reason(good), "accepted");
    EXPECT_EQ(reason(ByteVector(good.begin(), good.begin() + 51)), "Too small");
    ByteVector bad = good;
    bad[3] = 'G';
    EXPECT_EQ(reason(bad), "No Magic Number");
    bad = good;
    put16(&bad, 16, 1);
    EXPECT_EQ(reason(bad), "Not an executable file or shared library");
    put16(&bad, 16, 2);
    EXPECT_EQ(reason(bad), "accepted");
    bad = good;
    put16(&bad, 18, 40);
    EXPECT_EQ(reason(bad), "Not a supported architecture");
    bad = good;
    put32(&bad, 20, 2);
    EXPECT_EQ(reason(bad), "Unknown file version");
    bad = good;
    put16(&bad, 46, 64);
    EXPECT_EQ(reason(bad), "Unexpected section header size");
    bad = good;
    put32(&bad, 32, uint32_t(good.size()));
    EXPECT_EQ(reason(bad), "Out of bounds section header table offset");
    bad = good;
    put16(&bad, 48, 0xFFFF);
    EXPECT_EQ(reason(bad), "Out of bounds section header table");
    bad = good;
    put32(&bad, 28, uint32_t(good.size()) + 4);
    EXPECT_EQ(reason(bad), "Out of bounds program header table offset");
    bad = good;
    put16(&bad, 44, 0xFFFF);
    EXPECT_EQ(reason(bad), "Out of bounds program header table");

    // The bound counts entries, not bytes: a table that passes it but runs past the end is
    // refused before it is read.
    bad = good;
    put16(&bad, 48, 50);
    EXPECT_EQ(reason(bad), "section header table outside image");
    bad = good;
    put16(&bad, 44, 100);
    put32(&bad, 28, uint32_t(good.size()) - 200);
    EXPECT_EQ(reason(bad), "program header table outside image");
}

TEST(ElfHeader, TableEndingAtTheFileEndIsAcceptedAndTrailingBytesAreCutOff)
{
    Elf32Image plan;
    plan.sections.push_back({1, filler(40)});
    plan.trailing = 300;
    const ByteVector image = buildElf32(plan);
    ExecutableType type;
    std::size_t length;
    ASSERT_EQ(DetectExecutableType(image.data(), image.size(), &type, &length), C_OK);
    EXPECT_EQ(type, EXE_ELF_32_X86);
    EXPECT_EQ(length, image.size() - 300);
    ASSERT_EQ(DetectExecutableType(image.data(), length, &type, &length), C_OK);
    EXPECT_EQ(length, image.size() - 300);

    // The same bytes tagged ARM or x86-64 go to the other readers.
    ByteVector arm = image;
    put16(&arm, 18, 40);
    ASSERT_EQ(DetectExecutableType(arm.data(), arm.size(), &type, &length), C_OK);
    EXPECT_EQ(type, EXE_ELF_32_ARM);
    ByteVector x32 = image;
    put16(&x32, 18, 62);
    EXPECT_EQ(DetectExecutableType(x32.data(), x32.size(), &type, &length), C_INPUT_NOT_RECOGNIZED);
}

TEST(ElfX86, RelocationSectionMatchingTheAbs32ListIsRebuilt)
{
    // Data words at 0x100 and 0x104 point into the image; .rel.dyn lists them in order, then a
    // symbol relocation that stays as bytes.
    Elf32Image plan;
    plan.sections.push_back({1, words({0x110, 0x104, 0x90909090, 0x90909090, 0x90909090})});
    plan.sections.push_back({9, words({0x100, 8, 0x104, 8, 0x108, 0x101}), 8});
    const ByteVector image = buildElf32(plan);
    Disassembled d = disassemble<DisassemblerElf32X86>(image);
    ASSERT_TRUE(d.ok);
    const auto& abs32 = static_cast<DisassemblerElf32X86&>(*d.disassembler).abs32_locations();
    ASSERT_EQ(abs32.size(), 2u); // r_info 0x108 (type 8 with a symbol) is not relative
    EXPECT_EQ(countKind(*d.program, InstructionKind::ELF_MAKE_RELOCS), 1u);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ABS32), 2u);
    expectChainReproduces(image);

    // One entry out of order: the whole section stays raw, the words are still abs32.
    plan.sections[1].data = words({0x104, 8, 0x100, 8, 0x108, 0x101});
    const ByteVector swapped = buildElf32(plan);
    d = disassemble<DisassemblerElf32X86>(swapped);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ELF_MAKE_RELOCS), 0u);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ABS32), 2u);
    expectChainReproduces(swapped);

    // sh_entsize 4 claims three entries in 12 bytes; only the one 8-byte entry that lies in
    // the section is read, and the rest after it stays inside the section.
    plan.sections[1].data = words({0x100, 8, 0x90909090});
    plan.sections[1].entsize = 4;
    const ByteVector narrow = buildElf32(plan);
    d = disassemble<DisassemblerElf32X86>(narrow);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ELF_MAKE_RELOCS), 1u);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ABS32), 1u);
    expectChainReproduces(narrow);

    // sh_entsize 0 gives no entries: no abs32 locations, no division.
    plan.sections[1].entsize = 0;
    d = disassemble<DisassemblerElf32X86>(buildElf32(plan));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ABS32), 0u);
}

TEST(ElfX86, CallsBecomeRel32OnlyWithTargetsInALoadSegment)
{
    // call +0 (target in the segment), jmp far past it, je into it, and 0F 8A never a candidate.
    ByteVector code = {0xE8, 0, 0, 0, 0, 0xE9, 0, 0, 0, 0x40, 0x0F, 0x84, 0xF0, 0xFF, 0xFF, 0xFF,
                       0x0F, 0x8A, 0, 0, 0, 0, 0x90, 0x90};
    Elf32Image plan;
    plan.sections.push_back({1, code});
    const ByteVector image = buildElf32(plan);
    Disassembled d = disassemble<DisassemblerElf32X86>(image);
    ASSERT_TRUE(d.ok);
    const auto& sites = static_cast<DisassemblerElf32X86&>(*d.disassembler).rel32_locations();
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(sites[0]->rva(), kFirstSection + 1);
    EXPECT_EQ(sites[1]->rva(), kFirstSection + 12);
    expectChainReproduces(image);

    // x86-64 also takes RIP-relative operands: lea rax, [rip + 0] and call [rip + 0].
    ByteVector code64 = {0x48, 0x8D, 0x05, 0, 0, 0, 0, 0xFF, 0x15, 0, 0, 0, 0, 0x90};
    ByteVector image64(0x200, 0);
    std::memcpy(image64.data(), "\x7F" "ELF\x02\x01\x01", 7);
    put16(&image64, 16, 3);
    put16(&image64, 18, 62);
    put32(&image64, 20, 1);
    put32(&image64, 32, 64); // e_phoff
    put32(&image64, 40, 0x100); // e_shoff
    put16(&image64, 56, 1);
    put16(&image64, 58, 64);
    put16(&image64, 60, 2);
    put32(&image64, 64, kPtLoad);
    put32(&image64, 64 + 32, 0x200); // p_filesz
    put32(&image64, 64 + 40, 0x200); // p_memsz
    put32(&image64, 0x140 + 4, 1);
    put32(&image64, 0x140 + 16, 0x180);
    put32(&image64, 0x140 + 24, 0x180);
    put32(&image64, 0x140 + 32, uint32_t(code64.size()));
    std::copy(code64.begin(), code64.end(), image64.begin() + 0x180);
    Disassembled d64 = disassemble<DisassemblerElf64X64>(image64);
    ASSERT_TRUE(d64.ok);
    ASSERT_EQ(static_cast<DisassemblerElf64X64&>(*d64.disassembler).rel32_locations().size(), 2u);
    expectChainReproduces(image64);
}

TEST(ElfX86, BytesTheImageDoesNotHoldFailTheDisassembly)
{
    // A NOBITS section whose offset lies past the image: the gap before it cannot be emitted.
    Elf32Image plan;
    plan.sections.push_back({1, filler(32)});
    plan.sections.push_back({8, {}, 0, 0x4000, 0x100});
    ByteVector image = buildElf32(plan);
    AssemblyProgram* program = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(image.data(), image.size(), &program), C_DISASSEMBLY_FAILED);

    // One past the detected length but inside the image: the last run would start past the end.
    plan.sections.back().offset = 0;
    plan.trailing = 64;
    std::vector<uint32_t> offsets;
    image = buildElf32(plan, &offsets);
    const std::size_t nobitsHeader = ((offsets[0] + 32 + 3) & ~3u) + 40 * 2;
    put32(&image, nobitsHeader + 16, uint32_t(image.size()) - 8);
    EXPECT_EQ(ParseDetectedExecutable(image.data(), image.size(), &program), C_DISASSEMBLY_FAILED);

    // An abs32 location in the last two bytes of the image: its word is not there.
    Elf32Image tail;
    tail.sectionTableFirst = true;
    tail.sections.push_back({9, words({0, 8}), 8});
    tail.sections.push_back({1, filler(6)});
    image = buildElf32(tail, &offsets);
    put32(&image, offsets[0], uint32_t(image.size()) - 2);
    EXPECT_EQ(ParseDetectedExecutable(image.data(), image.size(), &program), C_DISASSEMBLY_FAILED);
    EXPECT_EQ(program, nullptr);
}

TEST(ElfArm, CompressBranchGivesTheOffsetFromTheOp)
{
    uint16_t c;
    uint32_t a;
    // Branches to themselves: Thumb B, ARM B, Thumb-2 BL, Thumb B<cond>, Thumb-2 B<cond>.W.
    ASSERT_TRUE(CompressBranch(ARM_OFF11, 0xE7FE, 0x1000, &c, &a));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(c, 0x201C);
    ASSERT_TRUE(CompressBranch(ARM_OFF24, 0xEAFFFFFE, 0x1000, &c, &a));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(c, 0x30EA);
    ASSERT_TRUE(CompressBranch(ARM_OFF25, 0xF7FFFFFE, 0x1000, &c, &a));
    EXPECT_EQ(a, 0u);
    ASSERT_TRUE(CompressBranch(ARM_OFF8, 0xD0FE, 0x1000, &c, &a));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(c, 0x10D0);
    ASSERT_TRUE(CompressBranch(ARM_OFF21, 0xF43FAFFE, 0x1000, &c, &a));
    EXPECT_EQ(a, 0u);
    // bl +0x100 and a BLX from a half-word aligned op, which counts from 2.
    ASSERT_TRUE(CompressBranch(ARM_OFF25, 0xF000F87E, 0x1000, &c, &a));
    EXPECT_EQ(a, 0x100u);
    ASSERT_TRUE(CompressBranch(ARM_OFF25, 0xF000E87E, 0x1002, &c, &a));
    EXPECT_EQ((c >> 8) & 15, 2);
    EXPECT_FALSE(CompressBranch(5, 0, 0, &c, &a));
}

TEST(ElfArm, Thumb2BranchesCountFromWhereTheyLand)
{
    // A BLX lands on a 4-byte boundary: from a half-word aligned op its offset counts from 2,
    // from an aligned one from 4 like BL and B.W. The offset is kept in the compressed op, so
    // the bytes of stored patches depend on it.
    const struct {
        const char* form;
        uint32_t op;
        uint32_t rva;
        uint32_t target;
        uint16_t compressed;
    } cases[] = {
        {"bl, aligned", 0xF000F87E, 0x1000, 0x1100, 0x44F7},
        {"bl, half-word aligned", 0xF000F87E, 0x1002, 0x1102, 0x44F7},
        {"b.w, half-word aligned", 0xF000B87E, 0x1002, 0x1102, 0x44F5},
        {"blx, aligned", 0xF000E87E, 0x1000, 0x1100, 0x44F6},
        {"blx, half-word aligned", 0xF000E87E, 0x1002, 0x1100, 0x42F6},
        {"blx backwards, aligned", 0xF7FFEFFE, 0x1000, 0x1000, 0x44F6},
        {"blx backwards, half-word aligned", 0xF7FFEFFE, 0x1002, 0x1000, 0x42F6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        uint16_t compressed = 0;
        uint32_t relative = 0;
        ASSERT_TRUE(CompressBranch(ARM_OFF25, c.op, c.rva, &compressed, &relative));
        EXPECT_EQ(c.rva + relative, c.target);
        EXPECT_EQ(compressed, c.compressed);
    }
}

TEST(ElfArm, AnAbs32UpToThreeBytesAfterABranchWinsOverIt)
{
    // A Thumb-2 BL at 0x100 and a relocated word `distance` bytes after it, as in a literal
    // pool right behind a call. From 4 bytes on both are kept; closer, only the word.
    const struct {
        uint32_t distance;
        std::vector<InstructionKind> kept;
    } cases[] = {
        {0, {InstructionKind::ABS32}},
        {2, {InstructionKind::ABS32}},
        {3, {InstructionKind::ABS32}},
        {4, {InstructionKind::REL32_ARM, InstructionKind::ABS32}},
        {5, {InstructionKind::REL32_ARM, InstructionKind::ABS32}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.distance);
        ByteVector code(16, 0);
        const uint8_t bl[] = {0x00, 0xF0, 0x00, 0xF8}; // bl 0x104
        std::copy(bl, bl + 4, code.begin());
        Elf32Image plan;
        plan.machine = 40;
        plan.sections.push_back({1, code});
        plan.sections.push_back({9, words({kFirstSection + c.distance, 23}), 8});
        const ByteVector image = buildElf32(plan);
        Disassembled d = disassemble<DisassemblerElf32ARM>(image);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(static_cast<DisassemblerElf32ARM&>(*d.disassembler).rel32_locations().size(), 1u);
        std::vector<InstructionKind> kept;
        for (std::size_t i = 0; i < d.program->instructions().size(); ++i) {
            const InstructionKind kind = d.program->instructions()[i]->kind();
            if (kind == InstructionKind::REL32_ARM || kind == InstructionKind::ABS32)
                kept.push_back(kind);
        }
        EXPECT_EQ(kept, c.kept);
        expectChainReproduces(image);
    }
}

TEST(ElfArm, ScanRulesAndBranchesSurviveTheChain)
{
    // Seven Thumb-2 BLs to one target keep their label through trimming; a Thumb B in the
    // section's last two bytes is not taken.
    ByteVector code;
    for (int i = 0; i < 7; ++i) {
        const uint32_t distance = uint32_t(0x40 - 4 * i - 4) >> 1;
        const uint32_t op = 0xF000F800 | ((distance >> 11) << 16) | (distance & 0x7FF);
        code.push_back(uint8_t(op >> 16));
        code.push_back(uint8_t(op >> 24));
        code.push_back(uint8_t(op));
        code.push_back(uint8_t(op >> 8));
    }
    while (code.size() < 0x40)
        code.push_back(0);
    code.push_back(0xFE);
    code.push_back(0xE7);
    Elf32Image plan;
    plan.machine = 40;
    plan.sections.push_back({1, code});
    const ByteVector image = buildElf32(plan);
    Disassembled d = disassemble<DisassemblerElf32ARM>(image);
    ASSERT_TRUE(d.ok);
    const auto& sites = static_cast<DisassemblerElf32ARM&>(*d.disassembler).rel32_locations();
    ASSERT_EQ(sites.size(), 7u);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        EXPECT_EQ(static_cast<const TypedRVAARM*>(sites[i])->branch_kind(), uint32_t(ARM_OFF25));
        EXPECT_EQ(sites[i]->rva() + sites[i]->relative_target(), kFirstSection + 0x40);
    }
    ASSERT_EQ(TrimLabels(d.program.get()), C_OK);
    EXPECT_EQ(d.program->rel32_labels().size(), 1u);
    expectChainReproduces(image);
}

TEST(ElfArm, ArmWordsAreLookedForOnlyWhereTheAlignmentFlagAllows)
{
    auto sitesOf = [](const ByteVector& code) {
        Elf32Image plan;
        plan.machine = 40;
        plan.sections.push_back({1, code});
        const ByteVector image = buildElf32(plan);
        Disassembled d = disassemble<DisassemblerElf32ARM>(image);
        EXPECT_TRUE(d.ok);
        std::vector<uint32_t> kinds;
        const auto& sites = static_cast<DisassemblerElf32ARM&>(*d.disassembler).rel32_locations();
        for (std::size_t i = 0; i < sites.size(); ++i)
            kinds.push_back(static_cast<const TypedRVAARM*>(sites[i])->branch_kind());
        return kinds;
    };
    const ByteVector armBl = {0x00, 0x00, 0x00, 0xEB}; // bl +8
    const ByteVector padding(8, 0);
    ByteVector aligned = armBl;
    aligned.insert(aligned.end(), padding.begin(), padding.end());
    EXPECT_EQ(sitesOf(aligned), std::vector<uint32_t>{ARM_OFF24});
    // After a half-word without a hit the flag is 0: the same word is not looked at.
    ByteVector afterMiss = {0x00, 0x00};
    afterMiss.insert(afterMiss.end(), aligned.begin(), aligned.end());
    EXPECT_EQ(sitesOf(afterMiss), std::vector<uint32_t>{});
    // After a Thumb hit the flag is 1 again.
    ByteVector afterThumb = {0x00, 0xE0}; // b +4
    afterThumb.insert(afterThumb.end(), aligned.begin(), aligned.end());
    EXPECT_EQ(sitesOf(afterThumb), (std::vector<uint32_t>{ARM_OFF11, ARM_OFF24}));
}

TEST(ElfArm, RelocationRunsAreClampedToTheirSection)
{
    // .rel.dyn holds the one relative relocation; .rel.plt has one entry that matches nothing,
    // so the match is looked for past its end: nothing is dropped and nothing runs past it.
    Elf32Image plan;
    plan.machine = 40;
    plan.sections.push_back({1, words({0x108, 0, 0, 0})});
    plan.sections.push_back({9, words({0x100, 23}), 8});
    plan.sections.push_back({9, words({0x104, 0x116}), 8});
    const ByteVector image = buildElf32(plan);
    Disassembled d = disassemble<DisassemblerElf32ARM>(image);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(countKind(*d.program, InstructionKind::ELF_ARM_MAKE_RELOCS), 1u);
    expectChainReproduces(image);

    // A run of relative entries broken by another entry: the matched entry and the mismatching
    // one are dropped from the output.
    plan.sections[0].data = words({0x108, 0x10C, 0, 0});
    plan.sections[1].data = words({0x100, 23, 0x100, 0x116, 0x104, 23});
    std::vector<uint32_t> offsets;
    const ByteVector broken = buildElf32(plan, &offsets);
    const ChainResult chain = runChain(broken);
    ASSERT_EQ(chain.status, C_OK);
    ByteVector expected(broken.begin(), broken.begin() + offsets[1]);
    expected.insert(expected.end(), broken.begin() + offsets[1] + 16, broken.end());
    EXPECT_EQ(chain.assembled, expected);
}

TEST(ElfRobustness, SectionsOverlappingOverAndOverAreRefused)
{
    // Forty PROGBITS sections over the same bytes would be scanned forty times over.
    Elf32Image plan;
    ByteVector calls;
    for (int i = 0; i < 200; ++i)
        calls.insert(calls.end(), {0xE8, 0, 0, 0, 0});
    plan.sections.push_back({1, calls});
    std::vector<uint32_t> offsets;
    for (int i = 0; i < 40; ++i)
        plan.sections.push_back({1, {}, 0, kFirstSection, uint32_t(calls.size())});
    const ByteVector image = buildElf32(plan, &offsets);
    AssemblyProgram* program = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(image.data(), image.size(), &program), C_DISASSEMBLY_FAILED);

    // Two are still taken, the bytes going out twice.
    plan.sections.resize(2);
    const ChainResult chain = runChain(buildElf32(plan));
    ASSERT_EQ(chain.status, C_OK);
    EXPECT_EQ(chain.assembled.size(), buildElf32(plan).size() + calls.size());
}

namespace {

void expectStatusOnly(const ByteVector& bytes)
{
    AssemblyProgram* program = nullptr;
    const int status = ParseDetectedExecutable(bytes.data(), bytes.size(), &program);
    ASSERT_TRUE(status == C_OK || status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED) << status;
    ASSERT_EQ(status == C_OK, program != nullptr);
    if (program) {
        EXPECT_EQ(TrimLabels(program), C_OK);
        DeleteAssemblyProgram(program);
    }
}

} // namespace

TEST(ElfRobustness, TruncatedAndCorruptedRealFilesGiveAStatus)
{
    for (const char* path : {"/usr/arm-linux-gnueabihf/lib/libdl.so.2", "/usr/arm-linux-gnueabi/lib/libdl.so.2",
                             "/usr/lib32/libdl.so.2"}) {
        SCOPED_TRACE(path);
        const ByteVector bytes = readBytes(path);
        ASSERT_GT(bytes.size(), 1000u);
        for (std::size_t size = 0; size <= bytes.size(); ++size)
            expectStatusOnly(ByteVector(bytes.begin(), bytes.begin() + size));

        std::mt19937 random(12345);
        for (int round = 0; round < 1500; ++round) {
            ByteVector flipped = bytes;
            const int flips = 1 + int(random() % 8);
            for (int i = 0; i < flips; ++i) {
                // Mostly in the headers and tables, where a flip changes the most.
                const std::size_t at = random() % 2 ? random() % 256 : random() % flipped.size();
                flipped[at] ^= uint8_t(1u << (random() % 8));
            }
            expectStatusOnly(flipped);
        }
    }
}
