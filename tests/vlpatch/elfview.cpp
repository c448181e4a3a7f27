#include "elfview.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerelf.h"
#include "executablechain.h"
#include "executabletype.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace {

uint64_t hex(const std::string& text)
{
    return std::stoull(text, nullptr, 16);
}

} // namespace

const ElfView::Section* ElfView::section(const std::string& name) const
{
    for (const Section& s : sections) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

ElfView readElfView(const ScratchDir& dir, const std::string& path)
{
    ElfView view;
    const std::string text = commandOutput(dir, requireTool("readelf") + " -hSlrW '" + path + "'");
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    const std::regex header("^\\s+([A-Za-z ]+):\\s+(.*)$");
    const std::regex sectionLine("^\\s+\\[\\s*(\\d+)\\]\\s+(.*)$");
    const std::regex segmentLine("^\\s+([A-Z_]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)"
                                 "\\s+0x([0-9a-f]+)");
    const std::regex relocHeader("^Relocation section '([^']+)'");
    const std::regex relocLine("^([0-9a-f]{8}|[0-9a-f]{16})\\s+([0-9a-f]{8}|[0-9a-f]{16})\\s+\\S+");
    ElfView::RelocSection* current = nullptr;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, relocHeader) || std::regex_search(line, m, relocHeader)) {
            view.relocs.push_back({m[1].str(), {}});
            current = &view.relocs.back();
            continue;
        }
        if (current && std::regex_search(line, m, relocLine)) {
            current->entries.push_back({hex(m[1].str()), hex(m[2].str())});
            continue;
        }
        if (std::regex_match(line, m, sectionLine)) {
            std::istringstream fields(m[2].str());
            ElfView::Section s;
            if (m[1].str() == "0") {
                s.type = "NULL";
            } else {
                std::string addr, offset, size;
                fields >> s.name >> s.type >> addr >> offset >> size;
                s.addr = hex(addr);
                s.offset = hex(offset);
                s.size = hex(size);
            }
            view.sections.push_back(s);
            continue;
        }
        if (std::regex_search(line, m, segmentLine)) {
            view.segments.push_back({m[1].str(), hex(m[2].str()), hex(m[3].str()), hex(m[5].str()), hex(m[6].str())});
            continue;
        }
        if (std::regex_match(line, m, header)) {
            const std::string key = m[1].str();
            const std::string value = m[2].str();
            if (key == "Class")
                view.elf64 = value == "ELF64";
            else if (key == "Machine")
                view.machine = value;
            else if (key == "Start of program headers")
                view.phoff = std::stoull(value);
            else if (key == "Start of section headers")
                view.shoff = std::stoull(value);
            else if (key == "Size of program headers")
                view.phentsize = std::stoull(value);
            else if (key == "Number of program headers")
                view.phnum = std::stoull(value);
            else if (key == "Size of section headers")
                view.shentsize = std::stoull(value);
            else if (key == "Number of section headers")
                view.shnum = std::stoull(value);
        }
    }
    EXPECT_EQ(view.sections.size(), view.shnum) << path;
    return view;
}

uint64_t ElfView::extent() const
{
    uint64_t extent = std::max(phoff + phentsize * phnum, shoff + shentsize * shnum);
    for (const Section& s : sections) {
        if (s.type != "NOBITS")
            extent = std::max(extent, s.offset + s.size);
    }
    for (const Segment& p : segments)
        extent = std::max(extent, p.offset + p.filesz);
    return extent;
}

