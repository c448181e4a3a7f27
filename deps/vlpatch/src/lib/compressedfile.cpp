#include "compressedfile.h"

#include "assemblyprogram.h"
#include "binarypatch.h"
#include "bytewriter.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "filereplacement.h"
#include "logstream.h"
#include "lzma2block.h"
#include "memoryallowance.h"
#include "memorymappedview.h"
#include "pagebuffer.h"
#include "payloadadmission.h"
#include "status.h"
#include "streamset.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace vlpatch {

namespace {

// One executable inside the file the writer packs.
struct ExecutableSlice {
    uint64_t offset;
    uint64_t length;
    ExecutableType type;
};

// Universal (fat) Mach-O files: big-endian architecture table behind CA FE BA BE.
constexpr std::size_t kMinUniversalSize = 4096;
constexpr uint32_t kMaxUniversalArchitectures = 8;
constexpr std::size_t kUniversalEntrySize = 20;

uint32_t ReadBigEndian32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16)
        | (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// The recognised slices of a universal file; empty when the file is not one or its table is
// unusable, so that the file is treated as a whole.
std::vector<ExecutableSlice> SplitUniversal(const uint8_t* data, std::size_t size)
{
    static const uint8_t kUniversalMagic[4] = {0xCA, 0xFE, 0xBA, 0xBE};
    std::vector<ExecutableSlice> slices;
    if (size < kMinUniversalSize || !std::equal(kUniversalMagic, kUniversalMagic + 4, data))
        return slices;
    const uint32_t count = ReadBigEndian32(data + 4);
    if (count > kMaxUniversalArchitectures)
        return slices;

    std::vector<std::pair<uint64_t, uint64_t>> accepted;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + 8 + kUniversalEntrySize * i;
        const uint64_t offset = ReadBigEndian32(entry + 8);
        const uint64_t length = ReadBigEndian32(entry + 12);
        if (offset + length > size)
            return {};
        for (const auto& range : accepted) {
            if (offset < range.first + range.second && range.first < offset + length)
                return {};
        }
        accepted.emplace_back(offset, length);

        ExecutableType type = EXE_UNKNOWN;
        std::size_t detected = 0;
        if (DetectExecutableType(data + offset, static_cast<std::size_t>(length), &type, &detected) != C_OK)
            continue;
        if (detected > length)
            return {};
        slices.push_back({offset, detected, type});
    }
    return slices;
}

// Encodes one slice into its outer stream and appends its assembled bytes; false when the
// preprocessed form cannot be made.
bool EncodeSlice(const uint8_t* data, const ExecutableSlice& slice, SinkStream* programStream, SinkStream* assembled)
{
    AssemblyProgram* program = nullptr;
    if (ParseDetectedExecutable(data + slice.offset, static_cast<std::size_t>(slice.length), &program) != C_OK) {
        LogStream(2) << "could not parse file";
        return false;
    }
    if (TrimLabels(program) != C_OK) {
        DeleteAssemblyProgram(program);
        LogStream(1) << "could not trim labels";
        return false;
    }
    EncodedProgram* encoded = nullptr;
    const int encodedStatus = EncodeProgram(program, &encoded);
    DeleteAssemblyProgram(program);
    if (encodedStatus != C_OK) {
        LogStream(1) << "could not encode program";
        return false;
    }

    bool ok = false;
    SinkStreamSet programSet;
    if (WriteEncodedProgram(encoded, &programSet) != C_OK)
        LogStream(1) << "could not write encode program";
    else if (!programSet.CopyTo(programStream))
        LogStream(1) << "could not combine streams";
    else if (Assemble(encoded, assembled) != C_OK)
        LogStream(1) << "could not assemble program";
    else
        ok = true;
    DeleteEncodedProgram(encoded);
    return ok;
}

