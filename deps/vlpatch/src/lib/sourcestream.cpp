#include "sourcestream.h"

#include "sinkstream.h"

#include <cstring>

namespace vlpatch {

const uint8_t* DecodeVarint32(const uint8_t* p, const uint8_t* end, uint32_t* value)
{
    uint32_t result = 0;
    for (int k = 0; k < 5; ++k) {
        if (p == end)
            return nullptr;
        const uint8_t byte = *p++;
        result |= static_cast<uint32_t>(byte & 0x7F) << (7 * k);
        if (!(byte & 0x80)) {
            *value = result;
            return p;
        }
    }
    return nullptr;
}

void SourceStream::Init(const uint8_t* data, std::size_t length)
{
    m_Start = m_Current = data;
    m_End = data + length;
}

void SourceStream::Init(const SinkStream& sink)
{
    Init(sink.Buffer(), sink.Length());
}

bool SourceStream::Read(void* destination, std::size_t n)
{
    if (n > Remaining())
        return false;
    if (n != 0)
        std::memcpy(destination, m_Current, n);
    m_Current += n;
    return true;
}

bool SourceStream::ReadVarint32(uint32_t* value)
{
    const uint8_t* next = DecodeVarint32(m_Current, m_End, value);
    if (!next)
        return false;
    m_Current = next;
    return true;
}

bool SourceStream::ReadVarint32Signed(int32_t* value)
{
    uint32_t encoded = 0;
    if (!ReadVarint32(&encoded))
        return false;
    *value = ZigzagDecode(encoded);
    return true;
}

bool SourceStream::Skip(std::size_t n)
{
    if (n > Remaining())
        return false;
    m_Current += n;
    return true;
}

bool SourceStream::ShareLength(std::size_t n, SourceStream* out)
{
    if (n > Remaining())
        return false;
    out->Init(m_Current, n);
    m_Current += n;
    return true;
}

bool SourceStream::ShareSubstream(std::size_t offset, std::size_t length, SourceStream* out) const
{
    if (offset > Remaining() || length > Remaining() - offset)
        return false;
    out->Init(m_Current + offset, length);
    return true;
}

} // namespace vlpatch
