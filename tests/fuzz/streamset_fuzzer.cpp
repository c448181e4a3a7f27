// Arbitrary bytes into the patcher's reader: see FuzzStreamSet in tests/support/patchreaders.h.
#include "patchreaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzStreamSet(data, size);
    return 0;
}
