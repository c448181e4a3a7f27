// The PE disassemblers on small images built here, for the cases real DLLs do not show, and on
// truncated and corrupted real DLLs.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerwin32.h"
#include "executablechain.h"
#include "littleendian.h"
#include "logcapture.h"
#include "scratchdir.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>

using namespace vlpatch;

namespace {

struct SectionPlan {
    std::string name;
    uint32_t va;
    ByteVector raw;
    uint32_t virtualSize = 0; // 0: the raw size
};

// A PE image with the given sections laid out one after another from offset 0x200.
struct PeImage {
    bool plus = false;
    uint32_t peOffset = 0x40;
    uint64_t imageBase = 0x400000;
    uint32_t sizeOfImage = 0x10000;
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
    std::vector<SectionPlan> sections;
};

constexpr std::size_t kFirstRaw = 0x200;

std::size_t sectionHeaderOffset(const PeImage& plan, std::size_t i)
{
    return plan.peOffset + 24 + (plan.plus ? 240 : 224) + 40 * i;
}

ByteVector buildPe(const PeImage& plan)
{
    const std::size_t firstRaw = std::max(kFirstRaw, sectionHeaderOffset(plan, plan.sections.size()));
    ByteVector b(firstRaw, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(&b, 60, plan.peOffset);
    const std::size_t pe = plan.peOffset;
    std::memcpy(&b[pe], "PE\0\0", 4);
    put16(&b, pe + 4, plan.plus ? 0x8664 : 0x14C);
    put16(&b, pe + 6, uint32_t(plan.sections.size()));
    const uint32_t optionalSize = plan.plus ? 240 : 224;
    put16(&b, pe + 20, optionalSize);
    const std::size_t opt = pe + 24;
    put16(&b, opt, plan.plus ? 0x20B : 0x10B);
    if (plan.plus) {
        put32(&b, opt + 24, uint32_t(plan.imageBase));
        put32(&b, opt + 28, uint32_t(plan.imageBase >> 32));
        put32(&b, opt + 108, 16);
    } else {
        put32(&b, opt + 28, uint32_t(plan.imageBase));
        put32(&b, opt + 92, 16);
    }
    put32(&b, opt + 56, plan.sizeOfImage);
    const std::size_t directories = opt + (plan.plus ? 112 : 96);
    put32(&b, directories + 8 * 5, plan.relocRva);
    put32(&b, directories + 8 * 5 + 4, plan.relocSize);

    std::size_t raw = firstRaw;
    for (std::size_t i = 0; i < plan.sections.size(); ++i) {
        const SectionPlan& s = plan.sections[i];
        const std::size_t h = sectionHeaderOffset(plan, i);
        std::memcpy(&b[h], s.name.c_str(), std::min<std::size_t>(8, s.name.size()));
        put32(&b, h + 8, s.virtualSize ? s.virtualSize : uint32_t(s.raw.size()));
        put32(&b, h + 12, s.va);
        put32(&b, h + 16, uint32_t(s.raw.size()));
        put32(&b, h + 20, s.raw.empty() ? 0 : uint32_t(raw));
        b.insert(b.end(), s.raw.begin(), s.raw.end());
        raw += s.raw.size();
    }
    return b;
}

ByteVector relocBlock(uint32_t page, const std::vector<uint16_t>& entries)
{
    ByteVector b(8 + 2 * entries.size());
    put32(&b, 0, page);
    put32(&b, 4, uint32_t(b.size()));
    for (std::size_t i = 0; i < entries.size(); ++i)
        put16(&b, 8 + 2 * i, entries[i]);
    return b;
}

std::vector<uint32_t> listOf(const DisassemblerWin32::RVABuffer& buffer)
{
    return std::vector<uint32_t>(buffer.data(), buffer.data() + buffer.size());
}

// A .text section at 0x1000 and a .data section at 0x2000 with one relocated word, the
// relocation table in .reloc at 0x3000.
PeImage samplePlan(bool plus, const ByteVector& text)
{
    PeImage plan;
    plan.plus = plus;
    ByteVector data(16, 0);
    put32(&data, 4, 0x401000); // a pointer to the start of .text
    plan.sections.push_back({".text", 0x1000, text});
    plan.sections.push_back({".data", 0x2000, data});
    ByteVector relocs = relocBlock(0x2000, {uint16_t((plus ? 0xA000 : 0x3000) | 4), 0});
    plan.relocRva = 0x3000;
    plan.relocSize = uint32_t(relocs.size());
    plan.sections.push_back({".reloc", 0x3000, relocs});
    return plan;
}

template <typename T>
std::unique_ptr<T> parsed(const ByteVector& bytes)
{
    auto d = std::make_unique<T>(bytes.data(), bytes.size());
    d->ParseHeader();
    return d;
}

// Where the PE32+ or the PE32 disassembler finds rel32 operands in `bytes`.
std::vector<uint32_t> rel32LocationsOf(const ByteVector& bytes, bool plus)
{
    std::unique_ptr<DisassemblerWin32> pe;
    if (plus)
        pe = parsed<DisassemblerWin32X64>(bytes);
    else
        pe = parsed<DisassemblerWin32X86>(bytes);
    AssemblyProgram program(pe->kind());
    EXPECT_TRUE(pe->Disassemble(&program));
    return listOf(pe->rel32_locations());
}

} // namespace

TEST(PeHeader, ChecksInOrderWithTheirReasons)
{
    const ByteVector good = buildPe(samplePlan(false, ByteVector(16, 0x90)));
    EXPECT_TRUE(parsed<DisassemblerWin32X86>(good)->ok());

    PeImage misaligned = samplePlan(false, ByteVector(16, 0x90));
    misaligned.peOffset = 0x44;
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(buildPe(misaligned))->failure_reason(), "Misaligned PE header");

