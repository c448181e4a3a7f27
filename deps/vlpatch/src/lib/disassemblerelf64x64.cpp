#include "disassemblerelf64x64.h"

#include "assemblyprogram.h"

namespace vlpatch {

bool TypedRVAX64::ComputeRelativeTarget(const uint8_t* op)
{
    const uint32_t operand = static_cast<uint32_t>(op[0]) | (static_cast<uint32_t>(op[1]) << 8)
        | (static_cast<uint32_t>(op[2]) << 16) | (static_cast<uint32_t>(op[3]) << 24);
    set_relative_target(operand + 4);
    return true;
}

bool TypedRVAX64::EmitInstruction(AssemblyProgram* program, uint32_t targetRva)
{
    return program->EmitRel32(program->FindOrMakeRel32Label(targetRva));
}

bool DisassemblerElf64X64::IsRelativeRelocation(const Rel&, uint32_t*) const
{
    return false;
}

bool DisassemblerElf64X64::ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program)
{
    return EmitRun(section.offset, uint64_t(section.offset) + section.size, program);
}

bool DisassemblerElf64X64::ParseRel32RelocsFromSection(const SectionHeader& section)
{
    return ScanX86Section<TypedRVAX64>(section, true);
}

} // namespace vlpatch
