// Base of the executable readers, and the detection that lets each of them try its header
// checks in a fixed order. The order and every check decide which encoding a stored patch
// expects, because the patch disassembles the old file again.
#pragma once

#include "executabletype.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vlpatch {

class AssemblyProgram;

class Disassembler {
public:
    Disassembler(const void* start, std::size_t length);
    virtual ~Disassembler() = default;
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    virtual ExecutableType kind() const { return EXE_UNKNOWN; }
    // Validates the headers, records the tables needed later and shrinks the length to what the
    // headers describe; ends with Good or Bad.
    virtual bool ParseHeader() = 0;
    // Fills the program; refused unless the header was accepted. Ends with DefaultAssignIndexes.
    virtual bool Disassemble(AssemblyProgram* program) = 0;

    // "uninitialized" until the header is accepted, null once it is, else the failed check.
    const char* failure_reason() const { return m_FailureReason; }
    bool ok() const { return m_FailureReason == nullptr; }
    uint64_t length() const { return m_Length; }
    const uint8_t* start() const { return m_Start; }
    const uint8_t* end() const { return m_End; }

protected:
    const uint8_t* FileOffsetToPointer(uint64_t offset) const { return m_Start + offset; }
    bool Good();
    bool Bad(const char* reason);
    void ReduceLength(uint64_t length);

    // True when [offset, offset + size) lies inside the bytes given at construction.
    bool IsInImage(uint64_t offset, uint64_t size) const;

    // Little-endian reads; the caller has checked that the bytes lie inside the image.
    static uint16_t ReadU16(const uint8_t* p);
    static uint32_t ReadU32(const uint8_t* p);
    static uint64_t ReadU64(const uint8_t* p);

    // The offset of the rel32 operand of an x86 instruction starting at `b` with `left` bytes to
    // the section end, or 0 when none starts there: 1 for call and jmp, 2 for a conditional jump
    // and, with `ripForms`, for an indirect call or jmp through rip, 3 for a rip-relative mov or
    // lea. `ripRelative` tells the rip forms. Inline: it runs for every byte of every code section.
    static unsigned X86Rel32OperandOffset(const uint8_t* b, uint64_t left, bool ripForms, bool* ripRelative);

private:
    const char* m_FailureReason = "uninitialized";
    uint64_t m_Length;
    const uint8_t* m_Start;
    const uint8_t* m_End;
};

inline unsigned Disassembler::X86Rel32OperandOffset(const uint8_t* b, uint64_t left, bool ripForms, bool* ripRelative)
{
    *ripRelative = false;
    if (left >= 5 && (b[0] == 0xE8 || b[0] == 0xE9))
        return 1;
    if (left >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
        return 2;
    if (ripForms && left >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25)) {
        *ripRelative = true;
        return 2;
    }
    if (ripForms && left >= 7 && (b[0] & 0xFE) == 0x48 && (b[1] == 0x8B || b[1] == 0x8D)
        && (b[2] & 0xC7) == 0x05) {
        *ripRelative = true;
        return 3;
    }
    return 0;
}

// The first candidate whose header check accepts the bytes, or null.
std::unique_ptr<Disassembler> DetectDisassembler(const void* start, std::size_t length);

// Status 1 with a new program handed to the caller, 24 when no candidate accepts the bytes, 25
// when the accepted one cannot disassemble them.
int ParseDetectedExecutable(const void* start, std::size_t length, AssemblyProgram** program);

// Status 1 with the kind and the (possibly shrunk) length, or 24 with EXE_UNKNOWN and 0.
int DetectExecutableType(const void* start, std::size_t length, ExecutableType* type, std::size_t* detectedLength);

} // namespace vlpatch