    EXPECT_STREQ(parsed<DisassemblerWin32X86>(ByteVector(good.begin(), good.begin() + 63))->failure_reason(),
                 "Too small");
    ByteVector notMz = good;
    notMz[1] = 'X';
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(notMz)->failure_reason(), "Not MZ");
    ByteVector farPe = good;
    put32(&farPe, 60, uint32_t(good.size() - 24));
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(farPe)->failure_reason(), "Bad offset to PE header");
    ByteVector noSignature = good;
    noSignature[0x41] = 'F';
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(noSignature)->failure_reason(), "no PE signature");
    ByteVector badMagic = good;
    put16(&badMagic, 0x58, 0x107);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(badMagic)->failure_reason(), "unrecognized magic");
    ByteVector shortOptional = good;
    put16(&shortOptional, 0x54, 94);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(shortOptional)->failure_reason(), "optional header too short");
    ByteVector hugeDirectory = good;
    put32(&hugeDirectory, 0x58 + 96 + 8 * 2 + 4, 0x10001); // resource size above SizeOfImage
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(hugeDirectory)->failure_reason(), "malformed data directory");
}

TEST(PeHeader, TwinsSplitPe32FromPe32PlusAndNeedText)
{
    const ByteVector pe32 = buildPe(samplePlan(false, ByteVector(16, 0x90)));
    const ByteVector pe64 = buildPe(samplePlan(true, ByteVector(16, 0x90)));
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(pe64)->failure_reason(),
                 "64 bit executables are not supported by this disassembler");
    EXPECT_STREQ(parsed<DisassemblerWin32X64>(pe32)->failure_reason(),
                 "32 bit executables are not supported by this disassembler");

    ExecutableType type = EXE_UNKNOWN;
    std::size_t length = 0;
    ASSERT_EQ(DetectExecutableType(pe64.data(), pe64.size(), &type, &length), C_OK);
    EXPECT_EQ(type, EXE_WIN_32_X64);
    EXPECT_EQ(length, pe64.size());
    ByteVector withOverlay = pe32;
    withOverlay.resize(pe32.size() + 100, 0xCC);
    ASSERT_EQ(DetectExecutableType(withOverlay.data(), withOverlay.size(), &type, &length), C_OK);
    EXPECT_EQ(type, EXE_WIN_32_X86);
    EXPECT_EQ(length, pe32.size());

    PeImage noText = samplePlan(false, ByteVector(16, 0x90));
    noText.sections[0].name = ".code";
    const ByteVector resourceOnly = buildPe(noText);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(resourceOnly)->failure_reason(),
                 "Resource-only executables are not yet supported");
    AssemblyProgram* program = reinterpret_cast<AssemblyProgram*>(1);
    EXPECT_EQ(ParseDetectedExecutable(resourceOnly.data(), resourceOnly.size(), &program), C_INPUT_NOT_RECOGNIZED);
    EXPECT_EQ(program, nullptr);
    EXPECT_EQ(DetectExecutableType(resourceOnly.data(), resourceOnly.size(), &type, &length), C_INPUT_NOT_RECOGNIZED);
    EXPECT_EQ(type, EXE_UNKNOWN);
    EXPECT_EQ(length, 0u);

    // A disassembler whose header was refused does not disassemble.
    AssemblyProgram refused(EXE_WIN_32_X86);
    EXPECT_FALSE(parsed<DisassemblerWin32X86>(pe64)->Disassemble(&refused));
    EXPECT_EQ(refused.instructions().size(), 0u);
}