std::vector<uint32_t> ElfView::abs32(uint64_t relativeInfo) const
{
    std::vector<uint32_t> list;
    for (const RelocSection& relocSection : relocs) {
        const Section* holder = section(relocSection.name);
        if (!holder || holder->type != "REL")
            continue;
        for (const Reloc& reloc : relocSection.entries) {
            if (reloc.info != relativeInfo)
                continue;
            const Segment* segment = nullptr;
            for (const Segment& p : segments) {
                if (reloc.offset >= p.vaddr && reloc.offset < p.vaddr + p.memsz && reloc.offset - p.vaddr < p.filesz) {
                    segment = &p;
                    break;
                }
            }
            if (!segment)
                continue;
            const uint64_t offset = segment->offset + (reloc.offset - segment->vaddr);
            for (const Section& s : sections) {
                if (offset >= s.offset && offset < s.offset + s.size) {
                    if (s.type == "PROGBITS" || s.type == "REL")
                        list.push_back(static_cast<uint32_t>(reloc.offset));
                    break;
                }
            }
        }
    }
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::pair<uint64_t, uint64_t>> ElfView::droppedArmRelocs(const std::vector<uint32_t>& abs32) const
{
    std::vector<std::pair<uint64_t, uint64_t>> dropped;
    if (abs32.empty())
        return dropped;
    for (const Section& s : sections) {
        if (s.type != "REL")
            continue;
        const RelocSection* relocSection = nullptr;
        for (const RelocSection& r : relocs) {
            if (r.name == s.name)
                relocSection = &r;
        }
        if (!relocSection)
            continue;
        const std::vector<Reloc>& entries = relocSection->entries;
        std::size_t first = 0;
        while (first < entries.size() && entries[first].offset != abs32[0])
            ++first;
        if (abs32.size() > entries.size())
            continue;
        for (std::size_t j = 0; j < abs32.size(); ++j) {
            if (first + j >= entries.size() || entries[first + j].info != 0x17 || entries[first + j].offset != abs32[j]) {
                const uint64_t end = std::min(s.offset + s.size, s.offset + 8 * (first + j + 1));
                if (s.offset + 8 * first < end)
                    dropped.emplace_back(s.offset + 8 * first, end);
                break;
            }
        }
    }
    return dropped;
}

void expectReassembledAsRequired(const ElfView& view, const ByteVector& file, uint64_t length,
                                 const vlpatch::AssemblyProgram& program, const ByteVector& assembled,
                                 const std::vector<std::pair<uint64_t, uint64_t>>& dropped)
{
    ByteVector expected;
    uint64_t pos = 0;
    for (const auto& range : dropped) {
        expected.insert(expected.end(), file.begin() + pos, file.begin() + range.first);
        pos = range.second;
    }
    expected.insert(expected.end(), file.begin() + pos, file.begin() + length);
    ASSERT_EQ(assembled.size(), expected.size());
    if (assembled == expected)
        return;

    // Every difference must lie in a rel32 op whose bytes come from a section without an
    // address at the op's RVA.
    ASSERT_TRUE(dropped.empty()) << "differences beside dropped relocations";
    const std::vector<EmittedRel32> sites = emittedRel32(program);
    std::size_t explained = 0;
    for (uint64_t i = 0; i < assembled.size(); ++i) {
        if (assembled[i] == expected[i])
            continue;
        auto site = std::upper_bound(sites.begin(), sites.end(), i,
                                     [](uint64_t offset, const EmittedRel32& s) { return offset < s.outputOffset; });
        ASSERT_NE(site, sites.begin()) << "difference at " << i << " outside every rel32 op";
        --site;
        ASSERT_LT(i, site->outputOffset + site->size) << "difference at " << i << " outside every rel32 op";
        bool fromAddresslessSection = false;
        for (const ElfView::Section& s : view.sections) {
            if (s.type != "PROGBITS" || s.addr != 0 || uint64_t(site->rva) + site->size > s.size)
                continue;
            fromAddresslessSection = fromAddresslessSection
                || std::equal(assembled.begin() + site->outputOffset, assembled.begin() + site->outputOffset + site->size,
                              file.begin() + s.offset + site->rva);
        }
        ASSERT_TRUE(fromAddresslessSection) << "difference at " << i << " not explained";
        i = site->outputOffset + site->size - 1;
        ++explained;
    }
    EXPECT_GT(explained, 0u);
}

namespace {

template <class Elf>
std::vector<uint32_t> abs32Of(const vlpatch::Disassembler& disassembler)
{
    const auto& list = static_cast<const Elf&>(disassembler).abs32_locations();
    return std::vector<uint32_t>(list.data(), list.data() + list.size());
}

template <class Elf>
std::size_t rel32CountOf(const vlpatch::Disassembler& disassembler)
{
    return static_cast<const Elf&>(disassembler).rel32_locations().size();
}

} // namespace

int checkElfFile(const ScratchDir& dir, const std::string& path, uint32_t type)
{
    using namespace vlpatch;
    SCOPED_TRACE(path);
    const ByteVector bytes = readBytes(path);
    if (bytes.empty())
        return 0;
    const ElfView view = readElfView(dir, path);
    const bool arm = type == EXE_ELF_32_ARM;
    EXPECT_EQ(view.elf64, type == EXE_ELF_64_X64);
    EXPECT_EQ(view.machine,
              arm ? "ARM" : type == EXE_ELF_32_X86 ? "Intel 80386" : "Advanced Micro Devices X86-64");

    ExecutableType detected = EXE_UNKNOWN;
    std::size_t length = 0;
    EXPECT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &detected, &length), C_OK);
    EXPECT_EQ(detected, type);
    EXPECT_EQ(length, std::min<uint64_t>(view.extent(), bytes.size()));

    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(bytes.data(), bytes.size());
    if (!disassembler) {
        ADD_FAILURE() << "not detected";
        return 0;
    }
    AssemblyProgram program(disassembler->kind());
    if (!disassembler->Disassemble(&program))
        return C_DISASSEMBLY_FAILED;
    const std::vector<uint32_t> abs32 = view.elf64 ? abs32Of<DisassemblerElf64>(*disassembler)
                                                   : abs32Of<DisassemblerElf32>(*disassembler);
    // x86-64 relocations are RELA, which give no abs32 locations.
    const std::vector<uint32_t> expectedAbs32 = view.elf64 ? std::vector<uint32_t>() : view.abs32(arm ? 0x17 : 0x8);
    EXPECT_EQ(abs32, expectedAbs32);
    EXPECT_GT(view.elf64 ? rel32CountOf<DisassemblerElf64>(*disassembler) : rel32CountOf<DisassemblerElf32>(*disassembler),
              0u);

    const ChainResult chain = runChain(bytes);
    if (chain.status != C_OK)
        return chain.status;
    expectReassembledAsRequired(view, bytes, length, program, chain.assembled,
                                arm ? view.droppedArmRelocs(expectedAbs32)
                                    : std::vector<std::pair<uint64_t, uint64_t>>());
    return C_OK;
}

