#include "disassemblerwin32.h"

#include "assemblyprogram.h"
#include "logstream.h"

#include <algorithm>
#include <cstring>

namespace vlpatch {

namespace {

constexpr uint64_t kSectionHeaderSize = 40;
constexpr int kBaseRelocationDirectory = 5;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kRelocHighLow = 3;
constexpr uint32_t kRelocDir64 = 10;

} // namespace

DisassemblerWin32::DisassemblerWin32(const void* start, std::size_t length, bool x64)
    : Disassembler(start, length), m_X64(x64)
{
}

bool DisassemblerWin32::ParseHeader()
{
    if (length() < 64)
        return Bad("Too small");
    const uint8_t* image = start();
    if (image[0] != 'M' || image[1] != 'Z')
        return Bad("Not MZ");
    const uint32_t peOffset = ReadU32(image + 60);
    if (!(peOffset > 0 && peOffset < length() - 24))
        return Bad("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return Bad("Misaligned PE header");
    const uint8_t* pe = image + peOffset;
    if (std::memcmp(pe, "PE\0\0", 4) != 0)
        return Bad("no PE signature");

    m_NumberOfSections = ReadU16(pe + 6);
    m_SizeOfOptionalHeader = ReadU16(pe + 20);
    m_OptionalHeaderOffset = uint64_t(peOffset) + 24;
    if (m_OptionalHeaderOffset + m_SizeOfOptionalHeader >= length())
        return Bad("optional header past end of file");
    if (m_SizeOfOptionalHeader < 2)
        return Bad("optional header no magic");
    const uint8_t* optional = image + m_OptionalHeaderOffset;
    const uint16_t magic = ReadU16(optional);
    if (magic == kPe32PlusMagic) {
        m_Pe32Plus = true;
        m_DataDirectoriesOffset = 112;
    } else if (magic == kPe32Magic) {
        m_Pe32Plus = false;
        m_DataDirectoriesOffset = 96;
    } else {
        return Bad("unrecognized magic");
    }
    if (m_SizeOfOptionalHeader < m_DataDirectoriesOffset)
        return Bad("optional header too short");

    if (m_Pe32Plus) {
        m_ImageBase = ReadU64(optional + 24);
        m_NumberOfRvaAndSizes = static_cast<int32_t>(ReadU32(optional + 108));
    } else {
        m_ImageBase = ReadU32(optional + 28);
        m_NumberOfRvaAndSizes = static_cast<int32_t>(ReadU32(optional + 92));
    }
    m_SizeOfImage = ReadU32(optional + 56);

    // All nine are read before any result is judged.
    static const int kDirectories[] = {0, 1, 2, 3, kBaseRelocationDirectory, 11, 12, 13, 14};
    bool directoriesOk = true;
    for (int index : kDirectories) {
        DataDirectory directory;
        const bool read = ReadDataDirectory(index, &directory);
        directoriesOk = directoriesOk && read;
        if (index == kBaseRelocationDirectory)
            m_BaseRelocationTable = directory;
    }
    if (!directoriesOk)
        return Bad("malformed data directory");

    m_SectionTableOffset = m_OptionalHeaderOffset + m_SizeOfOptionalHeader;
    if (!IsInImage(m_SectionTableOffset, kSectionHeaderSize * m_NumberOfSections))
        return Bad("section table outside image");
    m_HasTextSection = false;
    uint32_t detectedLength = 0;
    for (uint32_t i = 0; i < m_NumberOfSections; ++i) {
        const Section section = SectionAt(i);
        m_HasTextSection = m_HasTextSection || section.is_text;
        // Raw data that the image does not hold could never be read; such a file is refused.
        if (section.size_of_raw_data != 0 && !IsInImage(section.pointer_to_raw_data, section.size_of_raw_data))
            return Bad("section outside image");
        detectedLength = std::max(detectedLength, section.pointer_to_raw_data + section.size_of_raw_data);
    }
    ReduceLength(detectedLength);

    if (!m_X64 && m_Pe32Plus)
        return Bad("64 bit executables are not supported by this disassembler");
    if (m_X64 && !m_Pe32Plus)
        return Bad("32 bit executables are not supported by this disassembler");
    if (!m_HasTextSection)
        return Bad("Resource-only executables are not yet supported");
    return Good();
}

bool DisassemblerWin32::ReadDataDirectory(int index, DataDirectory* directory)
{
    if (m_NumberOfRvaAndSizes <= index) {
        *directory = DataDirectory();
        return true;
    }
    const uint64_t offset = m_DataDirectoriesOffset + 8 * uint64_t(index);
    if (offset >= m_SizeOfOptionalHeader)
        return Bad("number of data directories inconsistent");
    const uint64_t entry = m_OptionalHeaderOffset + offset;
    if (!(entry + 8 < uint64_t(end() - start())))
        return Bad("data directory outside image");
    directory->rva = ReadU32(FileOffsetToPointer(entry));
    directory->size = ReadU32(FileOffsetToPointer(entry + 4));
    if (directory->size > m_SizeOfImage)
        return Bad("data directory size too big");
    return true;
}

DisassemblerWin32::Section DisassemblerWin32::SectionAt(uint32_t index) const
{
    const uint8_t* header = FileOffsetToPointer(m_SectionTableOffset + kSectionHeaderSize * index);
    Section section;
    section.virtual_size = ReadU32(header + 8);
    section.virtual_address = ReadU32(header + 12);
    section.size_of_raw_data = ReadU32(header + 16);
    section.pointer_to_raw_data = ReadU32(header + 20);
    section.is_text = std::memcmp(header, ".text", 6) == 0;
    return section;
}

int64_t DisassemblerWin32::RVAToFileOffset(uint32_t rva) const
{
    for (uint32_t i = 0; i < m_NumberOfSections; ++i) {
        const Section section = SectionAt(i);
        const uint32_t offsetInSection = rva - section.virtual_address;
        if (offsetInSection < section.virtual_size) {
            if (offsetInSection < section.size_of_raw_data)
                return int64_t(section.pointer_to_raw_data) + offsetInSection;
            return -1;
        }
    }
    if (rva == 0 || rva == 2)
        return rva;
    LogStream(1) << "REACHED UNREACHABLE";
    return -1;
}

bool DisassemblerWin32::SortSectionsByFileOffset()
{
    m_SectionsInFileOrder.clear();
    for (uint32_t i = 0; i < m_NumberOfSections; ++i) {
        if (SectionAt(i).size_of_raw_data != 0 && !m_SectionsInFileOrder.push_back(i))
            return false;
    }
    uint32_t* first = m_SectionsInFileOrder.data();
    std::sort(first, first + m_SectionsInFileOrder.size(), [this](uint32_t a, uint32_t b) {
        const uint32_t offsetA = SectionAt(a).pointer_to_raw_data;
        const uint32_t offsetB = SectionAt(b).pointer_to_raw_data;
        return offsetA != offsetB ? offsetA < offsetB : a < b;
    });
    return true;
}

bool DisassemblerWin32::ComputeRegionStartRVAs()
{
    // Sections in file order start at nondecreasing offsets. Every section that starts at or
    // before the offset goes into a heap ordered by table index; the lowest index whose raw
    // data still reaches past the offset holds it, and one that ends before an offset ends
    // before every later one too.
    const std::size_t count = m_SectionsInFileOrder.size();
    NoThrowBuffer<uint32_t, 64> active;
    m_RegionStartRVAs.clear();
    if (!m_RegionStartRVAs.reserve(count) || !active.reserve(count))
        return false;
    auto lowestFirst = [](uint32_t a, uint32_t b) { return a > b; };
    std::size_t started = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const uint64_t offset = SectionAt(m_SectionsInFileOrder[k]).pointer_to_raw_data;
        for (; started < count && SectionAt(m_SectionsInFileOrder[started]).pointer_to_raw_data <= offset; ++started) {
            active.push_back(m_SectionsInFileOrder[started]);
            std::push_heap(active.data(), active.data() + active.size(), lowestFirst);
        }
        uint32_t rva = 0;
        while (active.size() != 0) {
            const Section holder = SectionAt(active[0]);
            if (uint64_t(holder.pointer_to_raw_data) + holder.size_of_raw_data > offset) {
                rva = holder.virtual_address + static_cast<uint32_t>(offset - holder.pointer_to_raw_data);
                break;
            }
            std::pop_heap(active.data(), active.data() + active.size(), lowestFirst);
            active.resize(active.size() - 1, 0);
        }
        m_RegionStartRVAs.push_back(rva);
    }
    return true;
}

bool DisassemblerWin32::NextSectionInFileOrder(uint64_t pos, std::size_t* cursor, Section* section,
                                               uint32_t* startRva) const
{
    while (*cursor < m_SectionsInFileOrder.size()) {
        *section = SectionAt(m_SectionsInFileOrder[*cursor]);
        *startRva = m_RegionStartRVAs[*cursor];
        ++*cursor;
        if (section->pointer_to_raw_data >= pos)
            return true;
    }
    return false;
}

bool DisassemblerWin32::Disassemble(AssemblyProgram* program)
{
    if (!ok())
        return false;
    program->set_image_base(m_ImageBase);

    m_Abs32Locations.clear();
    if (!ParseRelocs())
        return false;

    m_Rel32Locations.clear();
    if (!SortSectionsByFileOffset() || !ComputeRegionStartRVAs())
        return false;
    std::size_t cursor = 0;
    Section section;
    uint32_t startRva = 0;
    for (uint64_t pos = 0; pos < length() && NextSectionInFileOrder(pos, &cursor, &section, &startRva);) {
        if (section.is_text)
            ParseRel32RelocsFromSection(section, startRva);
        if (m_Rel32Locations.failed())
            return false;
        pos = uint64_t(section.pointer_to_raw_data) + section.size_of_raw_data;
    }
    std::sort(m_Rel32Locations.data(), m_Rel32Locations.data() + m_Rel32Locations.size());

    if (!ParseFile(program))
        return false;
    program->DefaultAssignIndexes();
    return true;
}

bool DisassemblerWin32::ParseRelocs()
{
    if (m_BaseRelocationTable.size == 0)
        return true;
    const int64_t relocsStart = RVAToFileOffset(m_BaseRelocationTable.rva);
    if (relocsStart == -1)
        return Bad(".relocs outside image");
    const uint64_t imageSize = uint64_t(end() - start());
    const uint64_t relocsEnd = uint64_t(relocsStart) + m_BaseRelocationTable.size;
    if (!(uint64_t(relocsStart) < imageSize && relocsEnd > 0 && relocsEnd <= imageSize))
        return Bad(".relocs outside image");

    const uint32_t keptType = m_X64 ? kRelocDir64 : kRelocHighLow;
    if (m_BaseRelocationTable.size > 8) {
        // Every block header read here lies before relocsEnd, which lies inside the image.
        uint64_t block = uint64_t(relocsStart);
        do {
            const uint32_t pageRva = ReadU32(FileOffsetToPointer(block));
            const uint32_t blockSize = ReadU32(FileOffsetToPointer(block + 4));
            if (blockSize < 8 || blockSize % 4 != 0)
                return Bad("unreasonable relocs block");
            const uint64_t next = block + blockSize;
            if (!(next > 0 && next <= imageSize))
                return Bad(".relocs block outside image");
            for (uint64_t entryOffset = block + 8; entryOffset < next; entryOffset += 2) {
                const uint16_t entry = ReadU16(FileOffsetToPointer(entryOffset));
                const uint32_t type = entry >> 12;
                if (type == 0)
                    continue;
                if (type != keptType)
                    return Bad("unknown type of reloc");
                if (!m_Abs32Locations.push_back(pageRva + (entry & 0xFFFu)))
                    return false;
            }
            block = next;
        } while (block + 8 < relocsEnd);
    }
    std::sort(m_Abs32Locations.data(), m_Abs32Locations.data() + m_Abs32Locations.size());
    return true;
}

void DisassemblerWin32::ParseRel32RelocsFromSection(const Section& section, uint32_t startRva)
{
    const uint64_t begin = section.pointer_to_raw_data;
    const uint64_t end = begin + section.size_of_raw_data;
    const uint32_t endRva = startRva + section.virtual_size;
    const uint8_t* image = start();
    auto rvaAt = [&](uint64_t offset) { return startRva + static_cast<uint32_t>(offset - begin); };

    const uint32_t* abs32 = m_Abs32Locations.data();
    const std::size_t abs32Count = m_Abs32Locations.size();
    std::size_t abs32Cursor = 0;

    uint64_t p = begin;
    while (p < end) {
        if (rvaAt(p) == m_BaseRelocationTable.rva && m_BaseRelocationTable.size != 0) {
            p += m_BaseRelocationTable.size;
            continue;
        }
        bool ripRelative;
        const unsigned at = X86Rel32OperandOffset(image + p, end - p, m_X64, &ripRelative);
        if (at == 0) {
            p += 1;
            continue;
        }
        const uint64_t operand = p + at;

        const uint32_t operandRva = rvaAt(operand);
        while (abs32Cursor < abs32Count && abs32[abs32Cursor] < operandRva - 3)
            ++abs32Cursor;
        if (abs32Cursor < abs32Count && abs32[abs32Cursor] < operandRva + 4) {
            // The operand overlaps a relocated word: skip the candidate together with the word.
            // The distance is taken from p, in RVA arithmetic, because the word may start just
            // before the section; it is at least 2, as the word starts at most 3 bytes before
            // the operand.
            p += static_cast<uint32_t>(abs32[abs32Cursor] + 4 - rvaAt(p));
            continue;
        }

        const uint32_t target = operandRva + 4 + ReadU32(image + operand);
        if (target < m_SizeOfImage && (ripRelative || (startRva <= target && target < endRva))) {
            if (!m_Rel32Locations.push_back(operandRva))
                return;
            p = operand + 4;
        } else {
            p += 1;
        }
    }
}

bool DisassemblerWin32::ParseFile(AssemblyProgram* program)
{
    const uint8_t* image = start();
    std::size_t cursor = 0;
    Section section;
    uint32_t startRva = 0;
    for (uint64_t pos = 0; pos < length() && NextSectionInFileOrder(pos, &cursor, &section, &startRva);) {
        for (; pos < section.pointer_to_raw_data; ++pos) {
            if (!program->EmitByteInstruction(image[pos]))
                return false;
        }
        const uint64_t regionEnd = uint64_t(section.pointer_to_raw_data) + section.size_of_raw_data;
        if (!ParseFileRegion(section.pointer_to_raw_data, regionEnd, startRva, program))
            return false;
        pos = regionEnd;
    }
    return true;
}

bool DisassemblerWin32::ParseFileRegion(uint64_t begin, uint64_t end, uint32_t startRva, AssemblyProgram* program)
{
    const uint8_t* image = start();
    if (!program->EmitOriginInstruction(startRva))
        return false;

    const uint32_t* abs32 = m_Abs32Locations.data();
    const std::size_t abs32Count = m_Abs32Locations.size();
    const uint32_t* rel32 = m_Rel32Locations.data();
    const std::size_t rel32Count = m_Rel32Locations.size();
    std::size_t abs32Cursor = 0;
    std::size_t rel32Cursor = 0;
    const uint32_t imageBase = static_cast<uint32_t>(m_ImageBase);

    uint64_t p = begin;
    while (p < end) {
        const uint32_t rva = startRva + static_cast<uint32_t>(p - begin);
        if (rva == m_BaseRelocationTable.rva) {
            if (!program->EmitPeRelocsInstruction())
                return false;
            if (m_BaseRelocationTable.size != 0) {
                p += m_BaseRelocationTable.size;
                continue;
            }
        }

        while (abs32Cursor < abs32Count && abs32[abs32Cursor] < rva)
            ++abs32Cursor;
        // A relocated word must be read whole from the image.
        if (abs32Cursor < abs32Count && abs32[abs32Cursor] == rva && IsInImage(p, 4)) {
            Label* label = program->FindOrMakeLabel(ReadU32(image + p) - imageBase);
            if (!program->EmitAbs32(label))
                return false;
            p += 4;
            continue;
        }

        while (rel32Cursor < rel32Count && rel32[rel32Cursor] < rva)
            ++rel32Cursor;
        if (rel32Cursor < rel32Count && rel32[rel32Cursor] == rva && IsInImage(p, 4)) {
            Label* label = program->FindOrMakeRel32Label(rva + 4 + ReadU32(image + p));
            if (!program->EmitRel32(label))
                return false;
            p += 4;
            continue;
        }

        if (!program->EmitByteInstruction(image[p]))
            return false;
        p += 1;
    }
    return true;
}

} // namespace vlpatch
