// What a disassembler makes of an executable: instructions in file order, where every
// recognised pointer (abs32) and relative branch (rel32) refers to a label instead of its bytes.
// Label numbering, trimming and encoding decide the encoded program that stored patches correct.
#pragma once

#include "executabletype.h"
#include "nothrowbuffer.h"

#include <cstddef>
#include <cstdint>
#include <map>

namespace vlpatch {

class EncodedProgram;

// A target address; index is -1 until the labels are numbered, count is the number of
// references emitted for it.
struct Label {
    explicit Label(uint32_t rva_) : rva(rva_) {}

    uint32_t rva;
    int32_t index = -1;
    int32_t count = 0;
};

enum class InstructionKind : uint32_t {
    ORIGIN = 0,
    PE_MAKE_RELOCS = 1,
    ELF_MAKE_RELOCS = 2,
    BYTE = 3,
    REL32 = 4,
    ABS32 = 5,
    REL32_ARM = 6,
    ELF_ARM_MAKE_RELOCS = 7,
    MULTIPLE_BYTES = 8,
};

// One instruction word: the kind in the low 4 bits, a kind-specific value above (the literal
// byte of a BYTE instruction). The make-relocation kinds carry nothing else.
class Instruction {
public:
    explicit Instruction(InstructionKind kind, uint32_t info = 0)
        : m_Word(static_cast<uint32_t>(kind) | (info << 4))
    {
    }
    virtual ~Instruction() = default;
    Instruction(const Instruction&) = delete;
    Instruction& operator=(const Instruction&) = delete;

    InstructionKind kind() const { return static_cast<InstructionKind>(m_Word & 0xF); }
    uint32_t info() const { return m_Word >> 4; }

private:
    uint32_t m_Word;
};

class OriginInstruction : public Instruction {
public:
    explicit OriginInstruction(uint32_t rva) : Instruction(InstructionKind::ORIGIN), m_Rva(rva) {}
    uint32_t rva() const { return m_Rva; }

private:
    uint32_t m_Rva;
};

// A literal run of bytes inside the image being disassembled.
class MultipleBytesInstruction : public Instruction {
public:
    MultipleBytesInstruction(const uint8_t* bytes, uint32_t count)
        : Instruction(InstructionKind::MULTIPLE_BYTES), m_Bytes(bytes), m_Count(count)
    {
    }
    const uint8_t* bytes() const { return m_Bytes; }
    uint32_t count() const { return m_Count; }

private:
    const uint8_t* m_Bytes;
    uint32_t m_Count;
};

// REL32 or ABS32 reference.
class InstructionWithLabel : public Instruction {
public:
    InstructionWithLabel(InstructionKind kind, Label* label) : Instruction(kind), m_Label(label) {}
    Label* label() const { return m_Label; }

private:
    Label* m_Label;
};

// ARM branch: the compressed op, and the op's own bytes in the image for when its label is
// trimmed and the branch must go back to literal bytes.
class InstructionWithLabelARM : public InstructionWithLabel {
public:
    InstructionWithLabelARM(uint16_t compressedOp, Label* label, const uint8_t* armOp, uint16_t opSize)
        : InstructionWithLabel(InstructionKind::REL32_ARM, label), m_CompressedOp(compressedOp),
          m_ArmOp(armOp), m_OpSize(opSize)
    {
    }
    uint16_t compressed_op() const { return m_CompressedOp; }
    const uint8_t* arm_op() const { return m_ArmOp; }
    uint16_t op_size() const { return m_OpSize; }

private:
    uint16_t m_CompressedOp;
    const uint8_t* m_ArmOp;
    uint16_t m_OpSize;
};

class AssemblyProgram {
public:
    using RVAToLabel = std::map<uint32_t, Label>;
    using InstructionVector = NoThrowBuffer<Instruction*, 32>;

    explicit AssemblyProgram(ExecutableType kind);
    ~AssemblyProgram();
    AssemblyProgram(const AssemblyProgram&) = delete;
    AssemblyProgram& operator=(const AssemblyProgram&) = delete;

    ExecutableType kind() const { return m_Kind; }
    uint64_t image_base() const { return m_ImageBase; }
    void set_image_base(uint64_t imageBase) { m_ImageBase = imageBase; }

    // Each returns false when the instruction or the list cannot grow.
    bool EmitOriginInstruction(uint32_t rva);
    bool EmitPeRelocsInstruction();
    bool EmitElfRelocationInstruction();
    bool EmitElfARMRelocationInstruction();
    bool EmitByteInstruction(uint8_t byte);
    bool EmitMultipleBytes(const uint8_t* bytes, uint32_t count);
    bool EmitRel32(Label* label);
    bool EmitAbs32(Label* label);
    bool EmitRel32ARM(uint16_t compressedOp, Label* label, const uint8_t* armOp, uint16_t opSize);

    // The abs32 (FindOrMakeLabel) or rel32 label of the RVA, created when absent; every call
    // counts one reference. Null when no memory is left.
    Label* FindOrMakeLabel(uint32_t rva);
    Label* FindOrMakeRel32Label(uint32_t rva);

    // Numbers the abs32 labels, then the rel32 labels, each map in ascending RVA order from 0.
    void DefaultAssignIndexes();

    // ELF ARM programs only: drops rel32 labels referenced five times or less and turns their
    // branches back into literal bytes. False when a branch cannot be turned back.
    bool TrimLabels();

    // A new encoded program, or null when it cannot be built.
    EncodedProgram* Encode() const;

    const InstructionVector& instructions() const { return m_Instructions; }
    const RVAToLabel& abs32_labels() const { return m_Abs32Labels; }
    const RVAToLabel& rel32_labels() const { return m_Rel32Labels; }

private:
    Instruction* GetByteInstruction(uint8_t byte);
    bool Emit(Instruction* instruction);
    bool EmitWithLabel(InstructionKind kind, Label* label);
    static Label* FindOrMakeLabelIn(RVAToLabel* labels, uint32_t rva);
    static void AssignIndexes(RVAToLabel* labels);
    bool EncodeInstruction(const Instruction& instruction, EncodedProgram* encoded) const;

    ExecutableType m_Kind;
    Instruction* m_ByteInstructions[256] = {};
    bool m_HaveByteInstructions = false;
    uint64_t m_ImageBase = 0;
    InstructionVector m_Instructions;
    RVAToLabel m_Rel32Labels;
    RVAToLabel m_Abs32Labels;
};

// Status-returning forms used by the ensemble patch and the container: TrimLabels gives 1 or 28,
// EncodeProgram 1 or 2 (encoded set to null on failure).
int TrimLabels(AssemblyProgram* program);
int EncodeProgram(AssemblyProgram* program, EncodedProgram** encoded);
void DeleteAssemblyProgram(AssemblyProgram* program);

} // namespace vlpatch
