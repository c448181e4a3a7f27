// The Mach-O disassembler on small images built here, for the header rules and faults real
// files do not show, and on truncated and corrupted real files.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblermacho.h"
#include "executablechain.h"
#include "littleendian.h"
#include "status.h"

#include <gtest/gtest.h>

#include <random>

using namespace vlpatch;

namespace {

constexpr uint32_t kCode = 0x80000400;

struct SectionPlan {
    uint64_t addr;
    uint32_t offset;
    ByteVector data;
    uint32_t flags = kCode;
    uint64_t size = UINT64_MAX; // the data's size unless set
};

struct SegmentPlan {
    uint64_t vmaddr;
    uint64_t vmsize;
    uint64_t fileoff;
    uint64_t filesize;
    std::vector<SectionPlan> sections;
};

// A thin Mach-O image: header, one segment command per segment, then the section data at the
// offsets given, padded to the largest file range named.
ByteVector buildMacho(bool is64, const std::vector<SegmentPlan>& segments, uint32_t fileType = 2)
{
    const std::size_t headerSize = is64 ? 32 : 28;
    const std::size_t commandSize = is64 ? 72 : 56;
    const std::size_t sectionSize = is64 ? 80 : 68;
    std::size_t size = headerSize;
    for (const SegmentPlan& segment : segments) {
        size += commandSize + sectionSize * segment.sections.size();
        for (const SectionPlan& section : segment.sections)
            size = std::max<std::size_t>(size, section.offset + section.data.size());
        size = std::max<std::size_t>(size, segment.fileoff + segment.filesize);
    }
    ByteVector b(size, 0);
    put32(&b, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
    put32(&b, 4, is64 ? 0x1000007 : 7);
    put32(&b, 12, fileType);
    put32(&b, 16, uint32_t(segments.size()));
    std::size_t at = headerSize;
    for (const SegmentPlan& segment : segments) {
        const std::size_t cmd = at;
        put32(&b, cmd, is64 ? 0x19 : 1);
        put32(&b, cmd + 4, uint32_t(commandSize + sectionSize * segment.sections.size()));
        if (is64) {
            put64(&b, cmd + 24, segment.vmaddr);
            put64(&b, cmd + 32, segment.vmsize);
            put64(&b, cmd + 40, segment.fileoff);
            put64(&b, cmd + 48, segment.filesize);
            put32(&b, cmd + 64, uint32_t(segment.sections.size()));
        } else {
            put32(&b, cmd + 24, uint32_t(segment.vmaddr));
            put32(&b, cmd + 28, uint32_t(segment.vmsize));
            put32(&b, cmd + 32, uint32_t(segment.fileoff));
            put32(&b, cmd + 36, uint32_t(segment.filesize));
            put32(&b, cmd + 48, uint32_t(segment.sections.size()));
        }
        at += commandSize;
        for (const SectionPlan& section : segment.sections) {
            const uint64_t sectionBytes = section.size != UINT64_MAX ? section.size : section.data.size();
            if (is64) {
                put64(&b, at + 32, section.addr);
                put64(&b, at + 40, sectionBytes);
                put32(&b, at + 48, section.offset);
                put32(&b, at + 64, section.flags);
            } else {
                put32(&b, at + 32, uint32_t(section.addr));
                put32(&b, at + 36, uint32_t(sectionBytes));
                put32(&b, at + 40, section.offset);
                put32(&b, at + 56, section.flags);
            }
            std::copy(section.data.begin(), section.data.end(), b.begin() + section.offset);
            at += sectionSize;
        }
    }
    return b;
}

std::string reason(const ByteVector& image)
{
    DisassemblerMacho macho(image.data(), image.size());
    macho.ParseHeader();
    return macho.failure_reason() ? macho.failure_reason() : "accepted";
}

// call +0, lea rax, [rip + 0x10], call into the data segment.
const ByteVector kCalls = {0xE8, 0, 0, 0, 0, 0x48, 0x8D, 0x05, 0x10, 0, 0, 0, 0xE8, 0xF0, 0x0F, 0, 0, 0x90};

std::vector<SegmentPlan> twoSegments(bool is64)
{
    const uint64_t base = is64 ? 0x100000000 : 0x1000;
    SegmentPlan text{base, 0x1000, 0, 0x1000, {{base + 0x400, 0x400, kCalls}}};
    SegmentPlan data{base + 0x1000, 0x1000, 0x1000, 0x100, {}};
    if (is64)
        data.sections.push_back({base + 0x1000, 0x1000, ByteVector(16, 0), 0});
    return {{0, is64 ? uint64_t(0x100000000) : 0x1000, 0, 0, {}}, text, data};
}

} // namespace

TEST(MachoHeader, ChecksAndTheirReasons)
{
    const ByteVector good = buildMacho(true, twoSegments(true));
    EXPECT_EQ(reason(good), "accepted");
    EXPECT_EQ(reason(ByteVector(good.begin(), good.begin() + 31)), "Too small");
    ByteVector bad = good;
    put32(&bad, 0, 0xCAFEBABE);
    EXPECT_EQ(reason(bad), "Unknown magic type");
    bad = good;
    put32(&bad, 4, 0x100000C);
    EXPECT_EQ(reason(bad), "unsupported cpu type");
    bad = good;
    put32(&bad, 12, 7);
    EXPECT_EQ(reason(bad), "Unsupported filetype in header");
    for (uint32_t fileType : {5u, 6u, 8u}) {
        bad = good;
        put32(&bad, 12, fileType);
        EXPECT_EQ(reason(bad), "accepted");
    }
    bad = good;
    put32(&bad, 256 + 4, 0x10000); // the last command would reach past the end
    EXPECT_EQ(reason(bad), "file to small in load commands");
    bad = good;
    put32(&bad, 32 + 4, 0xFFFFFFF0); // a cmdsize whose sum would wrap in 32 bits
    EXPECT_EQ(reason(bad), "file to small in load commands");
    bad = good;
    put32(&bad, 32 + 4, 4);
    EXPECT_EQ(reason(bad), "bad load command size");
    bad = good;
    put32(&bad, 16, 4); // the zeros after the last command: a cmdsize of 0 would never move on
    EXPECT_EQ(reason(bad), "bad load command size");
    bad = good;
    put32(&bad, 32, 1);
    EXPECT_EQ(reason(bad), "LC_SEGMENT not supported");
    EXPECT_EQ(reason(buildMacho(false, twoSegments(false))), "accepted");

    std::vector<SegmentPlan> segments = twoSegments(true);
    segments[1].vmsize = 0x100000000;
    EXPECT_EQ(reason(buildMacho(true, segments)), "overflow");
    bad = good;
    put64(&bad, 104 + 48, 0x100000); // __TEXT's filesize
    EXPECT_EQ(reason(bad), "segment too large");
    segments = twoSegments(true);
    segments[1].sections[0].addr = 0x100000F00;
    segments[1].sections[0].size = 0x200;
    EXPECT_EQ(reason(buildMacho(true, segments)), "section larger than segment");
    segments = twoSegments(true);
    segments[1].sections[0].size = uint64_t(1) << 32;
    EXPECT_EQ(reason(buildMacho(true, segments)), "overflow");
    segments = twoSegments(true);
    segments[1].sections[0].flags = 0;
    EXPECT_EQ(reason(buildMacho(true, segments)), "Resource-only executables are not yet supported");
    // A code section whose bytes the file does not hold.
    segments = twoSegments(true);
    segments[1].vmsize = 0x100000;
    segments[1].sections[0].size = 0x10000;
    EXPECT_EQ(reason(buildMacho(true, segments)), "section outside image");

    bad = good;
    put32(&bad, 32 + 72 + 4, 72); // the __TEXT command too short for its section
    EXPECT_EQ(reason(bad), "sections too small");
}

TEST(MachoDisassembly, RebasedRel32SitesAndRoundTrip)
{
    for (bool is64 : {true, false}) {
        SCOPED_TRACE(is64 ? "x86-64" : "x86");
        const ByteVector image = buildMacho(is64, twoSegments(is64));
        std::unique_ptr<Disassembler> disassembler = DetectDisassembler(image.data(), image.size());
        ASSERT_TRUE(disassembler);
        EXPECT_EQ(disassembler->kind(), is64 ? EXE_MACHO_X64 : EXE_MACHO_X86);
        // The extent is that of the recorded segments: 0x1100.
        EXPECT_EQ(disassembler->length(), 0x1100u);
        AssemblyProgram program(disassembler->kind());
        ASSERT_TRUE(disassembler->Disassemble(&program));
        const auto& sites = static_cast<DisassemblerMacho&>(*disassembler).rel32_locations();
        const std::vector<uint32_t> found(sites.data(), sites.data() + sites.size());
        // 64-bit: the empty __PAGEZERO is not recorded, so RVAs count from __TEXT and the
        // 32-bit image counts from its __PAGEZERO. The lea is a site only in the 64-bit image;
        // the last call lands in __DATA, outside every code section, and is a site in both.
        const uint32_t text = is64 ? 0 : 0x1000;
        if (is64)
            EXPECT_EQ(found, (std::vector<uint32_t>{text + 0x401, text + 0x408, text + 0x40D}));
        else
            EXPECT_EQ(found, (std::vector<uint32_t>{text + 0x401, text + 0x40D}));
        const ChainResult chain = runChain(image);
        ASSERT_EQ(chain.status, C_OK);
        EXPECT_EQ(chain.assembled, ByteVector(image.begin(), image.begin() + 0x1100));
    }
}

TEST(MachoDisassembly, EmptyCodeSectionDoesNotStallTheWalk)
{
    std::vector<SegmentPlan> segments = twoSegments(true);
    segments[1].sections.push_back({0x100000800, 0x800, {}});
    segments[1].sections.push_back({0x100000400, 0x400, {}});
    const ByteVector image = buildMacho(true, segments);
    const ChainResult chain = runChain(image);
    ASSERT_EQ(chain.status, C_OK);
    EXPECT_EQ(chain.assembled, ByteVector(image.begin(), image.begin() + 0x1100));
}

TEST(MachoRobustness, CodeSectionsOverlappingOverAndOverAreRefused)
{
    std::vector<SegmentPlan> segments = twoSegments(true);
    for (int i = 0; i < 40; ++i)
        segments[1].sections.push_back({0x100000000, 0, {}, kCode, 0x1000});
    const ByteVector image = buildMacho(true, segments);
    AssemblyProgram* program = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(image.data(), image.size(), &program), C_DISASSEMBLY_FAILED);
}