TEST(PeHeader, SectionsOutsideTheImageAreRefusedWithoutWrapping)
{
    const PeImage plan = samplePlan(false, ByteVector(16, 0x90));
    ByteVector wrapped = buildPe(plan);
    // Raw data at 0xFFFFFF00 for 0x200 bytes: a 32-bit sum would come out as 0x100.
    put32(&wrapped, sectionHeaderOffset(plan, 1) + 16, 0x200);
    put32(&wrapped, sectionHeaderOffset(plan, 1) + 20, 0xFFFFFF00);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(wrapped)->failure_reason(), "section outside image");

    ByteVector pastEnd = buildPe(plan);
    put32(&pastEnd, sectionHeaderOffset(plan, 2) + 16, 0x1000);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(pastEnd)->failure_reason(), "section outside image");

    ByteVector manySections = buildPe(plan);
    put16(&manySections, 0x46, 0xFFFF);
    EXPECT_STREQ(parsed<DisassemblerWin32X86>(manySections)->failure_reason(), "section table outside image");

    AssemblyProgram* program = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(wrapped.data(), wrapped.size(), &program), C_INPUT_NOT_RECOGNIZED);
}

TEST(PeRelocs, BlocksAndEntryTypes)
{
    // Padding entries (type 0) are skipped.
    const ByteVector padded = buildPe(samplePlan(false, ByteVector(16, 0x90)));
    auto pe = parsed<DisassemblerWin32X86>(padded);
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&program));
    EXPECT_EQ(listOf(pe->abs32_locations()), std::vector<uint32_t>{0x2004});

    PeImage badBlock = samplePlan(false, ByteVector(16, 0x90));
    badBlock.sections[2].raw = relocBlock(0x2000, {0x3004});
    put32(&badBlock.sections[2].raw, 4, 10);
    badBlock.relocSize = 10;
    const ByteVector badBlockBytes = buildPe(badBlock);
    pe = parsed<DisassemblerWin32X86>(badBlockBytes);
    AssemblyProgram refused(EXE_WIN_32_X86);
    EXPECT_FALSE(pe->Disassemble(&refused));
    EXPECT_STREQ(pe->failure_reason(), "unreasonable relocs block");
    AssemblyProgram* out = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(badBlockBytes.data(), badBlockBytes.size(), &out), C_DISASSEMBLY_FAILED);
    EXPECT_EQ(out, nullptr);

    PeImage dir64In32 = samplePlan(false, ByteVector(16, 0x90));
    dir64In32.sections[2].raw = relocBlock(0x2000, {0xA004, 0});
    const ByteVector dir64In32Bytes = buildPe(dir64In32);
    pe = parsed<DisassemblerWin32X86>(dir64In32Bytes);
    EXPECT_FALSE(pe->Disassemble(&refused));
    EXPECT_STREQ(pe->failure_reason(), "unknown type of reloc");

    // A block that claims more than the image holds.
    PeImage longBlock = samplePlan(false, ByteVector(16, 0x90));
    put32(&longBlock.sections[2].raw, 4, 0x100000);
    const ByteVector longBlockBytes = buildPe(longBlock);
    pe = parsed<DisassemblerWin32X86>(longBlockBytes);
    EXPECT_FALSE(pe->Disassemble(&refused));
    EXPECT_STREQ(pe->failure_reason(), ".relocs block outside image");
}

