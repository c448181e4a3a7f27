// Detection and disassembly on arbitrary bytes: a status of 1, 24 or 25, never a crash, and a
// program that is detected must go through the whole chain an ensemble element takes.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "status.h"
#include "streamset.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace vlpatch;
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
        return 0;
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
    return 0;
}
