// Base of the ELF readers, one template for 32- and 64-bit headers (DisassemblerElf32,
// DisassemblerElf64). Abs32 locations come from relative relocations, rel32 locations from a
// scan of every PROGBITS section that the machine-specific subclass does; the whole file is then
// walked section by section in table order.
#pragma once

#include "disassembler.h"
#include "intervalindex.h"
#include "nothrowbuffer.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

// Field positions of the two ELF classes.
struct Elf32Layout {
    using Word = uint32_t;
    static constexpr uint64_t kMinLength = 52;
    static constexpr uint16_t kSectionHeaderSize = 40;
    static constexpr uint64_t kProgramHeaderSize = 32;
    static constexpr uint64_t kRelSize = 8;
    static constexpr uint64_t kPhoff = 28, kShoff = 32, kPhnum = 44, kShentsize = 46, kShnum = 48;
    // Section header: type, addr, offset, size, entsize. Program header: type, offset, vaddr,
    // filesz, memsz.
    static constexpr uint64_t kShType = 4, kShAddr = 12, kShOffset = 16, kShSize = 20, kShEntsize = 36;
    static constexpr uint64_t kPhType = 0, kPhOffset = 4, kPhVaddr = 8, kPhFilesz = 16, kPhMemsz = 20;
    static Word ReadWord(const uint8_t* p);
};

struct Elf64Layout {
    using Word = uint64_t;
    static constexpr uint64_t kMinLength = 64;
    static constexpr uint16_t kSectionHeaderSize = 64;
    static constexpr uint64_t kProgramHeaderSize = 56;
    static constexpr uint64_t kRelSize = 16;
    static constexpr uint64_t kPhoff = 32, kShoff = 40, kPhnum = 56, kShentsize = 58, kShnum = 60;
    static constexpr uint64_t kShType = 4, kShAddr = 16, kShOffset = 24, kShSize = 32, kShEntsize = 56;
    static constexpr uint64_t kPhType = 0, kPhOffset = 8, kPhVaddr = 16, kPhFilesz = 32, kPhMemsz = 40;
    static Word ReadWord(const uint8_t* p);
};

template <class Layout>
class DisassemblerElf : public Disassembler {
public:
    using Word = typename Layout::Word;

    enum SectionType : uint32_t {
        SHT_PROGBITS = 1,
        SHT_NOBITS = 8,
        SHT_REL = 9,
        SHT_INIT_ARRAY = 14,
        SHT_FINI_ARRAY = 15,
    };

    struct SectionHeader {
        uint32_t type;
        Word addr;
        Word offset;
        Word size;
        Word entsize;
    };

    struct ProgramHeader {
        uint32_t type;
        Word offset;
        Word vaddr;
        Word filesz;
        Word memsz;
    };

    struct Rel {
        Word r_offset;
        Word r_info;
    };

    // A rel32 site: the RVA of the operand (x86) or instruction (ARM), its target relative to
    // that RVA, and its file offset once ParseFile has mapped it.
    class TypedRVA {
    public:
        explicit TypedRVA(uint32_t rva) : m_Rva(rva) {}
        virtual ~TypedRVA() = default;

        uint32_t rva() const { return m_Rva; }
        uint32_t relative_target() const { return m_RelativeTarget; }
        int64_t file_offset() const { return m_FileOffset; }
        void set_file_offset(int64_t offset) { m_FileOffset = offset; }

        // Reads the op at its position in the image and works out the relative target.
        virtual bool ComputeRelativeTarget(const uint8_t* op) = 0;
        virtual bool EmitInstruction(AssemblyProgram* program, uint32_t targetRva) = 0;
        // Bytes of the image the emitted instruction stands for.
        virtual uint16_t OpSize() const = 0;

    protected:
        void set_relative_target(uint32_t target) { m_RelativeTarget = target; }

    private:
        uint32_t m_Rva;
        uint32_t m_RelativeTarget = 0;
        int64_t m_FileOffset = -1;
    };

    using RVABuffer = NoThrowBuffer<uint32_t, 64>;
    using TypedRVABuffer = NoThrowBuffer<TypedRVA*, 64>;

    ~DisassemblerElf() override;

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram* program) override;

    // The e_machine value this reader accepts.
    virtual uint16_t ElfMachine() const = 0;
    // True with rva = r_offset for the machine's relative relocation without a symbol.
    virtual bool IsRelativeRelocation(const Rel& rel, uint32_t* rva) const = 0;
    // Emits one SHT_REL section; the caller has checked that it lies in the image.
    virtual bool ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program) = 0;
    // Adds the rel32 sites of one PROGBITS section that lies in the image.
    virtual bool ParseRel32RelocsFromSection(const SectionHeader& section) = 0;

    // Sorted by RVA once Disassemble has collected them.
    const RVABuffer& abs32_locations() const { return m_Abs32Locations; }
    const TypedRVABuffer& rel32_locations() const { return m_Rel32Locations; }