// Appends a directive-2 container; false when any step fails.
bool CompressPreprocessed(const uint8_t* data, std::size_t size, const std::vector<ExecutableSlice>& slices,
                          uint32_t crc, SinkStream* out)
{
    for (const ExecutableSlice& slice : slices)
        LogStream(3) << "detected " << ExecutableTypeName(slice.type);
    if (!WriteContainerHeader(out, crc))
        return false;
    if (!out->WriteVarint32(kContainerPreprocessed)) {
        LogStream(1) << "could not write preprocess directive";
        return false;
    }
    SinkStreamSet outer;
    if (!outer.Init(slices.size() + 1))
        return false;

    SinkStream assembled;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        if (!EncodeSlice(data, slices[i], outer.stream(i), &assembled))
            return false;
    }

    SourceStream oldData;
    oldData.Init(assembled);
    SourceStream newData;
    newData.Init(data, size);
    if (!CreateBinaryPatch(&oldData, &newData, outer.stream(slices.size()), false, kBinaryPatchRaw)) {
        LogStream(1) << "could not generate diff";
        return false;
    }
    SinkStream combined;
    if (!outer.CopyTo(&combined)) {
        LogStream(1) << "could not combine dis and dif";
        return false;
    }
    if (!PackLzma2Buffer(combined.Buffer(), combined.Length(), out)) {
        LogStream(1) << "could not compress file";
        return false;
    }
    return true;
}

// Passes the stored file on to the caller's writer, computing its CRC on the way and holding
// it to the budget.
class StoredFileWriter : public ByteWriter {
public:
    StoredFileWriter(ByteWriter* out, uint64_t budget) : m_Out(out), m_Left(budget) {}

    uint8_t* Room(std::size_t wanted, std::size_t* size) override
    {
        if (m_Left == 0)
            return nullptr;
        m_Room = m_Out->Room(static_cast<std::size_t>(std::min<uint64_t>(wanted, m_Left)), size);
        return m_Room;
    }
    bool Commit(std::size_t n) override
    {
        m_Crc = ContinueCrc(m_Crc, m_Room, n);
        m_Room += n;
        m_Left -= n;
        return m_Out->Commit(n);
    }
    bool Expect(uint64_t n) override { return n <= m_Left && m_Out->Expect(n); }

    uint32_t Crc() const { return m_Crc; }

private:
    ByteWriter* m_Out;
    uint64_t m_Left;
    uint8_t* m_Room = nullptr;
    uint32_t m_Crc = CalculateCrc(nullptr, 0);
};

struct ContainerHeader {
    uint32_t crc;
    uint32_t directive;
};

bool ReadContainerHeader(SourceStream* container, ContainerHeader* header)
{
    uint32_t magic = 0;
    if (!container->ReadVarint32(&magic) || !container->ReadVarint32(&header->crc)
        || !container->ReadVarint32(&header->directive)) {
        LogStream(1) << "could not read lzma header";
        return false;
    }
    if (magic != kContainerMagic) {
        LogStream(1) << "not lzma file";
        return false;
    }
    if (header->directive != kContainerPlain && header->directive != kContainerPreprocessed) {
        LogStream(1) << "Unknown preprocessing dirrective";
        return false;
    }
    return true;
}

// The executable form is refused before its payload is touched where the caller takes only the
// plain one.
bool FormAccepted(const ContainerHeader& header, const UnpackBudget& budget, UnpackRefusal* refusal)
{
    if (header.directive == kContainerPlain || budget.executableForm)
        return true;
    LogStream(1) << "preprocessed form not accepted for this file";
    if (refusal)
        refusal->executableForm = true;
    return false;
}

// Where the container is read from: its stream, the file mapping it lies in, if any, and where
// a refusal for its size is told, if anywhere.
struct ContainerInput {
    SourceStream* stream;
    const MemoryMappedView* mapping;
    UnpackRefusal* refusal;
};

// The block's header, checked against what the caller allows, and its decoder, whose dictionary
// is taken from the allowance when one is given; false (logged) when the block cannot be read
// or is larger than allowed.
bool StartBlock(const ContainerInput& container, uint64_t allowed, Lzma2BlockReader* block,
                AllowanceShare* dictionary = nullptr)
{
    if (!block->ReadHeader(container.stream))
        return false;
    block->ReleaseInputOf(container.mapping);
    if (block->UnpackedSize() > allowed) {
        LogStream(1) << "unpacked size " << block->UnpackedSize() << " beyond the allowed " << allowed;
        if (container.refusal) {
            container.refusal->announced = block->UnpackedSize();
            container.refusal->allowed = allowed;
        }
        return false;
    }
    return (!dictionary || dictionary->Take(block->DictionarySize())) && block->Start();
}

