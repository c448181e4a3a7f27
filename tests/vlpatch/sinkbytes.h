// Bytes out of the patcher's sink streams, for tests that build or compare stream contents.
#pragma once

#include "scratchdir.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

// What `sink` holds.
inline ByteVector bytesOf(const vlpatch::SinkStream& sink)
{
    return ByteVector(sink.Buffer(), sink.Buffer() + sink.Length());
}

// The values written one after another as varints.
inline ByteVector varints(std::initializer_list<uint32_t> values)
{
    vlpatch::SinkStream sink;
    for (uint32_t value : values)
        EXPECT_TRUE(sink.WriteVarint32(value));
    return bytesOf(sink);
}