protected:
    DisassemblerElf(const void* start, std::size_t length);

    SectionHeader SectionAt(uint32_t index) const;
    ProgramHeader ProgramHeaderAt(uint32_t index) const;

    // Entry count of a relocation section: sh_size / sh_entsize taken as a signed 32-bit
    // count; 0 when sh_entsize is 0 or the count is negative.
    static uint32_t RelocationCount(const SectionHeader& section);
    // Entry i of a relocation section, read with the class's Rel size; false when the entry
    // does not lie whole inside the section.
    bool ReadRel(const SectionHeader& section, uint64_t index, Rel* rel) const;

    // First program header holding the RVA within its file data.
    bool RVAToFileOffset(uint32_t rva, uint64_t* offset) const;
    bool IsInLoadSegment(uint32_t rva) const;
    // RVA of file offset x inside a section: sh_addr + (x - sh_offset), modulo 2^32.
    static uint32_t SectionRVA(const SectionHeader& section, uint64_t offset)
    {
        return static_cast<uint32_t>(section.addr + (offset - section.offset));
    }

    // Emits [begin, end) as one byte run; nothing when it is empty; false when the run does not
    // lie inside the image or cannot be emitted, or when the runs so far would copy more than
    // twice the image (only sections that overlap over and over do that).
    bool EmitRun(uint64_t begin, uint64_t end, AssemblyProgram* program);

    // Takes ownership of the site; false (the site freed) when the list cannot grow.
    bool AddRel32Site(TypedRVA* site);

    // The x86 and x86-64 scan: E8/E9 calls and jumps and 0F 8x conditional jumps (except 8A,
    // 8B); with ripForms also FF 15, FF 25 and REX.W 8B/8D RIP-relative operands. A site is
    // kept when its target lies in a PT_LOAD segment.
    template <class Site>
    bool ScanX86Section(const SectionHeader& section, bool ripForms);

private:
    bool SectionInImage(const SectionHeader& section) const;
    bool BuildIndexes();
    bool ParseAbs32Relocs();
    bool ParseRel32RelocsFromSections();
    bool ParseFile(AssemblyProgram* program);
    bool ParseProgbitsSection(const SectionHeader& section, std::size_t* abs32Cursor, std::size_t* rel32Cursor,
                              AssemblyProgram* program);
    void ClearRel32Locations();

    uint64_t m_SectionTableOffset = 0;
    uint32_t m_SectionCount = 0;
    uint64_t m_ProgramHeaderTableOffset = 0;
    uint32_t m_ProgramHeaderCount = 0;

    // Program headers by RVA (PT_LOAD ones, and all with the file data they map) and sections
    // by file offset, each answering with the first entry in table order.
    IntervalIndex m_LoadSegments;
    IntervalIndex m_FileDataSegments;
    IntervalIndex m_SectionsByOffset;
    uint64_t m_RunBytes = 0;

    RVABuffer m_Abs32Locations;
    // File offsets of the abs32 locations, in the same order.
    NoThrowBuffer<uint64_t, 64> m_Abs32FileOffsets;
    TypedRVABuffer m_Rel32Locations;
};

using DisassemblerElf32 = DisassemblerElf<Elf32Layout>;
using DisassemblerElf64 = DisassemblerElf<Elf64Layout>;

template <class Layout>
template <class Site>
bool DisassemblerElf<Layout>::ScanX86Section(const SectionHeader& section, bool ripForms)
{
    const uint8_t* image = start();
    const uint64_t begin = section.offset;
    const uint64_t end = begin + section.size;
    uint64_t p = begin;
    while (p < end) {
        bool ripRelative;
        const unsigned at = X86Rel32OperandOffset(image + p, end - p, ripForms, &ripRelative);
        if (at == 0) {
            p += 1;
            continue;
        }
        const uint64_t operand = p + at;
        Site candidate(SectionRVA(section, operand));
        if (!candidate.ComputeRelativeTarget(image + operand))
            return false;
        if (IsInLoadSegment(candidate.rva() + candidate.relative_target())) {
            if (!AddRel32Site(new (std::nothrow) Site(candidate)))
                return false;
            p = operand + 4;
        } else {
            p += 1;
        }
    }
    return true;
}

extern template class DisassemblerElf<Elf32Layout>;
extern template class DisassemblerElf<Elf64Layout>;

} // namespace vlpatch
