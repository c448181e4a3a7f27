#include "crc.h"

#include "lzmasdk.h"

namespace vlpatch {

// liblzma's CRC tables are built into the library, so no table set-up is needed first.
uint32_t CalculateCrc(const uint8_t* buffer, std::size_t size)
{
    return ~CrcCalc(buffer, size);
}

uint32_t ContinueCrc(uint32_t crc, const uint8_t* buffer, std::size_t size)
{
    return CrcUpdate(crc, buffer, size);
}

} // namespace vlpatch
