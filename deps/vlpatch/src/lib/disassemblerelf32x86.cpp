#include "disassemblerelf32x86.h"

#include "assemblyprogram.h"

namespace vlpatch {

namespace {

constexpr uint32_t kR386Relative = 8;

uint32_t ReadLittleEndian32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
        | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

bool TypedRVAX86::ComputeRelativeTarget(const uint8_t* op)
{
    set_relative_target(ReadLittleEndian32(op) + 4);
    return true;
}

bool TypedRVAX86::EmitInstruction(AssemblyProgram* program, uint32_t targetRva)
{
    return program->EmitRel32(program->FindOrMakeRel32Label(targetRva));
}

bool DisassemblerElf32X86::IsRelativeRelocation(const Rel& rel, uint32_t* rva) const
{
    if (rel.r_info != kR386Relative)
        return false;
    *rva = rel.r_offset;
    return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program)
{
    const uint64_t begin = section.offset;
    const uint64_t end = begin + section.size;
    const RVABuffer& abs32 = abs32_locations();
    bool matches = !abs32.empty() && abs32.size() <= RelocationCount(section);
    for (std::size_t i = 0; matches && i < abs32.size(); ++i) {
        Rel rel;
        matches = ReadRel(section, i, &rel) && rel.r_info == kR386Relative && rel.r_offset == abs32[i];
    }
    if (!matches)
        return EmitRun(begin, end, program);
    if (!program->EmitElfRelocationInstruction())
        return false;
    // The matched entries lie inside the section, so the rest starts inside it too.
    return EmitRun(begin + Elf32Layout::kRelSize * abs32.size(), end, program);
}

bool DisassemblerElf32X86::ParseRel32RelocsFromSection(const SectionHeader& section)
{
    return ScanX86Section<TypedRVAX86>(section, false);
}

} // namespace vlpatch