TEST(PeRelocs, DirectoryAtRvaZeroOrTwoIsReadFromTheFileStart)
{
    // RVAs 0 and 2 lie in no section but stand for the same file offsets; any other RVA outside
    // the sections has no file data.
    const struct {
        uint32_t rva;
        uint32_t size;
        const char* reason; // null: disassembled
    } cases[] = {
        {0, 8, nullptr},
        {2, 8, nullptr},
        // A longer directory makes the DOS header its first block, whose size field is 0.
        {0, 16, "unreasonable relocs block"},
        {2, 16, "unreasonable relocs block"},
        {1, 8, ".relocs outside image"},
        {3, 8, ".relocs outside image"},
        {4, 8, ".relocs outside image"},
    };
    LogCapture quiet;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rva);
        SCOPED_TRACE(c.size);
        PeImage plan = samplePlan(false, ByteVector(16, 0x90));
        plan.relocRva = c.rva;
        plan.relocSize = c.size;
        const ByteVector bytes = buildPe(plan);
        auto pe = parsed<DisassemblerWin32X86>(bytes);
        ASSERT_TRUE(pe->ok());
        AssemblyProgram program(EXE_WIN_32_X86);
        EXPECT_EQ(pe->Disassemble(&program), c.reason == nullptr);
        if (c.reason) {
            EXPECT_STREQ(pe->failure_reason(), c.reason);
        } else {
            EXPECT_TRUE(listOf(pe->abs32_locations()).empty());
        }
    }
}

TEST(PeRel32Scan, CandidatesTargetsAndOverlaps)
{
    // .text at RVA 0x1000, 0x40 bytes; .data at 0x2000.
    ByteVector text(0x40, 0x90);
    const uint8_t call[] = {0xE8, 0x0B, 0x00, 0x00, 0x00}; // 0x1000: call 0x1010
    std::memcpy(&text[0x00], call, 5);
    const uint8_t jp[] = {0x0F, 0x8A, 0x00, 0x00, 0x00, 0x00}; // 0x1005: jp, never a candidate
    std::memcpy(&text[0x05], jp, 6);
    const uint8_t je[] = {0x0F, 0x84, 0x02, 0x00, 0x00, 0x00}; // 0x100B: je 0x1013
    std::memcpy(&text[0x0B], je, 6);
    const uint8_t callOut[] = {0xE8, 0xEB, 0x0F, 0x00, 0x00}; // 0x1011: call 0x2001 (in .data)
    std::memcpy(&text[0x11], callOut, 5);
    const uint8_t callData[] = {0xFF, 0x15, 0xE8, 0x0F, 0x00, 0x00}; // 0x1016: call [rip+...] -> 0x2004
    std::memcpy(&text[0x16], callData, 6);

    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        const ByteVector bytes = buildPe(samplePlan(plus, text));
        std::vector<uint32_t> expected = {0x1001, 0x100D};
        if (plus)
            expected.push_back(0x1018); // RIP-relative forms may point outside .text
        EXPECT_EQ(rel32LocationsOf(bytes, plus), expected);
        const ChainResult chain = runChain(bytes);
        EXPECT_EQ(chain.assembled, bytes);
        EXPECT_EQ(chain.status, C_OK);
    }

    // A call whose displacement overlaps a relocated word is skipped with the word.
    PeImage overlap = samplePlan(false, ByteVector(0x20, 0x90));
    const uint8_t movAbs[] = {0xE8, 0x00, 0x10, 0x40, 0x00, 0xE8, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(&overlap.sections[0].raw[0], movAbs, sizeof movAbs);
    overlap.sections[2].raw = relocBlock(0x1000, {0x3001, 0});
    const ByteVector overlapBytes = buildPe(overlap);
    auto pe = parsed<DisassemblerWin32X86>(overlapBytes);
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&program));
    EXPECT_EQ(listOf(pe->abs32_locations()), std::vector<uint32_t>{0x1001});
    // The scan resumes behind the word, at 0x1005, whose call to 0x100A is accepted.
    EXPECT_EQ(listOf(pe->rel32_locations()), std::vector<uint32_t>{0x1006});
    ASSERT_EQ(program.abs32_labels().size(), 1u);
    EXPECT_EQ(program.abs32_labels().begin()->first, 0x1000u);
    EXPECT_EQ(runChain(overlapBytes).assembled, overlapBytes);

    // A relocated word at 0xFFE reaches 2 bytes into .text: the call at 0x1000 overlaps it and
    // the scan resumes at 0x1002, behind the word, not beyond the section.
    PeImage straddle = samplePlan(false, ByteVector(0x20, 0x90));
    const uint8_t calls[] = {0xE8, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(&straddle.sections[0].raw[0], calls, sizeof calls);
    const uint8_t laterCall[] = {0xE8, 0x0B, 0x00, 0x00, 0x00}; // 0x1010: call 0x1020
    std::memcpy(&straddle.sections[0].raw[0x10], laterCall, sizeof laterCall);
    straddle.sections[0].virtualSize = 0x40;
    ByteVector straddleRelocs = relocBlock(0x0000, {0x3FFE, 0});
    const ByteVector dataBlock = relocBlock(0x2000, {0x3004, 0});
    straddleRelocs.insert(straddleRelocs.end(), dataBlock.begin(), dataBlock.end());
    straddle.sections[2].raw = straddleRelocs;
    straddle.relocSize = uint32_t(straddleRelocs.size());
    const ByteVector straddleBytes = buildPe(straddle);
    pe = parsed<DisassemblerWin32X86>(straddleBytes);
    AssemblyProgram straddleProgram(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&straddleProgram));
    EXPECT_EQ(listOf(pe->abs32_locations()), (std::vector<uint32_t>{0x0FFE, 0x2004}));
    EXPECT_EQ(listOf(pe->rel32_locations()), std::vector<uint32_t>{0x1011});
}