// Unpacks a directive-1 payload into the output a room at a time.
bool DecodePlain(const ContainerInput& container, uint64_t allowed, StoredFileWriter* output)
{
    Lzma2BlockReader block;
    if (!StartBlock(container, allowed, &block)) {
        LogStream(1) << "could not decompress file";
        return false;
    }
    if (!output->Expect(block.UnpackedSize())) {
        LogStream(1) << "unable to allocate sink space";
        LogStream(1) << "could not decompress file";
        return false;
    }
    while (block.Remaining() != 0) {
        std::size_t size = 0;
        uint8_t* room = output->Room(static_cast<std::size_t>(std::min<uint64_t>(block.Remaining(), SIZE_MAX)), &size);
        if (!room) {
            LogStream(1) << "could not write output file";
            return false;
        }
        if (!block.Read(room, size)) {
            LogStream(1) << "could not decompress file";
            return false;
        }
        if (!output->Commit(size)) {
            LogStream(1) << "could not write output file";
            return false;
        }
    }
    if (!block.Finish()) {
        LogStream(1) << "could not decompress file";
        return false;
    }
    return true;
}

// The stream set of a directive-2 payload, read one stream at a time, so that no more than one
// stream is held at once.
class PayloadStreams {
public:
    PayloadStreams(Lzma2BlockReader* block, MemoryAllowance* allowance) : m_Block(block), m_Held(allowance) {}

    // Reads the set's header; false with the failing step's message logged.
    bool ReadHeader()
    {
        uint32_t magic = 0;
        if (!ReadVarint(&magic) || !ReadVarint(&m_Count))
            return false;
        if (magic != kStreamSetMagic || m_Count > kMaxStreams)
            return Refuse();
        uint64_t total = 0;
        for (uint32_t i = 0; i < m_Count; ++i) {
            if (!ReadVarint(&m_Lengths[i]))
                return false;
            total += m_Lengths[i];
        }
        return total == m_Block->Remaining() || Refuse();
    }

    uint32_t count() const { return m_Count; }

    // Unpacks stream i (streams are read in order) into the buffer, replacing its contents,
    // which were the previous stream's. Pages of zeros are not written: the diff of a program
    // that assembles back to the file is almost all zeros, and costs next to no memory that way.
    bool Read(uint32_t i, PageBuffer* buffer)
    {
        buffer->Allocate(0);
        m_Held.GiveBack();
        if (!m_Held.Take(m_Lengths[i]))
            return false;
        if (!buffer->Allocate(m_Lengths[i])) {
            LogStream(1) << "unable to allocate sink space";
            return Broken();
        }
        uint8_t staging[32 << 10];
        for (std::size_t done = 0; done < m_Lengths[i];) {
            const std::size_t n = std::min<std::size_t>(sizeof staging, m_Lengths[i] - done);
            if (!m_Block->Read(staging, n))
                return Broken();
            buffer->WriteSparse(done, staging, n);
            done += n;
        }
        return true;
    }

private:
    // A varint32 byte by byte, as SourceStream::ReadVarint32 reads it.
    bool ReadVarint(uint32_t* value)
    {
        uint8_t bytes[5];
        for (std::size_t n = 0; n < sizeof bytes; ++n) {
            if (m_Block->Remaining() == 0)
                return Refuse();
            if (!m_Block->Read(&bytes[n], 1))
                return Broken();
            if ((bytes[n] & 0x80) == 0)
                return DecodeVarint32(bytes, bytes + n + 1, value) != nullptr || Refuse();
        }
        return Refuse();
    }
    static bool Refuse()
    {
        LogStream(1) << "could not init dif_and_dis set";
        return false;
    }
    static bool Broken()
    {
        LogStream(1) << "could not decompress file";
        return false;
    }

    Lzma2BlockReader* m_Block;
    // What the stream read last holds.
    AllowanceShare m_Held;
    uint32_t m_Count = 0;
    uint32_t m_Lengths[kMaxStreams] = {};
};

