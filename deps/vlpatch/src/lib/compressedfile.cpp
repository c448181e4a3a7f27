#include "compressedfile.h"

#include "assemblyprogram.h"
#include "binarypatch.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "filereplacement.h"
#include "logstream.h"
#include "lzma2block.h"
#include "memorymappedview.h"
#include "status.h"
#include "streamset.h"

#include <algorithm>
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

// Rebuilds the stored file of a directive-2 payload: programs assembled in stream order, then
// the diff from them to the file.
bool DecodePreprocessed(SourceStream* container, SinkStream* output)
{
    SinkStream payload;
    if (!UnpackLzma2Block(container, &payload)) {
        LogStream(1) << "could not decompress file";
        return false;
    }
    SourceStreamSet set;
    if (!set.Init(payload.Buffer(), payload.Length())) {
        LogStream(1) << "could not init dif_and_dis set";
        return false;
    }
    if (set.count() < 2) {
        LogStream(1) << "dis_and_diff too small";
        return false;
    }

    SinkStream assembled;
    const std::size_t programs = set.count() - 1;
    for (std::size_t i = 0; i < programs; ++i) {
        SourceStreamSet programSet;
        if (!programSet.InitFromSourceStream(*set.stream(i))) {
            LogStream(1) << "could not init program_source set";
            return false;
        }
        EncodedProgram* encoded = nullptr;
        if (ReadEncodedProgram(&programSet, &encoded) != C_OK) {
            LogStream(1) << "could not read encoded program";
            return false;
        }
        const int status = Assemble(encoded, &assembled);
        DeleteEncodedProgram(encoded);
        if (status != C_OK) {
            LogStream(1) << "could not assemble program";
            return false;
        }
    }

    SourceStream oldData;
    oldData.Init(assembled);
    if (!ApplyBinaryPatch(&oldData, set.stream(programs), output, false)) {
        LogStream(1) << "could not apply diff";
        return false;
    }
    return true;
}

} // namespace

bool UncompressContainer(SourceStream* container, SinkStream* output)
{
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
    if (!container->ReadVarint32(&magic) || !container->ReadVarint32(&crc) || !container->ReadVarint32(&directive)) {
        LogStream(1) << "could not read lzma header";
        return false;
    }
    if (magic != kContainerMagic) {
        LogStream(1) << "not lzma file";
        return false;
    }
    if (directive == kContainerPlain) {
        if (!UnpackLzma2Block(container, output)) {
            LogStream(1) << "could not decompress file";
            return false;
        }
    } else if (directive == kContainerPreprocessed) {
        if (!DecodePreprocessed(container, output))
            return false;
    } else {
        LogStream(1) << "Unknown preprocessing dirrective";
        return false;
    }
    if (CalculateCrc(output->Buffer(), output->Length()) != crc) {
        LogStream(1) << "crc mismatch";
        return false;
    }
    return true;
}

bool UncompressFile(const char* sourcePath, const char* targetPath)
{
    MemoryMappedView source(sourcePath, 0, MemoryMappedView::NORMAL);
    if (!source.IsValid()) {
        LogStream(1) << "could not open lzma file";
        return false;
    }
    SourceStream container;
    container.Init(source.data(), static_cast<std::size_t>(source.length()));
    SinkStream output;
    if (!UncompressContainer(&container, &output))
        return false;
    if (!ReplaceWholeFile(targetPath, output.Buffer(), output.Length())) {
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
