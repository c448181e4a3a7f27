#include "encodedprogram.h"

#include "executabletype.h"

#include "logstream.h"
#include "status.h"

#include <algorithm>
#include <new>

namespace vlpatch {

namespace {

constexpr uint32_t kUndefinedRva = 0xFFFFFFFF;
constexpr std::size_t kMaxRelocsPerBlock = 4096;
constexpr uint32_t kPeRelocHighLow = 3;
constexpr uint32_t kPeRelocDir64 = 10;
constexpr uint32_t kElfRelocRelative386 = 8;
constexpr uint32_t kElfRelocRelativeArm = 23;
// Borrowed copy bytes go back to their lender in steps of this many.
constexpr std::size_t kReturnStep = 1u << 20;

// The stream formats express every count as a varint32.
constexpr std::size_t kMaxListSize = 0xFFFFFFFF;

enum Stream : std::size_t {
    kOriginsStream = 0,
    kOpsStream = 1,
    kCopyBytesStream = 2,
    kAbs32IxStream = 3,
    kRel32IxStream = 4,
    kAbs32RvaStream = 5,
    kRel32RvaStream = 6,
    kCopyCountsStream = 7,
    kStreamsUsed = 8,
    kStreamsChecked = 9,
};

bool WriteU32List(SinkStream* sink, const EncodedProgram::U32Buffer& list)
{
    bool ok = list.size() <= kMaxListSize && sink->WriteSizeVarint32(list.size());
    for (std::size_t i = 0; ok && i < list.size(); ++i)
        ok = sink->WriteVarint32(list[i]);
    return ok;
}

bool WriteRvaTable(SinkStream* sink, const EncodedProgram::U32Buffer& table)
{
    bool ok = table.size() <= kMaxListSize && sink->WriteSizeVarint32(table.size());
    uint32_t previous = 0;
    for (std::size_t i = 0; ok && i < table.size(); ++i) {
        ok = sink->WriteVarint32(table[i] - previous);
        previous = table[i];
    }
    return ok;
}

// Every element takes at least one byte, so a count above the remaining bytes is refused before
// anything is reserved for it.
bool ReadCount(SourceStream* source, uint32_t* count)
{
    return source->ReadVarint32(count) && *count <= source->Remaining();
}

bool ReadU32List(SourceStream* source, EncodedProgram::U32Buffer* list, AllowanceShare* held)
{
    list->clear();
    uint32_t count = 0;
    if (!ReadCount(source, &count) || !held->Take(uint64_t{count} * sizeof(uint32_t)) || !list->reserve(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!source->ReadVarint32(&value) || !list->push_back(value))
            return false;
    }
    return true;
}

bool ReadRvaTable(SourceStream* source, EncodedProgram::U32Buffer* table, AllowanceShare* held)
{
    table->clear();
    uint32_t count = 0;
    if (!ReadCount(source, &count) || !held->Take(uint64_t{count} * sizeof(uint32_t)) || !table->reserve(count))
        return false;
    uint32_t rva = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!source->ReadVarint32(&delta))
            return false;
        rva += delta;
        if (!table->push_back(rva))
            return false;
    }
    return true;
}

bool WriteU16(SinkStream* sink, uint32_t value)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return sink->Write(bytes, 2);
}

bool WriteU32(SinkStream* sink, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return sink->Write(bytes, 4);
}

// Sorts all entries but the last, which stays where it is; lists of fewer than two entries are
// left alone.
void SortAllButLast(EncodedProgram::U32Buffer* list)
{
    if (list->size() >= 2)
        std::sort(list->data(), list->data() + list->size() - 1);
}

