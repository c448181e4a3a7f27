// The encoded-program reader and assembler on arbitrary stream sets, as an edited element of a
// patch delivers them: 1 or 23 from the reader, 1 or 26 from the assembler, never a crash.
#include "encodedprogram.h"
#include "status.h"
#include "streamset.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace vlpatch;
    SourceStreamSet streams;
    if (!streams.Init(data, size))
        return 0;
    EncodedProgram* read = nullptr;
    const int status = ReadEncodedProgram(&streams, &read);
    if ((status == C_OK) != (read != nullptr) || (status != C_OK && status != C_DESERIALIZATION_FAILED))
        std::abort();
    if (!read)
        return 0;
    std::unique_ptr<EncodedProgram> program(read);
    SinkStream output;
    const int assembled = Assemble(read, &output);
    if (assembled != C_OK && assembled != C_ASSEMBLY_FAILED)
        std::abort();
    return 0;
}
