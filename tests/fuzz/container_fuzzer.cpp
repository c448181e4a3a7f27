// Arbitrary bytes into the patcher's reader: see FuzzContainer in tests/support/patchreaders.h.
#include "patchreaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzContainer(data, size);
    return 0;
}