TEST(PeRel32Scan, RipRelativeFormsOfTheX64Twin)
{
    // Each form at the start of .text (RVA 0x1000), followed by a displacement of 0 and, unless
    // the section ends there, by padding; the operand RVA is listed when the form is taken. Only
    // the x64 twin knows the RIP forms.
    const struct {
        const char* form;
        ByteVector bytes;
        uint32_t operand; // 0: not a candidate
        std::size_t sectionSize = 16;
    } cases[] = {
        {"mov rax, [rip]", {0x48, 0x8B, 0x05}, 0x1003},
        {"lea rcx, [rip]", {0x48, 0x8D, 0x0D}, 0x1003},
        {"mov rax, [rip] with REX.WB", {0x49, 0x8B, 0x05}, 0x1003},
        {"lea rdi, [rip] with REX.WB", {0x49, 0x8D, 0x3D}, 0x1003},
        {"mov r8, [rip] (REX.WR)", {0x4C, 0x8B, 0x05}, 0},
        {"mov eax, [rip] (REX without W)", {0x40, 0x8B, 0x05}, 0},
        {"mov rax, [rbp + 0]", {0x48, 0x8B, 0x45}, 0},
        {"mov rax, [rip] cut by the section end", {0x48, 0x8B, 0x05}, 0, 6},
        {"call [rip]", {0xFF, 0x15}, 0x1002},
        {"jmp [rip]", {0xFF, 0x25}, 0x1002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        ByteVector text = c.bytes;
        text.resize(text.size() + 4, 0);
        text.resize(c.sectionSize, 0x90);
        for (bool plus : {false, true}) {
            SCOPED_TRACE(plus ? "PE32+" : "PE32");
            std::vector<uint32_t> expected;
            if (plus && c.operand)
                expected.push_back(c.operand);
            EXPECT_EQ(rel32LocationsOf(buildPe(samplePlan(plus, text)), plus), expected);
        }
    }
}

TEST(PeLayout, EmptySectionsAndGapsAndTheRelocationTable)
{
    PeImage plan = samplePlan(false, ByteVector(0x10, 0x90));
    // A second ".text" without raw data is never scanned and gives no region.
    plan.sections.push_back({".text", 0x4000, {}, 0x100});
    const ByteVector bytes = buildPe(plan);
    auto pe = parsed<DisassemblerWin32X86>(bytes);
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&program));
    std::size_t origins = 0;
    std::size_t relocOps = 0;
    std::vector<uint32_t> originRvas;
    for (std::size_t i = 0; i < program.instructions().size(); ++i) {
        const Instruction* instruction = program.instructions()[i];
        if (instruction->kind() == InstructionKind::ORIGIN) {
            ++origins;
            originRvas.push_back(static_cast<const OriginInstruction*>(instruction)->rva());
        }
        relocOps += instruction->kind() == InstructionKind::PE_MAKE_RELOCS;
    }
    EXPECT_EQ(origins, 3u);
    EXPECT_EQ(originRvas, (std::vector<uint32_t>{0x1000, 0x2000, 0x3000}));
    EXPECT_EQ(relocOps, 1u);
    EXPECT_EQ(program.image_base(), 0x400000u);
    // The relocated word points at .text: its abs32 label is RVA 0x1000.
    ASSERT_EQ(program.abs32_labels().size(), 1u);
    EXPECT_EQ(program.abs32_labels().begin()->first, 0x1000u);

    const ChainResult chain = runChain(bytes);
    EXPECT_EQ(chain.assembled, bytes);
    EXPECT_EQ(chain.status, C_OK);

    // A gap between two sections' raw data comes back as literal bytes.
    ByteVector gapped = bytes;
    const std::size_t dataHeader = sectionHeaderOffset(plan, 1);
    const uint32_t dataRaw = get32(gapped, dataHeader + 20);
    put32(&gapped, dataHeader + 20, dataRaw + 4);
    put32(&gapped, dataHeader + 16, 12);
    AssemblyProgram* gappedProgram = nullptr;
    ASSERT_EQ(ParseDetectedExecutable(gapped.data(), gapped.size(), &gappedProgram), C_OK);
    DeleteAssemblyProgram(gappedProgram);
}

