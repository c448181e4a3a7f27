// Detached signatures come from the file server: any signature bytes, of any length, over any
// message must end in a clean yes or no against the built-in key.
//
// Input: one byte choosing the signature length (120 to 135, around the valid 128), the
// signature, then the signed message.
#include "rsacrypto.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initCrypto();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t signatureLength = std::min(size - 1, size_t(120 + data[0] % 16));
    const uint8_t* signature = data + 1;
    const uint8_t* message = signature + signatureLength;
    const size_t messageLength = size - 1 - signatureLength;
    RsaKey key;
    importRsaKey(key, g_builtinRsaKey, kBuiltinRsaKeyBlockSize);
    try {
        verifyRsaSha1(key, message, messageLength, signature, signatureLength);
    } catch (const crypt_exception&) {
        // A malformed signature is a failed check, reported through the exception.
    }
    return 0;
}
