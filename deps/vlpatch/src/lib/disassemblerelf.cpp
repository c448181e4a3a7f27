#include "disassemblerelf.h"

#include "assemblyprogram.h"
#include "logstream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vlpatch {

Elf32Layout::Word Elf32Layout::ReadWord(const uint8_t* p)
{
    return static_cast<Word>(p[0]) | (static_cast<Word>(p[1]) << 8) | (static_cast<Word>(p[2]) << 16)
        | (static_cast<Word>(p[3]) << 24);
}

Elf64Layout::Word Elf64Layout::ReadWord(const uint8_t* p)
{
    return static_cast<Word>(Elf32Layout::ReadWord(p)) | (static_cast<Word>(Elf32Layout::ReadWord(p + 4)) << 32);
}

template <class Layout>
DisassemblerElf<Layout>::DisassemblerElf(const void* start, std::size_t length) : Disassembler(start, length)
{
}

template <class Layout>
DisassemblerElf<Layout>::~DisassemblerElf()
{
    ClearRel32Locations();
}

template <class Layout>
void DisassemblerElf<Layout>::ClearRel32Locations()
{
    for (std::size_t i = 0; i < m_Rel32Locations.size(); ++i)
        delete m_Rel32Locations[i];
    m_Rel32Locations.clear();
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseHeader()
{
    if (length() < Layout::kMinLength)
        return Bad("Too small");
    const uint8_t* image = start();
    if (std::memcmp(image, "\x7F" "ELF", 4) != 0)
        return Bad("No Magic Number");
    if ((ReadU16(image + 16) & 0xFFFE) != 2)
        return Bad("Not an executable file or shared library");
    if (ReadU16(image + 18) != ElfMachine())
        return Bad("Not a supported architecture");
    if (ReadU32(image + 20) != 1)
        return Bad("Unknown file version");
    if (ReadU16(image + Layout::kShentsize) != Layout::kSectionHeaderSize)
        return Bad("Unexpected section header size");

    const Word shoff = Layout::ReadWord(image + Layout::kShoff);
    const Word phoff = Layout::ReadWord(image + Layout::kPhoff);
    const uint16_t shnum = ReadU16(image + Layout::kShnum);
    const uint16_t phnum = ReadU16(image + Layout::kPhnum);
    // The bounds count entries, not bytes; the tables themselves are checked below.
    if (!(shoff < length()))
        return Bad("Out of bounds section header table offset");
    if (!(static_cast<Word>(shoff + shnum) < length()))
        return Bad("Out of bounds section header table");
    if (!(phoff < length()))
        return Bad("Out of bounds program header table offset");
    if (!(static_cast<Word>(phoff + phnum) < length()))
        return Bad("Out of bounds program header table");
    if (!IsInImage(shoff, uint64_t(Layout::kSectionHeaderSize) * shnum))
        return Bad("section header table outside image");
    if (!IsInImage(phoff, Layout::kProgramHeaderSize * phnum))
        return Bad("program header table outside image");
    m_SectionTableOffset = shoff;
    m_SectionCount = shnum;
    m_ProgramHeaderTableOffset = phoff;
    m_ProgramHeaderCount = phnum;

    Word extent = 0;
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader section = SectionAt(i);
        if (section.type != SHT_NOBITS)
            extent = std::max<Word>(extent, section.offset + section.size);
    }
    for (uint32_t i = 0; i < m_ProgramHeaderCount; ++i) {
        const ProgramHeader header = ProgramHeaderAt(i);
        extent = std::max<Word>(extent, header.offset + header.filesz);
    }
    extent = std::max<Word>(extent, phoff + static_cast<Word>(Layout::kProgramHeaderSize * phnum));
    extent = std::max<Word>(extent, shoff + static_cast<Word>(Layout::kSectionHeaderSize * shnum));
    ReduceLength(extent);
    return Good();
}