TEST(PeLayout, ARelocatedWordCutByTheImageEndStaysBytes)
{
    // .data is last and six bytes long; the relocation at its offset 4 names a word whose last
    // two bytes lie past the end of the file.
    PeImage plan = samplePlan(false, ByteVector(0x10, 0x90));
    std::swap(plan.sections[1], plan.sections[2]);
    plan.sections[2].raw.resize(6);
    const ByteVector bytes = buildPe(plan);
    auto pe = parsed<DisassemblerWin32X86>(bytes);
    ASSERT_TRUE(pe->ok());
    ASSERT_EQ(pe->length(), bytes.size());
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&program));
    EXPECT_EQ(listOf(pe->abs32_locations()), std::vector<uint32_t>{0x2004});
    EXPECT_TRUE(program.abs32_labels().empty());
}

TEST(PeLayout, RegionsTakeTheirRvaFromTheFirstSectionHoldingThem)
{
    // Table order D, A, C; file order A, D, C. D overlaps both others; the walk visits A, skips D
    // (it starts inside A) and visits C, whose start lies in D, the first section holding it.
    PeImage plan;
    plan.sections.push_back({".data", 0x7000, ByteVector(0xF0, 0x11)});
    plan.sections.push_back({".text", 0x1000, ByteVector(0x20, 0x90)});
    plan.sections.push_back({".rdata", 0x3000, ByteVector(0x20, 0x22)});
    ByteVector bytes = buildPe(plan);
    const uint32_t base = get32(bytes, sectionHeaderOffset(plan, 0) + 20);
    put32(&bytes, sectionHeaderOffset(plan, 0) + 20, base + 0x10);
    put32(&bytes, sectionHeaderOffset(plan, 1) + 20, base);
    put32(&bytes, sectionHeaderOffset(plan, 2) + 20, base + 0x20);
    auto pe = parsed<DisassemblerWin32X86>(bytes);
    ASSERT_TRUE(pe->ok());
    EXPECT_EQ(pe->length(), base + 0x100u);
    AssemblyProgram program(EXE_WIN_32_X86);
    ASSERT_TRUE(pe->Disassemble(&program));
    std::vector<uint32_t> origins;
    std::size_t emitted = 0;
    for (std::size_t i = 0; i < program.instructions().size(); ++i) {
        const Instruction* instruction = program.instructions()[i];
        if (instruction->kind() == InstructionKind::ORIGIN)
            origins.push_back(static_cast<const OriginInstruction*>(instruction)->rva());
        else
            ++emitted;
    }
    EXPECT_EQ(origins, (std::vector<uint32_t>{0x1000, 0x7010}));
    // Headers, A and C; D's bytes behind C are not emitted.
    EXPECT_EQ(emitted, base + 0x40u);
}