// The relative address is folded back into the branch encoding of its kind; the inverse of the
// ELF ARM disassembler's compression.
uint32_t DecompressBranch(uint32_t kind, uint32_t c, uint32_t a)
{
    switch (kind) {
    case 0:
        return (((a + 508) >> 1) & 0xFF) | ((c << 8) & 0xFFF00);
    case 1:
        return (((a + 4092) >> 1) & 0x7FF) | ((c << 11) & 0x7FF800);
    case 2:
        return (((a + 0x3FFFFF8) >> 2) & 0xFFFFFF) | (c << 24);
    case 3: {
        const uint32_t v = a - ((c >> 8) & 15);
        return ((v >> 1) & 0x7FF) | ((c & 0xF8) << 24) | ((c & 4) << 13) | ((c & 2) << 13) | ((c & 1) << 12)
            | ((v << 4) & 0x3FF0000) | ((v << 2) & 0x4000000) | ((~((v >> 22) ^ (v >> 24)) & 1) << 11)
            | ((~((v >> 23) ^ (v >> 24)) & 1) << 13);
    }
    default: {
        const uint32_t t = a + 0x1FFFFC;
        return 0xF0008000 | ((t << 6) & 0x4000000) | ((c & 15) << 22) | ((t >> 7) & 0x800) | ((t >> 6) & 0x2000)
            | ((t >> 1) & 0x7FF) | ((t << 4) & 0x3F0000);
    }
    }
}

} // namespace

bool EncodedProgram::DefineLabel(U32Buffer* rvas, int32_t index, uint32_t rva)
{
    if (index < 0)
        return false;
    const std::size_t slot = static_cast<std::size_t>(index);
    if (slot >= rvas->size()) {
        // Labels are defined in ascending index order; growing geometrically keeps that linear.
        if (slot >= rvas->capacity() && !rvas->reserve(std::max(slot + 1, rvas->capacity() * 2)))
            return false;
        if (!rvas->resize(slot + 1, kUndefinedRva))
            return false;
    }
    (*rvas)[slot] = rva;
    return true;
}

bool EncodedProgram::DefineAbs32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_Abs32Rva, index, rva);
}

bool EncodedProgram::DefineRel32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_Rel32Rva, index, rva);
}

void EncodedProgram::FinishLabels(U32Buffer* rvas)
{
    uint32_t previous = 0;
    for (std::size_t i = 0; i < rvas->size(); ++i) {
        if ((*rvas)[i] == kUndefinedRva)
            (*rvas)[i] = previous;
        previous = (*rvas)[i];
    }
}

void EncodedProgram::EndLabels()
{
    FinishLabels(&m_Abs32Rva);
    FinishLabels(&m_Rel32Rva);
}

bool EncodedProgram::AddOrigin(uint32_t rva)
{
    return m_Ops.push_back(ORIGIN) && m_Origins.push_back(rva);
}

bool EncodedProgram::AddCopy(uint32_t count, const uint8_t* bytes)
{
    if (!m_Ops.empty() && m_Ops.back() == COPY1) {
        m_Ops.back() = COPY;
        if (!m_CopyCounts.push_back(1))
            return false;
    }
    if (!m_Ops.empty() && m_Ops.back() == COPY) {
        m_CopyCounts.back() += count;
        return m_CopyBytes.append(bytes, count);
    }
    if (count == 1)
        return m_Ops.push_back(COPY1) && m_CopyBytes.append(bytes, 1);
    return m_Ops.push_back(COPY) && m_CopyCounts.push_back(count) && m_CopyBytes.append(bytes, count);
}

bool EncodedProgram::AddRel32(uint32_t index)
{
    return m_Ops.push_back(REL32) && m_Rel32Ix.push_back(index);
}

bool EncodedProgram::AddAbs32(uint32_t index)
{
    return m_Ops.push_back(ABS32) && m_Abs32Ix.push_back(index);
}

bool EncodedProgram::AddRel32ARM(uint16_t op, uint32_t index)
{
    return m_Ops.push_back(op) && m_Rel32Ix.push_back(index);
}

