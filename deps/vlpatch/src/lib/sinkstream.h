// Growable output buffer of the patcher. Allocation never throws; once it fails the sink is
// empty and refuses every later write, so a run of writes may be checked at its last one.
#pragma once

#include "nothrowbuffer.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class SinkStream {
public:
    SinkStream() = default;
    SinkStream(const SinkStream&) = delete;
    SinkStream& operator=(const SinkStream&) = delete;

    bool Write(const void* bytes, std::size_t n);
    bool WriteVarint32(uint32_t value);
    bool WriteVarint32Signed(int32_t value);
    // A size must fit in 32 bits; a larger one is a broken invariant that ends the process.
    bool WriteSizeVarint32(std::size_t value);
    // Moves the other sink's bytes behind ours; on failure the other sink keeps them.
    bool Append(SinkStream* other);
    // Room for n more bytes, allocated exactly once.
    bool Reserve(std::size_t n);
    // Takes n bytes written in place behind the current length (within the reserved room).
    bool Commit(std::size_t n) { return m_Buffer.commit(n); }
    // Drops the contents and the buffer; the sink becomes empty and usable again.
    void Retire() { m_Buffer.release(); }

    const uint8_t* Buffer() const { return m_Buffer.data(); }
    uint8_t* MutableBuffer() { return m_Buffer.data(); }
    std::size_t Length() const { return m_Buffer.size(); }
    std::size_t Capacity() const { return m_Buffer.capacity(); }
    bool Failed() const { return m_Buffer.failed(); }

private:
    NoThrowBuffer<uint8_t, 256> m_Buffer;
};

} // namespace vlpatch