TEST(PeLayout, ManySectionsCostNoQuadraticSearch)
{
    PeImage plan;
    plan.sections.push_back({".text", 0x1000, ByteVector(0x10, 0x90)});
    for (uint32_t i = 0; i < 60000; ++i)
        plan.sections.push_back({".s", 0x2000 + i, ByteVector(1, uint8_t(i))});
    plan.sizeOfImage = 0x100000;
    const ByteVector bytes = buildPe(plan);
    const auto started = std::chrono::steady_clock::now();
    const ChainResult chain = runChain(bytes);
    EXPECT_EQ(chain.assembled, bytes);
    EXPECT_EQ(chain.status, C_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

namespace {

ByteVector strippedLibssp(const ScratchDir& dir, const char* arch)
{
    const std::string source = std::string("/usr/lib/gcc/") + arch + "-w64-mingw32/12-win32/libssp-0.dll";
    const std::string out = dir.file(std::string(arch) + ".dll");
    EXPECT_EQ(runShell(requireTool("strip") + " -o '" + out + "' '" + source + "'"), 0) << source;
    return readBytes(out);
}

void expectSound(const ByteVector& bytes)
{
    const int status = runChain(bytes).status;
    ASSERT_TRUE(status == C_OK || status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED) << status;
}

} // namespace

TEST(PeRobustness, EveryTruncationOfRealDlls)
{
    ScratchDir dir;
    for (const char* arch : {"i686", "x86_64"}) {
        SCOPED_TRACE(arch);
        const ByteVector whole = strippedLibssp(dir, arch);
        ASSERT_GT(whole.size(), 10000u);
        ExecutableType type = EXE_UNKNOWN;
        std::size_t length = 0;
        ASSERT_EQ(DetectExecutableType(whole.data(), whole.size(), &type, &length), C_OK);
        std::size_t accepted = 0;
        for (std::size_t size = 0; size <= whole.size(); ++size) {
            // A copy of exactly that size, so AddressSanitizer sees every read past it.
            const ByteVector cut(whole.begin(), whole.begin() + size);
            AssemblyProgram* program = nullptr;
            const int status = ParseDetectedExecutable(cut.data(), cut.size(), &program);
            ASSERT_TRUE(status == C_OK || status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED);
            accepted += status == C_OK;
            DeleteAssemblyProgram(program);
        }
        // Only cuts that keep every section whole are accepted.
        EXPECT_EQ(accepted, whole.size() - length + 1);
    }
}

TEST(PeRobustness, RandomByteFlipsOfRealDlls)
{
    ScratchDir dir;
    std::mt19937 random(20240611);
    for (const char* arch : {"i686", "x86_64"}) {
        SCOPED_TRACE(arch);
        const ByteVector whole = strippedLibssp(dir, arch);
        ASSERT_FALSE(whole.empty());
        for (int round = 0; round < 1000; ++round) {
            ByteVector bytes = whole;
            const int flips = 1 + int(random() % 8);
            for (int i = 0; i < flips; ++i) {
                // Most flips land in the headers and the relocation table, where they matter.
                const std::size_t span = round % 2 ? bytes.size() : std::min<std::size_t>(bytes.size(), 0x400);
                bytes[random() % span] ^= uint8_t(1 + random() % 255);
            }
            expectSound(bytes);
        }
    }
}