template <class Layout>
typename DisassemblerElf<Layout>::SectionHeader DisassemblerElf<Layout>::SectionAt(uint32_t index) const
{
    const uint8_t* header = FileOffsetToPointer(m_SectionTableOffset + uint64_t(Layout::kSectionHeaderSize) * index);
    SectionHeader section;
    section.type = ReadU32(header + Layout::kShType);
    section.addr = Layout::ReadWord(header + Layout::kShAddr);
    section.offset = Layout::ReadWord(header + Layout::kShOffset);
    section.size = Layout::ReadWord(header + Layout::kShSize);
    section.entsize = Layout::ReadWord(header + Layout::kShEntsize);
    return section;
}

template <class Layout>
typename DisassemblerElf<Layout>::ProgramHeader DisassemblerElf<Layout>::ProgramHeaderAt(uint32_t index) const
{
    const uint8_t* header = FileOffsetToPointer(m_ProgramHeaderTableOffset + Layout::kProgramHeaderSize * index);
    ProgramHeader program;
    program.type = ReadU32(header + Layout::kPhType);
    program.offset = Layout::ReadWord(header + Layout::kPhOffset);
    program.vaddr = Layout::ReadWord(header + Layout::kPhVaddr);
    program.filesz = Layout::ReadWord(header + Layout::kPhFilesz);
    program.memsz = Layout::ReadWord(header + Layout::kPhMemsz);
    return program;
}

template <class Layout>
uint32_t DisassemblerElf<Layout>::RelocationCount(const SectionHeader& section)
{
    if (section.entsize == 0)
        return 0;
    const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(section.size / section.entsize));
    return count < 0 ? 0 : static_cast<uint32_t>(count);
}

template <class Layout>
bool DisassemblerElf<Layout>::ReadRel(const SectionHeader& section, uint64_t index, Rel* rel) const
{
    // Entries are read with the class's own size whatever sh_entsize says, and only while they
    // lie whole inside the section, which lies inside the image.
    if (index >= section.size / Layout::kRelSize)
        return false;
    const uint8_t* entry = FileOffsetToPointer(uint64_t(section.offset) + index * Layout::kRelSize);
    rel->r_offset = Layout::ReadWord(entry);
    rel->r_info = Layout::ReadWord(entry + Layout::kRelSize / 2);
    return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::BuildIndexes()
{
    constexpr uint32_t kPtLoad = 1;
    for (uint32_t i = 0; i < m_ProgramHeaderCount; ++i) {
        const ProgramHeader header = ProgramHeaderAt(i);
        // p_vaddr <= rva < p_vaddr + p_memsz (modulo the word size) and rva - p_vaddr < p_filesz.
        const uint64_t memoryEnd = static_cast<Word>(header.vaddr + header.memsz);
        const uint64_t fileEnd = header.filesz > UINT64_MAX - header.vaddr ? UINT64_MAX : uint64_t(header.vaddr) + header.filesz;
        if (!m_FileDataSegments.Add(header.vaddr, std::min(memoryEnd, fileEnd), i))
            return false;
        if (header.type == kPtLoad && !m_LoadSegments.Add(header.vaddr, memoryEnd, i))
            return false;
    }
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader section = SectionAt(i);
        if (!m_SectionsByOffset.Add(section.offset, static_cast<Word>(section.offset + section.size), i))
            return false;
    }
    return m_FileDataSegments.Build() && m_LoadSegments.Build() && m_SectionsByOffset.Build();
}

