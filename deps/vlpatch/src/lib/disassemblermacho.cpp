#include "disassemblermacho.h"

#include "assemblyprogram.h"

#include <algorithm>

namespace vlpatch {

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCpuTypeX86 = 7;
constexpr uint32_t kCpuTypeX64 = 0x1000007;
constexpr uint32_t kLcSegment = 1;
constexpr uint32_t kLcSegment64 = 0x19;
constexpr uint64_t kSegmentCommandSize = 56;
constexpr uint64_t kSegment64CommandSize = 72;
constexpr uint64_t kSectionSize = 68;
constexpr uint64_t kSection64Size = 80;
// Pure instructions, regular section type.
constexpr uint32_t kCodeSectionMask = 0x800000FF;
constexpr uint32_t kCodeSectionFlags = 0x80000000;

bool FitsIn32(uint64_t value)
{
    return value <= 0xFFFFFFFFu;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const void* start, std::size_t length) : Disassembler(start, length) {}

bool DisassemblerMacho::ParseHeader()
{
    if (length() < 32)
        return Bad("Too small");
    const uint8_t* image = start();
    const uint32_t magic = ReadU32(image);
    const uint32_t cpuType = ReadU32(image + 4);
    uint64_t command;
    if (magic == kMagic32) {
        if (cpuType != kCpuTypeX86)
            return Bad("unsupported cpu type");
        m_Kind = EXE_MACHO_X86;
        command = 28;
    } else if (magic == kMagic64) {
        if (cpuType != kCpuTypeX64)
            return Bad("unsupported cpu type");
        m_Kind = EXE_MACHO_X64;
        command = 32;
    } else {
        return Bad("Unknown magic type");
    }
    const uint32_t fileType = ReadU32(image + 12);
    if (fileType != 2 && fileType != 5 && fileType != 6 && fileType != 8)
        return Bad("Unsupported filetype in header");

    const uint32_t commandCount = ReadU32(image + 16);
    for (uint32_t i = 0; i < commandCount; ++i) {
        // Every command is at least its 8-byte header, so the walk always moves on and stays
        // inside the image.
        if (!IsInImage(command, 8))
            return Bad("file to small in load commands");
        const uint32_t cmd = ReadU32(FileOffsetToPointer(command));
        const uint64_t commandSize = ReadU32(FileOffsetToPointer(command + 4));
        if (commandSize < 8)
            return Bad("bad load command size");
        if (!IsInImage(command, commandSize))
            return Bad("file to small in load commands");
        if (cmd == kLcSegment64 && !ParseSegment64(command, commandSize))
            return false;
        if (cmd == kLcSegment && !ParseSegment(command, commandSize))
            return false;
        command += commandSize;
    }
    if (m_Segments.failed() || m_CodeSections.failed())
        return Bad("out of memory");

    if (!m_Segments.empty()) {
        uint64_t base = m_Segments[0].vmaddr;
        for (std::size_t i = 1; i < m_Segments.size(); ++i)
            base = std::min(base, m_Segments[i].vmaddr);
        for (std::size_t i = 0; i < m_Segments.size(); ++i) {
            Segment& segment = m_Segments[i];
            segment.vmaddr -= base;
            if (segment.vmaddr > 0xFFFFFFFFu - segment.vmsize)
                return Bad("overflow");
        }
        for (std::size_t i = 0; i < m_CodeSections.size(); ++i)
            m_CodeSections[i].addr -= base;
    }
    if (m_CodeSections.empty())
        return Bad("Resource-only executables are not yet supported");
    // Sections at equal offsets keep their load-command order.
    std::stable_sort(m_CodeSections.data(), m_CodeSections.data() + m_CodeSections.size(),
                     [](const CodeSection& a, const CodeSection& b) { return a.offset < b.offset; });
    ReduceLength(m_Extent);
    return Good();
}

bool DisassemblerMacho::AddSegment(const Segment& segment)
{
    if (!m_Segments.push_back(segment))
        return Bad("out of memory");
    m_Extent = std::max(m_Extent, segment.fileoff + segment.filesize);
    if (uint64_t(segment.fileoff) + segment.filesize > length())
        return Bad("segment too large");
    return true;
}

bool DisassemblerMacho::AddCodeSection(const Segment& segment, uint64_t addr, uint64_t size, uint32_t offset)
{
    if (addr < segment.vmaddr || addr - segment.vmaddr > segment.vmsize
        || size > segment.vmsize - (addr - segment.vmaddr))
        return Bad("section larger than segment");
    // The scan and the file walk read the section's bytes.
    if (!IsInImage(offset, size))
        return Bad("section outside image");
    if (!m_CodeSections.push_back(CodeSection{addr, static_cast<uint32_t>(size), offset}))
        return Bad("out of memory");
    return true;
}

bool DisassemblerMacho::ParseSegment(uint64_t command, uint64_t commandSize)
{
    if (m_Kind != EXE_MACHO_X86)
        return Bad("LC_SEGMENT not supported");
    if (commandSize < kSegmentCommandSize)
        return Bad("bad LC_SEGMENT");
    const uint8_t* p = FileOffsetToPointer(command);
    const Segment segment{ReadU32(p + 24), ReadU32(p + 28), ReadU32(p + 32), ReadU32(p + 36)};
    if (!AddSegment(segment))
        return false;
    const uint64_t sectionCount = ReadU32(p + 48);
    if (commandSize < kSegmentCommandSize + kSectionSize * sectionCount)
        return Bad("sections too small");
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const uint8_t* section = p + kSegmentCommandSize + kSectionSize * i;
        if ((ReadU32(section + 56) & kCodeSectionMask) != kCodeSectionFlags)
            continue;
        if (!AddCodeSection(segment, ReadU32(section + 32), ReadU32(section + 36), ReadU32(section + 40)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::ParseSegment64(uint64_t command, uint64_t commandSize)
{
    if (m_Kind != EXE_MACHO_X64)
        return Bad("LC_SEGMENT_64 not supported");
    if (commandSize < kSegment64CommandSize)
        return Bad("bad LC_SEGMENT_64");
    const uint8_t* p = FileOffsetToPointer(command);
    const uint64_t sectionCount = ReadU32(p + 64);
    if (sectionCount == 0)
        return true;
    const uint64_t vmsize = ReadU64(p + 32);
    const uint64_t fileoff = ReadU64(p + 40);
    const uint64_t filesize = ReadU64(p + 48);
    if (!FitsIn32(vmsize) || !FitsIn32(fileoff) || !FitsIn32(filesize))
        return Bad("overflow");
    const Segment segment{ReadU64(p + 24), static_cast<uint32_t>(vmsize), static_cast<uint32_t>(fileoff),
                          static_cast<uint32_t>(filesize)};
    if (!AddSegment(segment))
        return false;
    if (commandSize < kSegment64CommandSize + kSection64Size * sectionCount)
        return Bad("sections too small");
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const uint8_t* section = p + kSegment64CommandSize + kSection64Size * i;
        if ((ReadU32(section + 64) & kCodeSectionMask) != kCodeSectionFlags)
            continue;
        const uint64_t size = ReadU64(section + 40);
        if (!FitsIn32(size))
            return Bad("overflow");
        if (!AddCodeSection(segment, ReadU64(section + 32), size, ReadU32(section + 48)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::BuildIndexes()
{
    for (std::size_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& segment = m_Segments[i];
        if (!m_SegmentsByRVA.Add(segment.vmaddr, segment.vmaddr + segment.vmsize, uint32_t(i))
            || !m_SegmentsByFileOffset.Add(segment.fileoff, uint64_t(segment.fileoff) + segment.filesize, uint32_t(i)))
            return false;
    }
    return m_SegmentsByRVA.Build() && m_SegmentsByFileOffset.Build();
}

uint32_t DisassemblerMacho::FileOffsetToRVA(uint64_t offset) const
{
    const int64_t index = m_SegmentsByFileOffset.Find(offset);
    if (index < 0)
        return 0;
    const Segment& segment = m_Segments[std::size_t(index)];
    return static_cast<uint32_t>(offset - segment.fileoff + segment.vmaddr);
}

bool DisassemblerMacho::IsInSegment(uint32_t rva) const
{
    return m_SegmentsByRVA.Find(rva) >= 0;
}

bool DisassemblerMacho::Disassemble(AssemblyProgram* program)
{
    if (!ok())
        return false;
    program->set_image_base(0);
    // Linkers never overlap code sections; ones that overlap over and over would be scanned
    // over and over.
    uint64_t scanned = 0;
    for (std::size_t i = 0; i < m_CodeSections.size(); ++i)
        scanned += m_CodeSections[i].size;
    if (scanned > 2 * uint64_t(end() - start()) || !BuildIndexes())
        return false;
    m_Rel32Locations.clear();
    for (std::size_t i = 0; i < m_CodeSections.size(); ++i) {
        if (!ParseRel32RelocsFromSection(m_CodeSections[i]))
            return false;
    }
    std::sort(m_Rel32Locations.data(), m_Rel32Locations.data() + m_Rel32Locations.size());
    if (!ParseFile(program))
        return false;
    program->DefaultAssignIndexes();
    return true;
}

bool DisassemblerMacho::ParseRel32RelocsFromSection(const CodeSection& section)
{
    const uint8_t* image = start();
    const uint64_t begin = section.offset;
    const uint64_t end = begin + section.size;
    const uint32_t startRva = FileOffsetToRVA(begin);
    const bool x64 = m_Kind == EXE_MACHO_X64;
    uint64_t p = begin;
    while (p < end) {
        bool ripRelative;
        const unsigned at = X86Rel32OperandOffset(image + p, end - p, x64, &ripRelative);
        if (at == 0) {
            p += 1;
            continue;
        }
        const uint64_t operand = p + at;
        const uint32_t operandRva = startRva + static_cast<uint32_t>(operand - begin);
        if (IsInSegment(operandRva + 4 + ReadU32(image + operand))) {
            if (!m_Rel32Locations.push_back(operandRva))
                return false;
            p = operand + 4;
        } else {
            p += 1;
        }
    }
    return true;
}

bool DisassemblerMacho::ParseFile(AssemblyProgram* program)
{
    const uint8_t* image = start();
    const std::size_t sectionCount = m_CodeSections.size();
    // Each section is taken at most once, so an empty one cannot hold the walk in place.
    std::size_t next = 0;
    uint64_t pos = 0;
    while (pos < length()) {
        while (next < sectionCount && m_CodeSections[next].offset < pos)
            ++next;
        const uint64_t regionBegin = next < sectionCount ? m_CodeSections[next].offset : length();
        for (; pos < regionBegin; ++pos) {
            if (!program->EmitByteInstruction(image[pos]))
                return false;
        }
        if (next == sectionCount)
            break;
        const uint64_t regionEnd = regionBegin + m_CodeSections[next].size;
        ++next;
        if (!ParseFileRegion(regionBegin, regionEnd, program))
            return false;
        pos = regionEnd;
    }
    return true;
}

bool DisassemblerMacho::ParseFileRegion(uint64_t begin, uint64_t end, AssemblyProgram* program)
{
    const uint8_t* image = start();
    const uint32_t startRva = FileOffsetToRVA(begin);
    if (!program->EmitOriginInstruction(startRva))
        return false;
    const uint32_t* rel32 = m_Rel32Locations.data();
    const std::size_t rel32Count = m_Rel32Locations.size();
    std::size_t cursor = 0;
    for (uint64_t p = begin; p < end;) {
        const uint32_t rva = startRva + static_cast<uint32_t>(p - begin);
        while (cursor < rel32Count && rel32[cursor] < rva)
            ++cursor;
        if (cursor < rel32Count && rel32[cursor] == rva) {
            // A site found in another section may sit near this one's end; its word must still
            // be read from the image.
            if (!IsInImage(p, 4))
                return false;
            if (!program->EmitRel32(program->FindOrMakeRel32Label(rva + 4 + ReadU32(image + p))))
                return false;
            p += 4;
        } else {
            if (!program->EmitByteInstruction(image[p]))
                return false;
            p += 1;
        }
    }
    return true;
}

} // namespace vlpatch
