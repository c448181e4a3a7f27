#include "patchreaders.h"

#include "assemblyprogram.h"
#include "binarypatch.h"
#include "compressedfile.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "ensemblepatch.h"
#include "lzma2block.h"
#include "status.h"
#include "streamset.h"

#include <cstdlib>
#include <memory>

using namespace vlpatch;

void FuzzStreamSet(const uint8_t* data, std::size_t size)
{
    SourceStreamSet set;
    if (!set.Init(data, size))
        return;
    for (int i = 0; i < 4 && !set.Empty(); ++i) {
        SourceStreamSet nested;
        if (!set.ReadSet(&nested))
            return;
        for (std::size_t s = 0; s < kMaxStreams; ++s) {
            uint32_t value = 0;
            nested.stream(s)->ReadVarint32(&value);
        }
    }
}

void FuzzLzma2Block(const uint8_t* data, std::size_t size)
{
    SourceStream source;
    source.Init(data, size);
    SinkStream sink;
    while (!source.Empty() && UnpackLzma2Block(&source, &sink)) {
    }
}

void FuzzBinaryPatch(const uint8_t* data, std::size_t size)
{
    SourceStream input;
    input.Init(data, size);
    uint8_t flags = 0;
    uint32_t oldLength = 0;
    SourceStream old;
    if (!input.Read(&flags, 1) || !input.ReadVarint32(&oldLength) || !input.ShareLength(oldLength, &old))
        return;
    SinkStream out;
    ApplyBinaryPatch(&old, &input, &out, flags & 1);
}

void FuzzContainer(const uint8_t* data, std::size_t size)
{
    SourceStream container;
    container.Init(data, size);
    SinkStream output;
    // Within what a fuzzer's memory allows; larger announced sizes are refused.
    UncompressContainer(&container, &output, UnpackBudget::ForOutput(16 << 20));
}

void FuzzEnsemblePatch(const uint8_t* data, std::size_t size)
{
    SourceStream input;
    input.Init(data, size);
    uint32_t oldLength = 0;
    SourceStream old;
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t sourceCrc = 0;
    if (!input.ReadVarint32(&oldLength) || !input.ShareLength(oldLength, &old) || !input.ReadVarint32(&magic)
        || !input.ReadVarint32(&version) || !input.ReadVarint32(&sourceCrc))
        return;
    SinkStream patch;
    patch.WriteVarint32(magic);
    patch.WriteVarint32(version);
    patch.WriteVarint32(CalculateCrc(old.Buffer(), old.Remaining()));
    patch.Write(input.Buffer(), input.Remaining());
    SourceStream patchStream;
    patchStream.Init(patch);
    SinkStream output;
    ApplyEnsemblePatchStreams(&old, &patchStream, &output);
}

void FuzzExecutable(const uint8_t* data, std::size_t size)
{
    ExecutableType type = EXE_UNKNOWN;
    std::size_t length = 0;
    const int detected = DetectExecutableType(data, size, &type, &length);
    if ((detected == C_OK) != (type != EXE_UNKNOWN) || length > size)
        std::abort();

    AssemblyProgram* parsed = nullptr;
    const int status = ParseDetectedExecutable(data, size, &parsed);
    if (status != C_OK && status != C_INPUT_NOT_RECOGNIZED && status != C_DISASSEMBLY_FAILED)
        std::abort();
    if ((status == C_OK) != (parsed != nullptr) || (status == C_INPUT_NOT_RECOGNIZED) != (detected != C_OK))
        std::abort();
    if (!parsed)
        return;
    std::unique_ptr<AssemblyProgram> program(parsed);

    EncodedProgram* encoded = nullptr;
    if (TrimLabels(program.get()) != C_OK || EncodeProgram(program.get(), &encoded) != C_OK)
        std::abort();
    std::unique_ptr<EncodedProgram> owned(encoded);
    SinkStreamSet streams;
    SinkStream bytes;
    if (WriteEncodedProgram(encoded, &streams) != C_OK || !streams.CopyTo(&bytes))
        std::abort();
    SourceStreamSet source;
    EncodedProgram* read = nullptr;
    if (!source.Init(bytes.Buffer(), bytes.Length()) || ReadEncodedProgram(&source, &read) != C_OK)
        std::abort();
    std::unique_ptr<EncodedProgram> ownedRead(read);
    // Assembly may fail on a program that visits one page too often; it must not crash.
    SinkStream output;
    Assemble(read, &output);
}