void expectRel32SitesCoverObjdump(const ScratchDir& dir, const std::string& path, const ElfView& view)
{
    using namespace vlpatch;
    SCOPED_TRACE(path);
    const ByteVector bytes = readBytes(path);
    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(bytes.data(), bytes.size());
    ASSERT_TRUE(disassembler);
    AssemblyProgram program(disassembler->kind());
    ASSERT_TRUE(disassembler->Disassemble(&program));
    std::set<uint32_t> sites;
    auto collect = [&](const auto& list) {
        for (std::size_t i = 0; i < list.size(); ++i)
            sites.insert(list[i]->rva());
    };
    if (view.elf64)
        collect(static_cast<const DisassemblerElf64&>(*disassembler).rel32_locations());
    else
        collect(static_cast<const DisassemblerElf32&>(*disassembler).rel32_locations());

    const std::string text = commandOutput(dir, requireTool("objdump") + " -d -j .text '" + path + "'");
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    const std::regex insn("^\\s*([0-9a-f]+):\\t((?:[0-9a-f]{2} )+)");
    std::size_t branches = 0;
    std::size_t found = 0;
    while (std::getline(lines, line)) {
        if (!std::regex_search(line, m, insn))
            continue;
        const uint64_t address = hex(m[1].str());
        std::istringstream byteText(m[2].str());
        std::vector<unsigned> b;
        unsigned value;
        while (byteText >> std::hex >> value)
            b.push_back(value);
        uint64_t operand = 0;
        if (b.size() == 5 && (b[0] == 0xE8 || b[0] == 0xE9))
            operand = address + 1;
        else if (b.size() == 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            operand = address + 2;
        else if (view.elf64 && b.size() == 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            operand = address + 2;
        else if (view.elf64 && b.size() == 7 && (b[0] & 0xFE) == 0x48 && (b[1] == 0x8B || b[1] == 0x8D)
                 && (b[2] & 0xC7) == 0x05)
            operand = address + 3;
        else
            continue;
        const std::size_t at = operand - address;
        const uint32_t target = static_cast<uint32_t>(operand + 4 + (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24));
        const bool loaded = std::any_of(view.segments.begin(), view.segments.end(), [&](const ElfView::Segment& s) {
            return s.type == "LOAD" && target >= s.vaddr && target < s.vaddr + s.memsz;
        });
        if (!loaded)
            continue;
        ++branches;
        found += sites.count(static_cast<uint32_t>(operand));
    }
    ASSERT_GT(branches, 20u);
    EXPECT_GE(found * 100, branches * 99) << found << " of " << branches;
}
