// Arbitrary bytes into the patcher's reader: see FuzzLzma2Block in tests/support/patchreaders.h.
#include "patchreaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzLzma2Block(data, size);
    return 0;
}
