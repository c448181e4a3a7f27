// Where a decoder puts the bytes it rebuilds, front to back: a sink in memory, or a file that is
// written while it is decoded. The decoder writes straight into the writer's room, so no byte is
// copied on the way.
#pragma once

#include "sinkstream.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class ByteWriter {
public:
    virtual ~ByteWriter() = default;

    // Room for at least one and at most `wanted` (> 0) bytes behind those written, its size in
    // *size; null when no room can be had.
    virtual uint8_t* Room(std::size_t wanted, std::size_t* size) = 0;
    // Takes the first n bytes of the last room.
    virtual bool Commit(std::size_t n) = 0;
    // Tells the writer that n more bytes are about to come, so that a buffer can be sized once.
    virtual bool Expect(uint64_t) { return true; }

    bool Write(const void* bytes, std::size_t n);
};

// Appends to a sink.
class SinkWriter : public ByteWriter {
public:
    explicit SinkWriter(SinkStream* sink) : m_Sink(sink) {}

    uint8_t* Room(std::size_t wanted, std::size_t* size) override;
    bool Commit(std::size_t n) override { return m_Sink->Commit(n); }
    bool Expect(uint64_t n) override;

private:
    SinkStream* m_Sink;
};

} // namespace vlpatch