TEST(MachoRobustness, TruncatedAndCorruptedRealFilesGiveAStatus)
{
    ScratchDir dir;
    for (const char* name : {"gcc-386-darwin-exec", "gcc-amd64-darwin-exec"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        ASSERT_EQ(runShell("base64 -d '/usr/share/go-1.19/src/debug/macho/testdata/" + std::string(name)
                           + ".base64' > '" + path + "'"),
                  0);
        const ByteVector bytes = readBytes(path);
        ASSERT_GT(bytes.size(), 4000u);
        auto expectStatus = [](const ByteVector& input) {
            AssemblyProgram* program = nullptr;
            const int status = ParseDetectedExecutable(input.data(), input.size(), &program);
            EXPECT_TRUE(status == C_OK || status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED);
            DeleteAssemblyProgram(program);
        };
        for (std::size_t size = 0; size <= bytes.size(); ++size)
            expectStatus(ByteVector(bytes.begin(), bytes.begin() + size));
        std::mt19937 random(777);
        for (int round = 0; round < 1500; ++round) {
            ByteVector flipped = bytes;
            for (int i = 1 + int(random() % 8); i > 0; --i) {
                const std::size_t at = random() % 2 ? random() % 1024 : random() % flipped.size();
                flipped[at] ^= uint8_t(1u << (random() % 8));
            }
            expectStatus(flipped);
        }
    }
}
