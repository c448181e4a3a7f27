#include "crc.h"

#include "lzmasdk.h"

namespace vlpatch {

// liblzma's CRC tables are built into the library, so no table set-up is needed first.
uint32_t CalculateCrc(const uint8_t* buffer, std::size_t size)
{
    return ~CrcCalc(buffer, size);
}

} // namespace vlpatch
