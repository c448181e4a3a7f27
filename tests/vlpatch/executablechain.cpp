#include "executablechain.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "sinkbytes.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vlpatch;

namespace {

int serialise(EncodedProgram* program, ByteVector* bytes)
{
    SinkStreamSet set;
    SinkStream out;
    const int status = WriteEncodedProgram(program, &set);
    if (status != C_OK)
        return status;
    if (!set.CopyTo(&out))
        return C_STREAM_ERROR;
    *bytes = bytesOf(out);
    return C_OK;
}

} // namespace

ChainResult runChain(const ByteVector& bytes)
{
    ChainResult result;
    AssemblyProgram* parsed = nullptr;
    if ((result.status = ParseDetectedExecutable(bytes.data(), bytes.size(), &parsed)) != C_OK)
        return result;
    std::unique_ptr<AssemblyProgram> program(parsed);
    EncodedProgram* encoded = nullptr;
    if ((result.status = TrimLabels(parsed)) != C_OK || (result.status = EncodeProgram(parsed, &encoded)) != C_OK)
        return result;
    std::unique_ptr<EncodedProgram> ownedEncoded(encoded);
    if ((result.status = serialise(encoded, &result.serialised)) != C_OK)
        return result;
    SourceStreamSet source;
    if (!source.Init(result.serialised.data(), result.serialised.size())) {
        result.status = C_STREAM_ERROR;
        return result;
    }
    EncodedProgram* read = nullptr;
    if ((result.status = ReadEncodedProgram(&source, &read)) != C_OK)
        return result;
    std::unique_ptr<EncodedProgram> ownedRead(read);
    SinkStream output;
    if ((result.status = Assemble(read, &output)) != C_OK)
        return result;
    result.assembled = bytesOf(output);
    serialise(read, &result.reserialised);
    return result;
}

std::string commandOutput(const ScratchDir& dir, const std::string& commandLine)
{
    const std::string out = dir.file("command-output.txt");
    EXPECT_EQ(runShell(commandLine + " > '" + out + "'"), 0) << commandLine;
    const ByteVector bytes = readBytes(out);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<EmittedRel32> emittedRel32(const AssemblyProgram& program)
{
    std::vector<EmittedRel32> sites;
    uint64_t offset = 0;
    uint32_t rva = 0;
    const auto& instructions = program.instructions();
    // An ELF relocation table is assembled in place of its instruction, one entry per abs32 op.
    uint64_t abs32Count = 0;
    for (std::size_t i = 0; i < instructions.size(); ++i)
        abs32Count += instructions[i]->kind() == InstructionKind::ABS32;
    for (std::size_t i = 0; i < instructions.size(); ++i) {
        const Instruction* instruction = instructions[i];
        switch (instruction->kind()) {
        case InstructionKind::ORIGIN:
            rva = static_cast<const OriginInstruction*>(instruction)->rva();
            continue;
        case InstructionKind::BYTE:
            offset += 1;
            rva += 1;
            continue;
        case InstructionKind::MULTIPLE_BYTES: {
            const uint32_t count = static_cast<const MultipleBytesInstruction*>(instruction)->count();
            offset += count;
            rva += count;
            continue;
        }
        case InstructionKind::REL32:
            sites.push_back({offset, rva, 4});
            offset += 4;
            rva += 4;
            continue;
        case InstructionKind::ABS32:
            offset += 4;
            rva += 4;
            continue;
        case InstructionKind::REL32_ARM: {
            const uint32_t size = static_cast<const InstructionWithLabelARM*>(instruction)->op_size();
            sites.push_back({offset, rva, size});
            offset += size;
            rva += size;
            continue;
        }
        case InstructionKind::ELF_MAKE_RELOCS:
        case InstructionKind::ELF_ARM_MAKE_RELOCS:
            offset += 8 * abs32Count;
            continue;
        default:
            ADD_FAILURE() << "PE relocation table in a program walked for offsets";
            return sites;
        }
    }
    return sites;
}
