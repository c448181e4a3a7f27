// Arbitrary bytes into the disassemblers: see FuzzExecutable in tests/support/patchreaders.h.
#include "patchreaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzExecutable(data, size);
    return 0;
}
