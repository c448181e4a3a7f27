// Reader of x86-64 ELF executables and shared libraries (e_machine 62). Its relocations are
// RELA and carry no abs32 locations here; only rel32 sites, RIP-relative operands included,
// become labels.
#pragma once

#include "disassemblerelf.h"

namespace vlpatch {

// An x86-64 rel32 or RIP-relative operand: the target is the operand's RVA + 4 + the operand.
class TypedRVAX64 : public DisassemblerElf64::TypedRVA {
public:
    explicit TypedRVAX64(uint32_t rva) : TypedRVA(rva) {}
    bool ComputeRelativeTarget(const uint8_t* op) override;
    bool EmitInstruction(AssemblyProgram* program, uint32_t targetRva) override;
    uint16_t OpSize() const override { return 4; }
};

class DisassemblerElf64X64 : public DisassemblerElf64 {
public:
    DisassemblerElf64X64(const void* start, std::size_t length) : DisassemblerElf64(start, length) {}

    ExecutableType kind() const override { return EXE_ELF_64_X64; }
    uint16_t ElfMachine() const override { return 62; }
    bool IsRelativeRelocation(const Rel& rel, uint32_t* rva) const override;
    bool ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program) override;
    bool ParseRel32RelocsFromSection(const SectionHeader& section) override;
};

} // namespace vlpatch
