// The stream form of a disassembled executable: label tables, ops and their operand lists.
// It is written into and read from stream sets, and assembled back into the executable's bytes
// with its relocation table rebuilt; every byte it produces is covered by a patch's CRC.
#pragma once

#include "memoryallowance.h"
#include "nothrowbuffer.h"
#include "pagebuffer.h"
#include "streamset.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class EncodedProgram {
public:
    enum OP : uint32_t {
        ORIGIN = 0,
        COPY = 1,
        COPY1 = 2,
        REL32 = 3,
        ABS32 = 4,
        MAKE_PE_RELOCATION_TABLE = 5,
        MAKE_ELF_RELOCATION_TABLE = 6,
        MAKE_ELF_ARM_RELOCATION_TABLE = 7,
        MAKE_PE64_RELOCATION_TABLE = 8,
    };

    using U32Buffer = NoThrowBuffer<uint32_t, 64>;
    using ByteBuffer = NoThrowBuffer<uint8_t, 256>;

    EncodedProgram() = default;
    EncodedProgram(const EncodedProgram&) = delete;
    EncodedProgram& operator=(const EncodedProgram&) = delete;

    // Building; each returns false when a buffer cannot grow. A negative label index is refused.
    void set_image_base(uint64_t imageBase) { m_ImageBase = imageBase; }
    bool DefineAbs32Label(int32_t index, uint32_t rva);
    bool DefineRel32Label(int32_t index, uint32_t rva);
    // Fills the indexes that were never defined with the value before them (0 for the first).
    void EndLabels();
    bool AddOrigin(uint32_t rva);
    bool AddCopy(uint32_t count, const uint8_t* bytes);
    bool AddRel32(uint32_t index);
    bool AddAbs32(uint32_t index);
    bool AddRel32ARM(uint16_t op, uint32_t index);
    // Op 5 for WIN_32_X86 programs, op 8 for every other kind.
    bool AddPeMakeRelocs(uint32_t programKind);
    bool AddElfMakeRelocs();
    bool AddElfARMMakeRelocs();

    // Streams 0 to 7 of the set; the set must have at least eight streams.
    bool WriteTo(SinkStreamSet* streams);
    // Fails on a short or missing stream, a count the stream cannot hold, or any unread byte.
    bool ReadFrom(SourceStreamSet* streams);
    // As ReadFrom, but the copy bytes, by far the largest part, stay where they are in the
    // lender, which holds the streams and must outlive the program. The rest of the lender is
    // given back once read, and the assembly gives back the copy bytes as it passes them.
    bool ReadFromBorrowing(SourceStreamSet* streams, PageBuffer* lender);
    // Appends the executable's bytes to the sink.
    bool AssembleTo(SinkStream* sink);

    // From now on, reading and assembling take what the counts of the streams make them reserve
    // from the allowance first, and fail when it runs out. The program gives back what it holds
    // when it goes; what the assembly reserves in the caller's sink stays taken.
    void DrawOn(MemoryAllowance* allowance);

    void PrintStatistics() const;

    uint64_t image_base() const { return m_ImageBase; }
    const U32Buffer& rel32_rva() const { return m_Rel32Rva; }
    const U32Buffer& abs32_rva() const { return m_Abs32Rva; }
    const U32Buffer& ops() const { return m_Ops; }
    const U32Buffer& origins() const { return m_Origins; }
    const U32Buffer& copy_counts() const { return m_CopyCounts; }
    const ByteBuffer& copy_bytes() const { return m_CopyBytes; }
    const U32Buffer& rel32_ix() const { return m_Rel32Ix; }
    const U32Buffer& abs32_ix() const { return m_Abs32Ix; }
    const U32Buffer& abs32_relocs() const { return m_Abs32Relocs; }

private:
    class Assembly;

    static bool DefineLabel(U32Buffer* rvas, int32_t index, uint32_t rva);
    bool ReadLists(SourceStreamSet* streams, SourceStream* copyBytes);
    const uint8_t* CopyData() const { return m_Lender ? m_Borrowed.Buffer() : m_CopyBytes.data(); }
    std::size_t CopySize() const { return m_Lender ? m_Borrowed.Remaining() : m_CopyBytes.size(); }
    static void FinishLabels(U32Buffer* rvas);

    uint64_t m_ImageBase = 0;
    U32Buffer m_Rel32Rva;
    U32Buffer m_Abs32Rva;
    U32Buffer m_Ops;
    U32Buffer m_Origins;
    U32Buffer m_CopyCounts;
    ByteBuffer m_CopyBytes;
    SourceStream m_Borrowed;
    PageBuffer* m_Lender = nullptr;
    U32Buffer m_Rel32Ix;
    U32Buffer m_Abs32Ix;
    U32Buffer m_Abs32Relocs;
    MemoryAllowance* m_Allowance = nullptr;
    // What the lists read and the assembly's relocation list hold of the allowance.
    AllowanceShare m_Held;
};

// Status-returning forms: WriteEncodedProgram gives 1 or 20; ReadEncodedProgram 1 or 23 (the
// program is handed over only on success); Assemble 1 or 26.
int WriteEncodedProgram(EncodedProgram* program, SinkStreamSet* streams);
int ReadEncodedProgram(SourceStreamSet* streams, EncodedProgram** program);
int Assemble(EncodedProgram* program, SinkStream* sink);
void DeleteEncodedProgram(EncodedProgram* program);

} // namespace vlpatch
