#include "disassembler.h"

#include "assemblyprogram.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "disassemblermacho.h"
#include "disassemblerwin32.h"
#include "status.h"

#include <new>

namespace vlpatch {

Disassembler::Disassembler(const void* start, std::size_t length)
    : m_Length(length), m_Start(static_cast<const uint8_t*>(start)), m_End(m_Start + length)
{
}

bool Disassembler::Good()
{
    m_FailureReason = nullptr;
    return true;
}

bool Disassembler::Bad(const char* reason)
{
    m_FailureReason = reason;
    return false;
}

void Disassembler::ReduceLength(uint64_t length)
{
    if (length < m_Length)
        m_Length = length;
}

bool Disassembler::IsInImage(uint64_t offset, uint64_t size) const
{
    const uint64_t imageSize = static_cast<uint64_t>(m_End - m_Start);
    return offset <= imageSize && size <= imageSize - offset;
}

uint16_t Disassembler::ReadU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Disassembler::ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
        | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Disassembler::ReadU64(const uint8_t* p)
{
    return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}

namespace {

template <typename T>
Disassembler* MakeCandidate(const void* start, std::size_t length)
{
    return new (std::nothrow) T(start, length);
}

using CandidateFactory = Disassembler* (*)(const void*, std::size_t);

// Tried in this order; the first that accepts wins.
const CandidateFactory kCandidates[] = {
    MakeCandidate<DisassemblerWin32X86>,
    MakeCandidate<DisassemblerWin32X64>,
    MakeCandidate<DisassemblerElf32X86>,
    MakeCandidate<DisassemblerElf64X64>,
    MakeCandidate<DisassemblerElf32ARM>,
    MakeCandidate<DisassemblerMacho>,
};

} // namespace

std::unique_ptr<Disassembler> DetectDisassembler(const void* start, std::size_t length)
{
    for (CandidateFactory make : kCandidates) {
        std::unique_ptr<Disassembler> candidate(make(start, length));
        if (candidate && candidate->ParseHeader())
            return candidate;
    }
    return nullptr;
}

int ParseDetectedExecutable(const void* start, std::size_t length, AssemblyProgram** program)
{
    *program = nullptr;
    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(start, length);
    if (!disassembler)
        return C_INPUT_NOT_RECOGNIZED;
    std::unique_ptr<AssemblyProgram> result(new (std::nothrow) AssemblyProgram(disassembler->kind()));
    if (!result || !disassembler->Disassemble(result.get()))
        return C_DISASSEMBLY_FAILED;
    *program = result.release();
    return C_OK;
}

int DetectExecutableType(const void* start, std::size_t length, ExecutableType* type, std::size_t* detectedLength)
{
    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(start, length);
    if (!disassembler) {
        *type = EXE_UNKNOWN;
        *detectedLength = 0;
        return C_INPUT_NOT_RECOGNIZED;
    }
    *type = disassembler->kind();
    *detectedLength = static_cast<std::size_t>(disassembler->length());
    return C_OK;
}

} // namespace vlpatch
