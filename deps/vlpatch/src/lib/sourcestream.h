// Read cursor over bytes the stream does not own (a mapped file or a sink's buffer), with the
// patcher's varint32 readers. Every failed read leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class SinkStream;

// Reads one varint32 from [p, end); returns the pointer behind it, or null when the bytes run
// out or a fifth byte has bit 7 set.
const uint8_t* DecodeVarint32(const uint8_t* p, const uint8_t* end, uint32_t* value);

class SourceStream {
public:
    SourceStream() = default;

    void Init(const uint8_t* data, std::size_t length);
    void Init(const SinkStream& sink);

    bool Read(void* destination, std::size_t n);
    bool ReadVarint32(uint32_t* value);
    bool ReadVarint32Signed(int32_t* value);
    bool Skip(std::size_t n);
    // out covers the next n bytes; this stream moves past them.
    bool ShareLength(std::size_t n, SourceStream* out);
    // out covers [current + offset, current + offset + length); this stream does not move.
    bool ShareSubstream(std::size_t offset, std::size_t length, SourceStream* out) const;

    const uint8_t* Buffer() const { return m_Current; }
    std::size_t Remaining() const { return static_cast<std::size_t>(m_End - m_Current); }
    std::size_t OriginalLength() const { return static_cast<std::size_t>(m_End - m_Start); }
    bool Empty() const { return m_Current == m_End; }

private:
    const uint8_t* m_Start = nullptr;
    const uint8_t* m_End = nullptr;
    const uint8_t* m_Current = nullptr;
};

// Zigzag form of signed varint32s: 0, -1, 1, -2, ... become 0, 1, 2, 3, ...
inline uint32_t ZigzagEncode(int32_t v)
{
    return (static_cast<uint32_t>(v) << 1) ^ (v < 0 ? 0xFFFFFFFFu : 0u);
}

inline int32_t ZigzagDecode(uint32_t u)
{
    return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u)));
}

} // namespace vlpatch