template <class Layout>
bool DisassemblerElf<Layout>::RVAToFileOffset(uint32_t rva, uint64_t* offset) const
{
    const int64_t index = m_FileDataSegments.Find(rva);
    if (index < 0)
        return false;
    const ProgramHeader header = ProgramHeaderAt(static_cast<uint32_t>(index));
    *offset = static_cast<Word>(header.offset + (rva - header.vaddr));
    return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::IsInLoadSegment(uint32_t rva) const
{
    return m_LoadSegments.Find(rva) >= 0;
}

template <class Layout>
bool DisassemblerElf<Layout>::SectionInImage(const SectionHeader& section) const
{
    return IsInImage(section.offset, section.size);
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitRun(uint64_t begin, uint64_t end, AssemblyProgram* program)
{
    if (begin >= end)
        return true;
    if (!IsInImage(begin, end - begin) || end - begin > std::numeric_limits<uint32_t>::max())
        return false;
    m_RunBytes += end - begin;
    if (m_RunBytes > 2 * uint64_t(this->end() - start()))
        return false;
    return program->EmitMultipleBytes(FileOffsetToPointer(begin), static_cast<uint32_t>(end - begin));
}

template <class Layout>
bool DisassemblerElf<Layout>::AddRel32Site(TypedRVA* site)
{
    if (site && m_Rel32Locations.push_back(site))
        return true;
    delete site;
    return false;
}

template <class Layout>
bool DisassemblerElf<Layout>::Disassemble(AssemblyProgram* program)
{
    if (!ok())
        return false;
    program->set_image_base(0);

    // The bytes of these sections are read below; they must be there. Linkers never overlap
    // them, and sections that overlap over and over would be scanned over and over: code for
    // rel32 sites, relocations for abs32 locations (each pass adding its entries again).
    uint64_t scanned = 0;
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader section = SectionAt(i);
        if (section.type != SHT_PROGBITS && section.type != SHT_REL)
            continue;
        if (!SectionInImage(section))
            return false;
        scanned += section.size;
    }
    if (scanned > 2 * uint64_t(end() - start()) || !BuildIndexes())
        return false;

    if (!ParseAbs32Relocs())
        return false;
    if (!ParseRel32RelocsFromSections())
        return false;
    if (!ParseFile(program))
        return false;
    program->DefaultAssignIndexes();
    return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseAbs32Relocs()
{
    m_Abs32Locations.clear();
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader relocs = SectionAt(i);
        if (relocs.type != SHT_REL)
            continue;
        const uint32_t count = RelocationCount(relocs);
        Rel rel;
        for (uint32_t k = 0; k < count && ReadRel(relocs, k, &rel); ++k) {
            uint32_t rva;
            uint64_t offset;
            if (!IsRelativeRelocation(rel, &rva) || !RVAToFileOffset(rva, &offset))
                continue;
            // Kept only when the first section holding it carries code, data or relocations.
            const int64_t holder = m_SectionsByOffset.Find(offset);
            if (holder < 0)
                continue;
            const uint32_t type = SectionAt(static_cast<uint32_t>(holder)).type;
            if ((type == SHT_PROGBITS || type == SHT_REL) && !m_Abs32Locations.push_back(rva))
                return false;
        }
    }
    std::sort(m_Abs32Locations.data(), m_Abs32Locations.data() + m_Abs32Locations.size());
    return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseRel32RelocsFromSections()
{
    ClearRel32Locations();
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader section = SectionAt(i);
        if (section.type == SHT_PROGBITS && !ParseRel32RelocsFromSection(section))
            return false;
    }
    // Sections without addresses (comments, debug data) can yield sites at RVAs that code also
    // has; the stable sort keeps such ties in section-table order, so the earlier section's
    // site is the one emitted.
    std::stable_sort(m_Rel32Locations.data(), m_Rel32Locations.data() + m_Rel32Locations.size(),
                     [](const TypedRVA* a, const TypedRVA* b) { return a->rva() < b->rva(); });
    return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseFile(AssemblyProgram* program)
{
    m_Abs32FileOffsets.clear();
    for (std::size_t i = 0; i < m_Abs32Locations.size(); ++i) {
        uint64_t offset;
        if (!RVAToFileOffset(m_Abs32Locations[i], &offset) || !m_Abs32FileOffsets.push_back(offset))
            return false;
    }
    for (std::size_t i = 0; i < m_Rel32Locations.size(); ++i) {
        uint64_t offset;
        if (!RVAToFileOffset(m_Rel32Locations[i]->rva(), &offset))
            return false;
        m_Rel32Locations[i]->set_file_offset(static_cast<int64_t>(offset));
    }

    const std::size_t abs32Count = m_Abs32FileOffsets.size();
    std::size_t abs32Cursor = 0;
    std::size_t rel32Cursor = 0;
    m_RunBytes = 0;
    uint64_t pos = 0;
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const SectionHeader section = SectionAt(i);
        if (pos < section.offset && !EmitRun(pos, section.offset, program))
            return false;
        pos = section.offset;
        const Word sectionEnd = section.offset + section.size;
        auto holdsNextAbs32 = [&]() {
            return abs32Cursor < abs32Count && m_Abs32FileOffsets[abs32Cursor] >= section.offset
                && m_Abs32FileOffsets[abs32Cursor] < sectionEnd;
        };
        switch (section.type) {
        case SHT_PROGBITS:
            if (!ParseProgbitsSection(section, &abs32Cursor, &rel32Cursor, program))
                return false;
            pos = sectionEnd;
            break;
        case SHT_REL:
            if (!ParseRelocationSection(section, program))
                return false;
            pos = sectionEnd;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            for (; holdsNextAbs32(); ++abs32Cursor)
                LogStream(3) << "Skipping relocation entry for unsupported section: " << section.type;
            break;
        default:
            if (holdsNextAbs32())
                LogStream(3) << "Relocation address in unrecognized ELF section: " << section.type;
            break;
        }
    }
    // A last section placed past the end leaves nothing sound to emit.
    if (pos > length() || !EmitRun(pos, length(), program))
        return false;
    return abs32Cursor == abs32Count;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseProgbitsSection(const SectionHeader& section, std::size_t* abs32Cursor,
                                                   std::size_t* rel32Cursor, AssemblyProgram* program)
{
    if (!program->EmitOriginInstruction(static_cast<uint32_t>(section.addr)))
        return false;
    const uint8_t* image = start();
    const std::size_t abs32Count = m_Abs32FileOffsets.size();
    const std::size_t rel32Count = m_Rel32Locations.size();
    uint64_t pos = section.offset;
    const uint64_t end = pos + section.size;
    while (pos < end) {
        if (*abs32Cursor < abs32Count && m_Abs32FileOffsets[*abs32Cursor] < pos)
            return false;
        while (*rel32Cursor < rel32Count && uint64_t(m_Rel32Locations[*rel32Cursor]->file_offset()) < pos)
            ++*rel32Cursor;

        uint64_t stop = *abs32Cursor < abs32Count ? std::min(m_Abs32FileOffsets[*abs32Cursor], end) : end;
        if (*rel32Cursor < rel32Count) {
            // An abs32 location starting up to 3 bytes after a site wins over the site.
            const uint64_t site = uint64_t(m_Rel32Locations[*rel32Cursor]->file_offset());
            if (site < stop && stop - site > 3)
                stop = site;
        }
        if (stop > pos) {
            if (!EmitRun(pos, stop, program))
                return false;
            pos = stop;
        } else if (*abs32Cursor < abs32Count && m_Abs32FileOffsets[*abs32Cursor] == pos) {
            if (!IsInImage(pos, 4) || !program->EmitAbs32(program->FindOrMakeLabel(ReadU32(image + pos))))
                return false;
            ++*abs32Cursor;
            pos += 4;
        } else {
            // stop == pos and no abs32 location here: the stop is the current site.
            TypedRVA* site = m_Rel32Locations[*rel32Cursor];
            if (!site->EmitInstruction(program, SectionRVA(section, pos) + site->relative_target()))
                return false;
            ++*rel32Cursor;
            pos += site->OpSize();
        }
    }
    return true;
}

template class DisassemblerElf<Elf32Layout>;
template class DisassemblerElf<Elf64Layout>;

} // namespace vlpatch
