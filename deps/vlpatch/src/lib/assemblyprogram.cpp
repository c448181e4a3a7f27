#include "assemblyprogram.h"

#include "encodedprogram.h"
#include "logstream.h"
#include "status.h"

#include <memory>
#include <new>

namespace vlpatch {

namespace {

// Branches whose label has this many references or fewer are cheaper as literal bytes.
constexpr int32_t kTrimThreshold = 5;

} // namespace

AssemblyProgram::AssemblyProgram(ExecutableType kind) : m_Kind(kind) {}

AssemblyProgram::~AssemblyProgram()
{
    for (std::size_t i = 0; i < m_Instructions.size(); ++i) {
        if (m_Instructions[i]->kind() != InstructionKind::BYTE)
            delete m_Instructions[i];
    }
    for (Instruction* instruction : m_ByteInstructions)
        delete instruction;
}

Instruction* AssemblyProgram::GetByteInstruction(uint8_t byte)
{
    if (!m_HaveByteInstructions) {
        for (uint32_t value = 0; value < 256; ++value) {
            m_ByteInstructions[value] = new (std::nothrow) Instruction(InstructionKind::BYTE, value);
            if (!m_ByteInstructions[value]) {
                for (Instruction*& instruction : m_ByteInstructions) {
                    delete instruction;
                    instruction = nullptr;
                }
                return nullptr;
            }
        }
        m_HaveByteInstructions = true;
    }
    return m_ByteInstructions[byte];
}

bool AssemblyProgram::Emit(Instruction* instruction)
{
    if (!instruction)
        return false;
    if (m_Instructions.push_back(instruction))
        return true;
    if (instruction->kind() != InstructionKind::BYTE)
        delete instruction;
    return false;
}

bool AssemblyProgram::EmitOriginInstruction(uint32_t rva)
{
    return Emit(new (std::nothrow) OriginInstruction(rva));
}

bool AssemblyProgram::EmitPeRelocsInstruction()
{
    return Emit(new (std::nothrow) Instruction(InstructionKind::PE_MAKE_RELOCS));
}

bool AssemblyProgram::EmitElfRelocationInstruction()
{
    return Emit(new (std::nothrow) Instruction(InstructionKind::ELF_MAKE_RELOCS));
}

bool AssemblyProgram::EmitElfARMRelocationInstruction()
{
    return Emit(new (std::nothrow) Instruction(InstructionKind::ELF_ARM_MAKE_RELOCS));
}

bool AssemblyProgram::EmitByteInstruction(uint8_t byte)
{
    return Emit(GetByteInstruction(byte));
}

bool AssemblyProgram::EmitMultipleBytes(const uint8_t* bytes, uint32_t count)
{
    return Emit(new (std::nothrow) MultipleBytesInstruction(bytes, count));
}

bool AssemblyProgram::EmitWithLabel(InstructionKind kind, Label* label)
{
    if (!label) {
        LogStream(1) << "REACHED UNREACHABLE";
        return false;
    }
    return Emit(new (std::nothrow) InstructionWithLabel(kind, label));
}

bool AssemblyProgram::EmitRel32(Label* label)
{
    return EmitWithLabel(InstructionKind::REL32, label);
}

bool AssemblyProgram::EmitAbs32(Label* label)
{
    return EmitWithLabel(InstructionKind::ABS32, label);
}

bool AssemblyProgram::EmitRel32ARM(uint16_t compressedOp, Label* label, const uint8_t* armOp, uint16_t opSize)
{
    if (!label) {
        LogStream(1) << "REACHED UNREACHABLE";
        return false;
    }
    return Emit(new (std::nothrow) InstructionWithLabelARM(compressedOp, label, armOp, opSize));
}

Label* AssemblyProgram::FindOrMakeLabelIn(RVAToLabel* labels, uint32_t rva)
{
    // The map allocates through the throwing operator new; the patcher reports, never throws.
    try {
        Label& label = labels->try_emplace(rva, rva).first->second;
        ++label.count;
        return &label;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Label* AssemblyProgram::FindOrMakeLabel(uint32_t rva)
{
    return FindOrMakeLabelIn(&m_Abs32Labels, rva);
}

Label* AssemblyProgram::FindOrMakeRel32Label(uint32_t rva)
{
    return FindOrMakeLabelIn(&m_Rel32Labels, rva);
}

void AssemblyProgram::AssignIndexes(RVAToLabel* labels)
{
    int32_t index = 0;
    for (auto& entry : *labels) {
        Label& label = entry.second;
        if (label.index != -1)
            LogStream(1) << "REACHED UNREACHABLE";
        label.index = index++;
    }
}

void AssemblyProgram::DefaultAssignIndexes()
{
    AssignIndexes(&m_Abs32Labels);
    AssignIndexes(&m_Rel32Labels);
}

bool AssemblyProgram::TrimLabels()
{
    if (m_Kind != EXE_ELF_32_ARM)
        return true;
    LogStream(3) << "TrimLabels: threshold " << kTrimThreshold;

    // Decide from the counts before anything is freed, rewrite the branches, and only then drop
    // the labels, so that no instruction is left pointing at a freed label.
    auto trimmed = [](const Label* label) { return label->count <= kTrimThreshold; };
    for (std::size_t i = 0; i < m_Instructions.size(); ++i) {
        Instruction* instruction = m_Instructions[i];
        if (instruction->kind() == InstructionKind::REL32) {
            // A plain rel32 reference cannot become bytes; dropping its label would leave it
            // dangling.
            if (trimmed(static_cast<InstructionWithLabel*>(instruction)->label()))
                return false;
            continue;
        }
        if (instruction->kind() != InstructionKind::REL32_ARM)
            continue;
        auto* branch = static_cast<InstructionWithLabelARM*>(instruction);
        if (!trimmed(branch->label()))
            continue;
        if (branch->op_size() == 0)
            return false;
        Instruction* bytes = new (std::nothrow) MultipleBytesInstruction(branch->arm_op(), branch->op_size());
        if (!bytes)
            return false;
        m_Instructions[i] = bytes;
        delete branch;
    }
    for (auto it = m_Rel32Labels.begin(); it != m_Rel32Labels.end();) {
        if (trimmed(&it->second))
            it = m_Rel32Labels.erase(it);
        else
            ++it;
    }
    return true;
}

bool AssemblyProgram::EncodeInstruction(const Instruction& instruction, EncodedProgram* encoded) const
{
    switch (instruction.kind()) {
    case InstructionKind::ORIGIN:
        return encoded->AddOrigin(static_cast<const OriginInstruction&>(instruction).rva());
    case InstructionKind::PE_MAKE_RELOCS:
        return encoded->AddPeMakeRelocs(m_Kind);
    case InstructionKind::ELF_MAKE_RELOCS:
        return encoded->AddElfMakeRelocs();
    case InstructionKind::BYTE: {
        const uint8_t byte = static_cast<uint8_t>(instruction.info());
        return encoded->AddCopy(1, &byte);
    }
    case InstructionKind::REL32:
    case InstructionKind::ABS32: {
        const int32_t index = static_cast<const InstructionWithLabel&>(instruction).label()->index;
        if (index < 0)
            return false;
        return instruction.kind() == InstructionKind::REL32 ? encoded->AddRel32(static_cast<uint32_t>(index))
                                                             : encoded->AddAbs32(static_cast<uint32_t>(index));
    }
    case InstructionKind::REL32_ARM: {
        const auto& branch = static_cast<const InstructionWithLabelARM&>(instruction);
        if (branch.label()->index < 0)
            return false;
        return encoded->AddRel32ARM(branch.compressed_op(), static_cast<uint32_t>(branch.label()->index));
    }
    case InstructionKind::ELF_ARM_MAKE_RELOCS:
        return encoded->AddElfARMMakeRelocs();
    case InstructionKind::MULTIPLE_BYTES: {
        const auto& run = static_cast<const MultipleBytesInstruction&>(instruction);
        return encoded->AddCopy(run.count(), run.bytes());
    }
    }
    LogStream(1) << "REACHED UNREACHABLE" << "Unknown Insn OP kind";
    return true;
}

EncodedProgram* AssemblyProgram::Encode() const
{
    std::unique_ptr<EncodedProgram> encoded(new (std::nothrow) EncodedProgram);
    if (!encoded)
        return nullptr;
    encoded->set_image_base(m_ImageBase);
    for (const auto& entry : m_Abs32Labels) {
        if (!encoded->DefineAbs32Label(entry.second.index, entry.second.rva))
            return nullptr;
    }
    for (const auto& entry : m_Rel32Labels) {
        if (!encoded->DefineRel32Label(entry.second.index, entry.second.rva))
            return nullptr;
    }
    encoded->EndLabels();
    for (std::size_t i = 0; i < m_Instructions.size(); ++i) {
        if (!EncodeInstruction(*m_Instructions[i], encoded.get()))
            return nullptr;
    }
    return encoded.release();
}

int TrimLabels(AssemblyProgram* program)
{
    return program->TrimLabels() ? C_OK : C_TRIM_FAILED;
}

int EncodeProgram(AssemblyProgram* program, EncodedProgram** encoded)
{
    *encoded = program->Encode();
    return *encoded ? C_OK : C_GENERAL_ERROR;
}

void DeleteAssemblyProgram(AssemblyProgram* program)
{
    delete program;
}

} // namespace vlpatch
