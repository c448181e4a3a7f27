#include "disassemblerelf32arm.h"

#include "assemblyprogram.h"

#include <algorithm>

namespace vlpatch {

namespace {

constexpr uint32_t kRArmRelative = 23;

uint32_t Read16(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

uint32_t Read32(const uint8_t* p)
{
    return Read16(p) | (Read16(p + 2) << 16);
}

// Sign-extends value from its bit number `bit`.
uint32_t SignExtend(uint32_t value, int bit)
{
    const uint32_t sign = 1u << bit;
    return (value & sign) ? value | ~(sign | (sign - 1)) : value;
}

} // namespace

bool CompressBranch(uint32_t kind, uint32_t op, uint32_t rva, uint16_t* compressedOp, uint32_t* relativeAddress)
{
    uint32_t c;
    uint32_t a;
    switch (kind) {
    case ARM_OFF8:
        a = SignExtend((op << 1) & 0x1FE, 8) + 4;
        c = (op >> 8) | 0x1000;
        break;
    case ARM_OFF11:
        a = SignExtend((op << 1) & 0xFFE, 11) + 4;
        c = (op >> 11) | 0x2000;
        break;
    case ARM_OFF24:
        a = SignExtend((op << 2) & 0x3FFFFFC, 25) + 8;
        c = (op >> 24) | 0x3000;
        break;
    case ARM_OFF25: {
        const uint32_t s = (op >> 26) & 1;
        const uint32_t t = (((op >> 4) & 0x3FF000) | ((op << 1) & 0xFFE) | (s << 24)
                            | ((((op >> 13) ^ (op >> 26)) & 1) << 23) | ((((op >> 11) ^ (op >> 26)) & 1) << 22))
            ^ 0xC00000;
        // BLX lands on a 4-byte boundary: from a half-word aligned op the offset counts from 2.
        const bool blx = (op & 0x4000) && !(op & 0x1000);
        const uint32_t d = blx && (rva & 3) ? 2 : 4;
        a = (s ? t | 0xFE000000 : t) + d;
        c = ((op & 0x4000) >> 13) | ((op >> 12) & 1) | ((op >> 13) & 4) | ((op >> 24) & 0xF8) | (d << 8) | 0x4000;
        break;
    }
    case ARM_OFF21: {
        const uint32_t s = (op >> 26) & 1;
        const uint32_t t = ((op >> 6) & 0x100000) | ((op >> 4) & 0x3F000) | ((op << 1) & 0xFFE) | ((op << 6) & 0x80000)
            | ((op << 7) & 0x40000);
        a = (s ? t | 0xFFE00000 : t) + 4;
        c = ((op >> 22) & 15) | 0x5000;
        break;
    }
    default:
        return false;
    }
    *compressedOp = static_cast<uint16_t>(c);
    *relativeAddress = a;
    return true;
}

bool TypedRVAARM::ComputeRelativeTarget(const uint8_t* op)
{
    m_ArmOp = op;
    uint32_t word;
    switch (m_Kind) {
    case ARM_OFF8:
    case ARM_OFF11:
        word = Read16(op);
        break;
    case ARM_OFF24:
        word = Read32(op);
        break;
    default:
        word = (Read16(op) << 16) | Read16(op + 2);
        break;
    }
    uint32_t relative;
    if (!CompressBranch(m_Kind, word, rva(), &m_CompressedOp, &relative))
        return false;
    set_relative_target(relative);
    return true;
}

bool TypedRVAARM::EmitInstruction(AssemblyProgram* program, uint32_t targetRva)
{
    return program->EmitRel32ARM(m_CompressedOp, program->FindOrMakeRel32Label(targetRva), m_ArmOp, OpSize());
}

uint16_t TypedRVAARM::OpSize() const
{
    switch (m_Kind) {
    case ARM_OFF8:
    case ARM_OFF11:
        return 2;
    case ARM_OFF24:
    case ARM_OFF25:
    case ARM_OFF21:
        return 4;
    default:
        return 0xFFFF;
    }
}

bool DisassemblerElf32ARM::IsRelativeRelocation(const Rel& rel, uint32_t* rva) const
{
    if (rel.r_info != kRArmRelative)
        return false;
    *rva = rel.r_offset;
    return true;
}

bool DisassemblerElf32ARM::ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program)
{
    const uint64_t begin = section.offset;
    const uint64_t end = begin + section.size;
    const RVABuffer& abs32 = abs32_locations();
    if (abs32.empty())
        return EmitRun(begin, end, program);
    // Every run below starts at an entry boundary that may lie past the section; it is clamped
    // to the section, and nothing is emitted when nothing of it is left.
    auto entryOffset = [&](uint64_t index) { return std::min(end, begin + Elf32Layout::kRelSize * index); };

    const uint32_t count = RelocationCount(section);
    uint64_t index = 0;
    Rel rel;
    while (index < count && ReadRel(section, index, &rel) && rel.r_offset != abs32[0]) {
        if (!EmitRun(entryOffset(index), entryOffset(index + 1), program))
            return false;
        ++index;
    }
    if (abs32.size() > count)
        return EmitRun(entryOffset(index), end, program);

    for (std::size_t i = 0; i < abs32.size(); ++i) {
        if (!ReadRel(section, index + i, &rel) || rel.r_info != kRArmRelative || rel.r_offset != abs32[i]) {
            // The matched entries and the mismatching one are dropped, not written raw.
            return EmitRun(entryOffset(index + i + 1), end, program);
        }
    }
    if (!program->EmitElfARMRelocationInstruction())
        return false;
    return EmitRun(entryOffset(index + abs32.size()), end, program);
}

bool DisassemblerElf32ARM::ParseRel32RelocsFromSection(const SectionHeader& section)
{
    const uint8_t* image = start();
    const uint64_t begin = section.offset;
    const uint64_t end = begin + section.size;
    bool aligned = true;
    uint64_t p = begin;
    while (p < end) {
        const uint64_t left = end - p;
        bool hit = false;
        uint32_t kind = 0;
        if (left >= 3) {
            const uint32_t hw = Read16(image + p);
            if ((hw & 0xF000) == 0xD000) {
                hit = true;
                kind = ARM_OFF8;
            } else if ((hw & 0xF800) == 0xE000) {
                hit = true;
                kind = ARM_OFF11;
            } else if (left >= 5) {
                const uint32_t second = Read16(image + p + 2);
                const uint32_t w = (hw << 16) | second;
                if ((w & 0xF8008000) == 0xF0008000) {
                    hit = true;
                    kind = (second & 0x5000) ? ARM_OFF25 : ARM_OFF21;
                } else if (aligned && (Read32(image + p) & 0x0E000000) == 0x0A000000) {
                    hit = true;
                    kind = ARM_OFF24;
                }
            }
        }
        if (!hit) {
            p += 2;
            aligned = !aligned;
            continue;
        }
        const uint32_t rva = SectionRVA(section, p);
        TypedRVAARM candidate(kind, rva);
        if (!candidate.ComputeRelativeTarget(image + p))
            return false;
        if (IsInLoadSegment(rva + candidate.relative_target())) {
            if (!AddRel32Site(new (std::nothrow) TypedRVAARM(candidate)))
                return false;
            p += candidate.OpSize();
            aligned = true;
        } else {
            p += 2;
            aligned = !aligned;
        }
    }
    return true;
}

} // namespace vlpatch