// Assembles the encoded program held in one stream of the payload, appending its bytes. The
// stream is given back as the program is read from it and assembled.
bool AssembleProgram(PageBuffer* stream, SinkStream* assembled, MemoryAllowance* allowance)
{
    SourceStreamSet programSet;
    if (!programSet.Init(stream->data(), stream->size())) {
        LogStream(1) << "could not init program_source set";
        return false;
    }
    std::unique_ptr<EncodedProgram> encoded(new (std::nothrow) EncodedProgram);
    if (encoded)
        encoded->DrawOn(allowance);
    if (!encoded || !encoded->ReadFromBorrowing(&programSet, stream)) {
        LogStream(1) << "could not read encoded program";
        return false;
    }
    if (Assemble(encoded.get(), assembled) != C_OK) {
        LogStream(1) << "could not assemble program";
        return false;
    }
    return true;
}

// Preprocessed payloads are decoded side by side only while the payloads together stay within
// this many bytes; a larger one waits until it is alone.
constexpr uint64_t kPayloadsAtOnce = 160u << 20;

PayloadAdmission g_PayloadAdmission(kPayloadsAtOnce);

class AdmittedPayload {
public:
    explicit AdmittedPayload(uint64_t bytes) : m_Bytes(bytes) { g_PayloadAdmission.Enter(bytes); }
    ~AdmittedPayload() { g_PayloadAdmission.Leave(m_Bytes); }
    AdmittedPayload(const AdmittedPayload&) = delete;
    AdmittedPayload& operator=(const AdmittedPayload&) = delete;

private:
    uint64_t m_Bytes;
};

// Rebuilds the stored file of a directive-2 payload: programs assembled in stream order, then
// the diff from them to the file, whose output goes on as it is made. Held at once: the
// assembled programs, the program stream being assembled (given back as it goes) and then the
// diff, without its pages of zeros. All of it, what the counts of the encoded programs make
// them reserve included, is taken from the budget's memory before it is reserved.
bool DecodePreprocessed(const ContainerInput& container, const UnpackBudget& budget, StoredFileWriter* output)
{
    MemoryAllowance allowance(budget.memory);
    AllowanceShare dictionary(&allowance);
    Lzma2BlockReader block;
    if (!StartBlock(container, budget.memory, &block, &dictionary)) {
        LogStream(1) << "could not decompress file";
        return false;
    }
    const AdmittedPayload admitted(block.UnpackedSize());
    PayloadStreams payload(&block, &allowance);
    if (!payload.ReadHeader())
        return false;
    if (payload.count() < 2) {
        LogStream(1) << "dis_and_diff too small";
        return false;
    }

    SinkStream assembled;
    PageBuffer stream;
    const uint32_t programs = payload.count() - 1;
    for (uint32_t i = 0; i < programs; ++i) {
        if (!payload.Read(i, &stream) || !AssembleProgram(&stream, &assembled, &allowance))
            return false;
    }
    if (!payload.Read(programs, &stream))
        return false;
    if (!block.Finish()) {
        LogStream(1) << "could not decompress file";
        return false;
    }

    SourceStream oldData;
    oldData.Init(assembled);
    SourceStream diff;
    diff.Init(stream.data(), stream.size());
    if (!ApplyBinaryPatch(&oldData, &diff, output, nullptr, &allowance)) {
        LogStream(1) << "could not apply diff";
        return false;
    }
    return true;
}

// Decodes the container's payload into the output and checks the stored file's CRC.
bool DecodeContainerBody(const ContainerInput& container, const ContainerHeader& header, const UnpackBudget& budget,
                         ByteWriter* out)
{
    StoredFileWriter output(out, budget.output);
    const bool decoded = header.directive == kContainerPlain ? DecodePlain(container, budget.output, &output)
                                                             : DecodePreprocessed(container, budget, &output);
    if (!decoded)
        return false;
    if (output.Crc() != header.crc) {
        LogStream(1) << "crc mismatch";
        return false;
    }
    return true;
}

} // namespace

UnpackBudget UnpackBudget::ForText(uint64_t output)
{
    UnpackBudget budget = ForOutput(output);
    budget.executableForm = false;
    return budget;
}

