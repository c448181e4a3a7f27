// Readers of Windows PE images: PE32 (DisassemblerWin32X86) and PE32+ (DisassemblerWin32X64).
// Abs32 locations come from the base relocation table, rel32 locations from a byte scan of the
// ".text" sections; everything else is literal bytes.
#pragma once

#include "disassembler.h"
#include "nothrowbuffer.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class DisassemblerWin32 : public Disassembler {
public:
    using RVABuffer = NoThrowBuffer<uint32_t, 64>;

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram* program) override;

    uint64_t image_base() const { return m_ImageBase; }
    uint32_t size_of_image() const { return m_SizeOfImage; }
    uint16_t number_of_sections() const { return m_NumberOfSections; }
    // Sorted ascending once Disassemble has collected them.
    const RVABuffer& abs32_locations() const { return m_Abs32Locations; }
    const RVABuffer& rel32_locations() const { return m_Rel32Locations; }

protected:
    DisassemblerWin32(const void* start, std::size_t length, bool x64);

private:
    struct DataDirectory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };
    struct Section {
        uint32_t virtual_size;
        uint32_t virtual_address;
        uint32_t size_of_raw_data;
        uint32_t pointer_to_raw_data;
        bool is_text;
    };

    bool ReadDataDirectory(int index, DataDirectory* directory);
    Section SectionAt(uint32_t index) const;
    // RVA of each region start: the first section in table order whose raw data holds the
    // offset, else 0. Computed for all sections in file order in one sweep, as the walks need
    // them, so that a table of many sections does not cost a quadratic search.
    bool ComputeRegionStartRVAs();
    // File offset of the RVA, or -1 when it has no file data.
    int64_t RVAToFileOffset(uint32_t rva) const;
    // Indexes of the sections with raw data, ordered by raw-data offset, ties in table order.
    bool SortSectionsByFileOffset();
    // The next section in file order starting at or after pos, with its region start RVA,
    // advancing the cursor; false when no section is left.
    bool NextSectionInFileOrder(uint64_t pos, std::size_t* cursor, Section* section, uint32_t* startRva) const;

    bool ParseRelocs();
    void ParseRel32RelocsFromSection(const Section& section, uint32_t startRva);
    bool ParseFile(AssemblyProgram* program);
    bool ParseFileRegion(uint64_t begin, uint64_t end, uint32_t startRva, AssemblyProgram* program);

    const bool m_X64;
    uint16_t m_NumberOfSections = 0;
    uint16_t m_SizeOfOptionalHeader = 0;
    uint64_t m_OptionalHeaderOffset = 0;
    bool m_Pe32Plus = false;
    uint32_t m_DataDirectoriesOffset = 0;

    // Of the optional header only these steer the disassembly; the data directories are all
    // validated, but only the base relocation table is used.
    uint64_t m_ImageBase = 0;
    uint32_t m_SizeOfImage = 0;
    int32_t m_NumberOfRvaAndSizes = 0;
    DataDirectory m_BaseRelocationTable;

    uint64_t m_SectionTableOffset = 0;
    bool m_HasTextSection = false;
    NoThrowBuffer<uint32_t, 64> m_SectionsInFileOrder;
    NoThrowBuffer<uint32_t, 64> m_RegionStartRVAs; // parallel to m_SectionsInFileOrder

    RVABuffer m_Abs32Locations;
    RVABuffer m_Rel32Locations;
};

class DisassemblerWin32X86 : public DisassemblerWin32 {
public:
    DisassemblerWin32X86(const void* start, std::size_t length) : DisassemblerWin32(start, length, false) {}
    ExecutableType kind() const override { return EXE_WIN_32_X86; }
};

class DisassemblerWin32X64 : public DisassemblerWin32 {
public:
    DisassemblerWin32X64(const void* start, std::size_t length) : DisassemblerWin32(start, length, true) {}
    ExecutableType kind() const override { return EXE_WIN_32_X64; }
};

} // namespace vlpatch
