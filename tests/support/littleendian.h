// Little-endian fields in byte buffers, for tests that build executable images by hand.
#pragma once

#include "scratchdir.h"

#include <cstddef>
#include <cstdint>

inline void put16(ByteVector* b, std::size_t at, uint32_t v)
{
    (*b)[at] = uint8_t(v);
    (*b)[at + 1] = uint8_t(v >> 8);
}

inline void put32(ByteVector* b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = uint8_t(v >> (8 * i));
}

inline void put64(ByteVector* b, std::size_t at, uint64_t v)
{
    put32(b, at, uint32_t(v));
    put32(b, at + 4, uint32_t(v >> 32));
}

inline uint32_t get32(const ByteVector& b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
