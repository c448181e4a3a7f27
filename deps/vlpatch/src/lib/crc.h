// The CRC stored in every patcher header: the standard CRC-32 with every bit inverted (the CRC
// register without its final inversion).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpatch {

uint32_t CalculateCrc(const uint8_t* buffer, std::size_t size);
// The CRC of data that continues bytes whose CRC was crc: CalculateCrc of a and b one after the
// other is ContinueCrc(CalculateCrc(a), b).
uint32_t ContinueCrc(uint32_t crc, const uint8_t* buffer, std::size_t size);

} // namespace vlpatch
