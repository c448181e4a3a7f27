// Reader of thin Mach-O images of x86 (MACHO_X86) and x86-64 (MACHO_X64). Only rel32 sites
// found in the code sections become labels; everything else is literal bytes. RVAs are
// addresses relative to the lowest segment that was recorded.
#pragma once

#include "disassembler.h"
#include "intervalindex.h"
#include "nothrowbuffer.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class DisassemblerMacho : public Disassembler {
public:
    struct Segment {
        uint64_t vmaddr;
        uint32_t vmsize;
        uint32_t fileoff;
        uint32_t filesize;
    };
    struct CodeSection {
        uint64_t addr;
        uint32_t size;
        uint32_t offset;
    };
    using RVABuffer = NoThrowBuffer<uint32_t, 64>;

    DisassemblerMacho(const void* start, std::size_t length);

    ExecutableType kind() const override { return m_Kind; }
    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram* program) override;

    // Sorted by file offset once the header is accepted.
    const NoThrowBuffer<CodeSection, 16>& code_sections() const { return m_CodeSections; }
    // Sorted ascending once Disassemble has collected them.
    const RVABuffer& rel32_locations() const { return m_Rel32Locations; }

private:
    bool ParseSegment(uint64_t command, uint64_t commandSize);
    bool ParseSegment64(uint64_t command, uint64_t commandSize);
    bool AddSegment(const Segment& segment);
    bool AddCodeSection(const Segment& segment, uint64_t addr, uint64_t size, uint32_t offset);
    bool BuildIndexes();
    // RVA of a file offset: through the first segment whose file range holds it, else 0.
    uint32_t FileOffsetToRVA(uint64_t offset) const;
    bool IsInSegment(uint32_t rva) const;
    bool ParseRel32RelocsFromSection(const CodeSection& section);
    bool ParseFile(AssemblyProgram* program);
    bool ParseFileRegion(uint64_t begin, uint64_t end, AssemblyProgram* program);

    ExecutableType m_Kind = EXE_UNKNOWN;
    uint32_t m_Extent = 0;
    NoThrowBuffer<Segment, 16> m_Segments;
    NoThrowBuffer<CodeSection, 16> m_CodeSections;
    RVABuffer m_Rel32Locations;
    // Segments by RVA and by file offset, each answering with the first in load-command order.
    IntervalIndex m_SegmentsByRVA;
    IntervalIndex m_SegmentsByFileOffset;
};

} // namespace vlpatch
