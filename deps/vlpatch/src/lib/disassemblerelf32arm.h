// Reader of 32-bit ARM ELF executables and shared libraries (e_machine 40), ARM and Thumb-2
// code alike. Branches are stored compressed: the opcode bits without the offset, which the
// assembler folds back in from the label.
#pragma once

#include "disassemblerelf.h"

namespace vlpatch {

// The ARM and Thumb branch forms the scan recognises; the numbers travel in patches.
enum ARMBranchKind : uint32_t {
    ARM_OFF8 = 0,  // Thumb 16-bit conditional branch
    ARM_OFF11 = 1, // Thumb 16-bit branch
    ARM_OFF24 = 2, // ARM B/BL
    ARM_OFF25 = 3, // Thumb-2 BL/BLX/B.W
    ARM_OFF21 = 4, // Thumb-2 conditional B.W
};

// Splits a branch op of the kind at the RVA into its compressed op and its target relative to
// the RVA. False for an unknown kind.
bool CompressBranch(uint32_t kind, uint32_t op, uint32_t rva, uint16_t* compressedOp, uint32_t* relativeAddress);

class TypedRVAARM : public DisassemblerElf32::TypedRVA {
public:
    TypedRVAARM(uint32_t kind, uint32_t rva) : TypedRVA(rva), m_Kind(kind) {}
    bool ComputeRelativeTarget(const uint8_t* op) override;
    bool EmitInstruction(AssemblyProgram* program, uint32_t targetRva) override;
    uint16_t OpSize() const override;

    uint32_t branch_kind() const { return m_Kind; }

private:
    uint32_t m_Kind;
    uint16_t m_CompressedOp = 0;
    const uint8_t* m_ArmOp = nullptr;
};

class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    DisassemblerElf32ARM(const void* start, std::size_t length) : DisassemblerElf32(start, length) {}

    ExecutableType kind() const override { return EXE_ELF_32_ARM; }
    uint16_t ElfMachine() const override { return 40; }
    bool IsRelativeRelocation(const Rel& rel, uint32_t* rva) const override;
    bool ParseRelocationSection(const SectionHeader& section, AssemblyProgram* program) override;
    bool ParseRel32RelocsFromSection(const SectionHeader& section) override;
};

} // namespace vlpatch
