// Reader of 32-bit x86 ELF executables and shared libraries (e_machine 3). Its R_386_RELATIVE
// relocations give the abs32 locations; a relocation section that starts with exactly those
// entries is rebuilt by the assembler instead of being stored.
#pragma once

#include "disassemblerelf.h"

namespace vlpatch {

// An x86 rel32 operand: the target is the operand's RVA + 4 + the operand.
class TypedRVAX86 : public DisassemblerElf32::TypedRVA {
public:
    explicit TypedRVAX86(uint32_t rva) : TypedRVA(rva) {}
    bool ComputeRelativeTarget(const uint8_t* op) override;
    bool EmitInstruction(AssemblyProgram* program, uint32_t targetRva) override;
    uint16_t OpSize() const override { return 4; }
};

class DisassemblerElf32X86 : public DisassemblerElf32 {
public:
    DisassemblerElf32X86(const void* start, std::size_t length) : DisassemblerElf32(start, length) {}

    ExecutableType kind() const override { return EXE_ELF_32_X86; }
    uint16_t ElfMachine() const override { return 3; }
    bool IsRelativeRelocation(const Rel& rel, uint32_t* rva) const override;
    bool ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program) override;
    bool ParseRel32RelocsFromSection(const SectionHeader& section) override;
};

} // namespace vlpatch