UnpackBudget UnpackBudget::ForOutput(uint64_t output)
{
    constexpr uint64_t kPayloadSlack = 16u << 20;
    // The announced size comes from the product ini: one near the top of the range must not
    // wrap around to a small bound.
    if (output > (UINT64_MAX - kPayloadSlack) / 4)
        return {output, UINT64_MAX};
    return {output, 4 * output + kPayloadSlack};
}

bool UncompressContainer(SourceStream* container, SinkStream* output, const UnpackBudget& budget)
{
    ContainerHeader header;
    if (!ReadContainerHeader(container, &header) || !FormAccepted(header, budget, nullptr))
        return false;
    SinkWriter writer(output);
    return DecodeContainerBody({container, nullptr, nullptr}, header, budget, &writer);
}

bool UncompressFile(const char* sourcePath, const char* targetPath, const UnpackBudget& budget, UnpackRefusal* refusal)
{
    MemoryMappedView source(sourcePath, 0, MemoryMappedView::NORMAL);
    if (!source.IsValid()) {
        LogStream(1) << "could not open lzma file";
        return false;
    }
    SourceStream container;
    container.Init(source.data(), static_cast<std::size_t>(source.length()));
    ContainerHeader header;
    if (!ReadContainerHeader(&container, &header) || !FormAccepted(header, budget, refusal))
        return false;
    ReplacementFile target(targetPath);
    if (!target.IsOpen()) {
        LogStream(1) << "could not write output file";
        return false;
    }
    if (!DecodeContainerBody({&container, &source, refusal}, header, budget, &target))
        return false;
    if (!target.Finish()) {
        LogStream(1) << "could not write output file";
        return false;
    }
    return true;
}

bool WriteContainerHeader(SinkStream* out, uint32_t crc)
{
    if (!out->WriteVarint32(kContainerMagic)) {
        LogStream(1) << "could not write magic";
        return false;
    }
    if (!out->WriteVarint32(crc)) {
        LogStream(1) << "could not write crc";
        return false;
    }
    return true;
}

bool CompressFileDefault(const MemoryMappedView& source, SinkStream* out, uint32_t crc)
{
    if (!WriteContainerHeader(out, crc))
        return false;
    if (!out->WriteVarint32(kContainerPlain)) {
        LogStream(1) << "could not write preprocess directive";
        return false;
    }
    if (!PackLzma2Buffer(source.data(), static_cast<std::size_t>(source.length()), out)) {
        LogStream(1) << "could not compress file";
        return false;
    }
    return true;
}

bool CompressFilePreprocessed(const char* sourcePath, const char* targetPath, bool preprocess)
{
    MemoryMappedView source(sourcePath, 0, MemoryMappedView::NORMAL);
    if (!source.IsValid()) {
        LogStream(1) << "could not open file";
        return false;
    }
    const uint8_t* data = source.data();
    const std::size_t size = static_cast<std::size_t>(source.length());
    const uint32_t crc = CalculateCrc(data, size);

    SinkStream output;
    bool preprocessed = false;
    if (preprocess) {
        std::vector<ExecutableSlice> slices = SplitUniversal(data, size);
        if (slices.empty()) {
            ExecutableType type = EXE_UNKNOWN;
            std::size_t detected = 0;
            const int status = DetectExecutableType(data, size, &type, &detected);
            if (status == C_OK) {
                slices.push_back({0, detected, type});
            } else if (status != C_INPUT_NOT_RECOGNIZED) {
                LogStream(1) << "error detecting file type " << status;
                return false;
            }
        }
        if (!slices.empty()) {
            preprocessed = CompressPreprocessed(data, size, slices, crc, &output);
            if (!preprocessed) {
                LogStream(2) << "falling back to default compression";
                output.Retire();
            }
        }
    }
    if (!preprocessed && !CompressFileDefault(source, &output, crc))
        return false;

    if (WriteWholeFile(targetPath, output.Buffer(), output.Length()) < output.Length()) {
        LogStream(1) << "could not write output file";
        return false;
    }
    return true;
}

} // namespace vlpatch