bool EncodedProgram::AddPeMakeRelocs(uint32_t programKind)
{
    return m_Ops.push_back(programKind == EXE_WIN_32_X86 ? MAKE_PE_RELOCATION_TABLE : MAKE_PE64_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfMakeRelocs()
{
    return m_Ops.push_back(MAKE_ELF_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfARMMakeRelocs()
{
    return m_Ops.push_back(MAKE_ELF_ARM_RELOCATION_TABLE);
}

bool EncodedProgram::WriteTo(SinkStreamSet* streams)
{
    if (streams->count() < kStreamsUsed)
        return false;
    SinkStream* origins = streams->stream(kOriginsStream);
    if (!origins->WriteVarint32(static_cast<uint32_t>(m_ImageBase)))
        return false;
    bool ok = WriteU32List(origins, m_Origins);

    SinkStream* ops = streams->stream(kOpsStream);
    ok = ops->Reserve(m_Ops.size() + 5) && ok;
    ok = WriteU32List(ops, m_Ops) && ok;

    SinkStream* copyBytes = streams->stream(kCopyBytesStream);
    ok = m_CopyBytes.size() <= kMaxListSize && copyBytes->WriteSizeVarint32(m_CopyBytes.size())
        && copyBytes->Write(m_CopyBytes.data(), m_CopyBytes.size()) && ok;

    ok = WriteU32List(streams->stream(kAbs32IxStream), m_Abs32Ix) && ok;
    ok = WriteU32List(streams->stream(kRel32IxStream), m_Rel32Ix) && ok;
    ok = WriteRvaTable(streams->stream(kAbs32RvaStream), m_Abs32Rva) && ok;
    ok = WriteRvaTable(streams->stream(kRel32RvaStream), m_Rel32Rva) && ok;
    ok = WriteU32List(streams->stream(kCopyCountsStream), m_CopyCounts) && ok;
    return ok;
}

void EncodedProgram::DrawOn(MemoryAllowance* allowance)
{
    m_Allowance = allowance;
    m_Held.DrawOn(allowance);
}

// Reads everything but the copy bytes, whose stream is left at their start with their count read.
bool EncodedProgram::ReadLists(SourceStreamSet* streams, SourceStream* copyBytes)
{
    if (streams->count() < kStreamsUsed)
        return false;
    uint32_t imageBase = 0;
    if (!streams->stream(kOriginsStream)->ReadVarint32(&imageBase))
        return false;
    m_ImageBase = imageBase;
    uint32_t copyCount = 0;
    if (!ReadRvaTable(streams->stream(kAbs32RvaStream), &m_Abs32Rva, &m_Held)
        || !ReadRvaTable(streams->stream(kRel32RvaStream), &m_Rel32Rva, &m_Held)
        || !ReadU32List(streams->stream(kOriginsStream), &m_Origins, &m_Held)
        || !ReadU32List(streams->stream(kOpsStream), &m_Ops, &m_Held)
        || !ReadU32List(streams->stream(kCopyCountsStream), &m_CopyCounts, &m_Held)
        || !ReadCount(streams->stream(kCopyBytesStream), &copyCount)
        || !streams->stream(kCopyBytesStream)->ShareLength(copyCount, copyBytes)
        || !ReadU32List(streams->stream(kAbs32IxStream), &m_Abs32Ix, &m_Held)
        || !ReadU32List(streams->stream(kRel32IxStream), &m_Rel32Ix, &m_Held))
        return false;
    for (std::size_t i = 0; i < kStreamsChecked; ++i) {
        if (!streams->stream(i)->Empty())
            return false;
    }
    return true;
}

bool EncodedProgram::ReadFrom(SourceStreamSet* streams)
{
    SourceStream copyBytes;
    if (!ReadLists(streams, &copyBytes))
        return false;
    m_CopyBytes.clear();
    return m_Held.Take(copyBytes.Remaining()) && m_CopyBytes.reserve(copyBytes.Remaining())
        && m_CopyBytes.append(copyBytes.Buffer(), copyBytes.Remaining());
}

bool EncodedProgram::ReadFromBorrowing(SourceStreamSet* streams, PageBuffer* lender)
{
    if (!ReadLists(streams, &m_Borrowed))
        return false;
    m_Lender = lender;
    lender->Discard(lender->data(), m_Borrowed.Buffer());
    lender->Discard(m_Borrowed.Buffer() + m_Borrowed.Remaining(), lender->data() + lender->size());
    return true;
}

// One run of AssembleTo: the operand cursors, the current RVA and where the bytes go.
class EncodedProgram::Assembly {
public:
    Assembly(EncodedProgram* program, SinkStream* sink)
        : m_Program(*program), m_Sink(sink), m_Output(sink), m_DeferredHeld(program->m_Allowance)
    {
    }

    bool Run()
    {
        if (!ReserveOutput())
            return false;
        for (std::size_t i = 0; i < m_Program.m_Ops.size(); ++i) {
            if (!Step(m_Program.m_Ops[i]))
                return false;
        }
        if (m_PeRelocType != 0) {
            if (!WritePeRelocationTable() || !m_Sink->Append(&m_Deferred))
                return false;
        }
        if (m_ElfRelocType != 0) {
            if (!WriteElfRelocations() || !m_Sink->Append(&m_Deferred))
                return false;
        }
        return m_CopyCount == m_Program.m_CopyCounts.size() && m_CopyByte == m_Program.CopySize()
            && m_Abs32 == m_Program.m_Abs32Ix.size() && m_Rel32 == m_Program.m_Rel32Ix.size();
    }

private:
    // Sizes the sink and the deferred bytes once for the most that the ops can write, so that
    // neither grows by doubling and copying, and takes all of it from the allowance first. Each
    // operand is used once and writes at most four bytes; a PE table takes at most twelve bytes
    // an absolute address (a block's header and padding included), an ELF table eight.
    bool ReserveOutput()
    {
        bool peTable = false;
        bool elfTable = false;
        for (std::size_t i = 0; i < m_Program.m_Ops.size(); ++i) {
            const uint32_t op = m_Program.m_Ops[i];
            peTable = peTable || op == MAKE_PE_RELOCATION_TABLE || op == MAKE_PE64_RELOCATION_TABLE;
            elfTable = elfTable || op == MAKE_ELF_RELOCATION_TABLE || op == MAKE_ELF_ARM_RELOCATION_TABLE;
        }
        const uint64_t addresses = m_Program.m_Abs32Ix.size();
        const uint64_t written = m_Program.CopySize() + 4 * (uint64_t{m_Program.m_Rel32Ix.size()} + addresses);
        const uint64_t tables = addresses * ((peTable ? 12 : 0) + (elfTable ? 8 : 0));
        const uint64_t deferred = peTable || elfTable ? written : 0;
        // A sink that must move keeps its old bytes until they are copied.
        const uint64_t moved = m_Sink->Capacity() - m_Sink->Length() < written + tables ? m_Sink->Length() : 0;
        AllowanceShare moving(m_Program.m_Allowance);
        if (written + tables > SIZE_MAX || !moving.Take(moved) || !TakeForGood(written + tables)
            || !m_Sink->Reserve(static_cast<std::size_t>(written + tables)))
            return false;
        moving.GiveBack();
        return m_DeferredHeld.Take(deferred) && m_Deferred.Reserve(static_cast<std::size_t>(deferred))
            && m_Program.m_Held.Take(addresses * sizeof(uint32_t)) && m_Program.m_Abs32Relocs.reserve(addresses);
    }

    // Takes what stays in the caller's sink after the assembly.
    bool TakeForGood(uint64_t bytes)
    {
        if (!m_Program.m_Allowance)
            return true;
        return m_Program.m_Allowance->Take(bytes);
    }

    bool Step(uint32_t op)
    {
        switch (op) {
        case ORIGIN:
            if (m_Origin >= m_Program.m_Origins.size())
                return false;
            m_Rva = m_Program.m_Origins[m_Origin++];
            return true;
        case COPY: {
            if (m_CopyCount >= m_Program.m_CopyCounts.size())
                return false;
            const uint32_t count = m_Program.m_CopyCounts[m_CopyCount++];
            return CopyBytes(count);
        }
        case COPY1:
            return CopyBytes(1);
        case REL32: {
            uint32_t target = 0;
            if (!NextRel32Target(&target) || !WriteU32(m_Output, target - 4 - m_Rva))
                return false;
            m_Rva += 4;
            return true;
        }
        case ABS32: {
            if (m_Abs32 >= m_Program.m_Abs32Ix.size())
                return false;
            const uint32_t index = m_Program.m_Abs32Ix[m_Abs32++];
            if (index >= m_Program.m_Abs32Rva.size())
                return false;
            const uint32_t value = m_Program.m_Abs32Rva[index] + static_cast<uint32_t>(m_Program.m_ImageBase);
            if (!m_Program.m_Abs32Relocs.push_back(m_Rva) || !WriteU32(m_Output, value))
                return false;
            m_Rva += 4;
            return true;
        }
        case MAKE_PE_RELOCATION_TABLE:
            return RequestPeTable(kPeRelocHighLow);
        case MAKE_PE64_RELOCATION_TABLE:
            return RequestPeTable(kPeRelocDir64);
        case MAKE_ELF_RELOCATION_TABLE:
            return RequestElfTable(kElfRelocRelative386);
        case MAKE_ELF_ARM_RELOCATION_TABLE:
            return RequestElfTable(kElfRelocRelativeArm);
        default:
            return ArmBranch(op);
        }
    }

    bool CopyBytes(uint32_t count)
    {
        const uint8_t* bytes = m_Program.CopyData();
        if (count > m_Program.CopySize() - m_CopyByte || !m_Output->Write(bytes + m_CopyByte, count))
            return false;
        m_CopyByte += count;
        m_Rva += count;
        if (m_Program.m_Lender && m_CopyByte - m_Returned >= kReturnStep) {
            m_Program.m_Lender->Discard(bytes + m_Returned, bytes + m_CopyByte);
            m_Returned = m_CopyByte;
        }
        return true;
    }

    bool NextRel32Target(uint32_t* target)
    {
        if (m_Rel32 >= m_Program.m_Rel32Ix.size())
            return false;
        const uint32_t index = m_Program.m_Rel32Ix[m_Rel32++];
        if (index >= m_Program.m_Rel32Rva.size())
            return false;
        *target = m_Program.m_Rel32Rva[index];
        return true;
    }

    bool RequestPeTable(uint32_t type)
    {
        if (m_PeRelocType != 0)
            return false;
        m_PeRelocType = type;
        m_Output = &m_Deferred;
        return true;
    }

    bool RequestElfTable(uint32_t type)
    {
        if (m_ElfRelocType != 0)
            return false;
        m_ElfRelocType = type;
        m_Output = &m_Deferred;
        return true;
    }

    bool ArmBranch(uint32_t op)
    {
        const uint32_t form = (op & 0xF000) >> 12;
        if (form < 1 || form > 5)
            return false;
        const uint32_t kind = form - 1;
        uint32_t target = 0;
        if (!NextRel32Target(&target))
            return false;
        const uint32_t word = DecompressBranch(kind, op & 0xFFFF, target - m_Rva);
        bool ok = false;
        if (kind <= 1) {
            ok = WriteU16(m_Output, word);
            m_Rva += 2;
        } else if (kind == 2) {
            ok = WriteU32(m_Output, word);
            m_Rva += 4;
        } else {
            ok = WriteU16(m_Output, word >> 16) && WriteU16(m_Output, word);
            m_Rva += 4;
        }
        return ok;
    }

    bool WritePeRelocationTable()
    {
        U32Buffer& relocs = m_Program.m_Abs32Relocs;
        SortAllButLast(&relocs);
        uint16_t entries[kMaxRelocsPerBlock + 1];
        std::size_t count = 0;
        uint32_t page = 0;
        for (std::size_t i = 0; i < relocs.size(); ++i) {
            const uint32_t rva = relocs[i];
            if (count == 0 || (rva & ~0xFFFu) != page) {
                if (count != 0 && !WritePeBlock(page, entries, count))
                    return false;
                page = rva & ~0xFFFu;
                count = 0;
            }
            // Only output that revisits addresses can crowd a page; the block could not hold it.
            if (count == kMaxRelocsPerBlock)
                return false;
            entries[count++] = static_cast<uint16_t>((m_PeRelocType << 12) | (rva & 0xFFF));
        }
        return count == 0 || WritePeBlock(page, entries, count);
    }

    bool WritePeBlock(uint32_t page, uint16_t* entries, std::size_t count)
    {
        if (count % 2 != 0)
            entries[count++] = 0;
        bool ok = WriteU32(m_Sink, page) && WriteU32(m_Sink, static_cast<uint32_t>(8 + 2 * count));
        for (std::size_t i = 0; ok && i < count; ++i)
            ok = WriteU16(m_Sink, entries[i]);
        return ok;
    }

    bool WriteElfRelocations()
    {
        U32Buffer& relocs = m_Program.m_Abs32Relocs;
        SortAllButLast(&relocs);
        bool ok = true;
        for (std::size_t i = 0; ok && i < relocs.size(); ++i)
            ok = WriteU32(m_Sink, relocs[i]) && WriteU32(m_Sink, m_ElfRelocType);
        return ok;
    }

    EncodedProgram& m_Program;
    SinkStream* m_Sink;
    SinkStream* m_Output;
    SinkStream m_Deferred;
    AllowanceShare m_DeferredHeld;
    uint32_t m_Rva = 0;
    std::size_t m_Origin = 0;
    std::size_t m_CopyCount = 0;
    std::size_t m_CopyByte = 0;
    // Borrowed copy bytes before this one have been given back.
    std::size_t m_Returned = 0;
    std::size_t m_Abs32 = 0;
    std::size_t m_Rel32 = 0;
    uint32_t m_PeRelocType = 0;
    uint32_t m_ElfRelocType = 0;
};

bool EncodedProgram::AssembleTo(SinkStream* sink)
{
    return Assembly(this, sink).Run();
}

void EncodedProgram::PrintStatistics() const
{
    LogStream(3) << "EncodedProgram Summary"
                 << "\n  image base  " << m_ImageBase << "\n  abs32 rvas  " << m_Abs32Rva.size()
                 << "\n  rel32 rvas  " << m_Rel32Rva.size() << "\n  ops         " << m_Ops.size()
                 << "\n  origins     " << m_Origins.size() << "\n  copy_counts " << m_CopyCounts.size()
                 << "\n  copy_bytes  " << CopySize() << "\n  abs32_ix    " << m_Abs32Ix.size()
                 << "\n  rel32_ix    " << m_Rel32Ix.size();
}

int WriteEncodedProgram(EncodedProgram* program, SinkStreamSet* streams)
{
    return program->WriteTo(streams) ? C_OK : C_STREAM_ERROR;
}

int ReadEncodedProgram(SourceStreamSet* streams, EncodedProgram** program)
{
    *program = nullptr;
    EncodedProgram* encoded = new (std::nothrow) EncodedProgram;
    if (!encoded)
        return C_DESERIALIZATION_FAILED;
    if (!encoded->ReadFrom(streams)) {
        delete encoded;
        return C_DESERIALIZATION_FAILED;
    }
    *program = encoded;
    return C_OK;
}

int Assemble(EncodedProgram* program, SinkStream* sink)
{
    return program->AssembleTo(sink) ? C_OK : C_ASSEMBLY_FAILED;
}

void DeleteEncodedProgram(EncodedProgram* program)
{
    delete program;
}

} // namespace vlpatch
