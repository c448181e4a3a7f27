#include "sinkstream.h"

#include "logstream.h"
#include "sourcestream.h"

namespace vlpatch {

bool SinkStream::Write(const void* bytes, std::size_t n)
{
    return m_Buffer.append(static_cast<const uint8_t*>(bytes), n);
}

bool SinkStream::WriteVarint32(uint32_t value)
{
    uint8_t bytes[5];
    std::size_t n = 0;
    while (value >= 0x80) {
        bytes[n++] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    bytes[n++] = static_cast<uint8_t>(value);
    return Write(bytes, n);
}

bool SinkStream::WriteVarint32Signed(int32_t value)
{
    return WriteVarint32(ZigzagEncode(value));
}

bool SinkStream::WriteSizeVarint32(std::size_t value)
{
    const uint32_t narrowed_value = static_cast<uint32_t>(value);
    if (value != narrowed_value)
        LogFailedAssertion("value == narrowed_value", __FILE__, 209);
    return WriteVarint32(narrowed_value);
}

bool SinkStream::Append(SinkStream* other)
{
    // A sink whose allocation failed lost its bytes; appending it must not pass for success.
    if (other->Failed() || !Write(other->Buffer(), other->Length()))
        return false;
    other->Retire();
    return true;
}

bool SinkStream::Reserve(std::size_t n)
{
    if (m_Buffer.failed() || n > NoThrowBuffer<uint8_t, 256>::kMaxElements - Length())
        return false;
    return m_Buffer.reserve(Length() + n);
}

} // namespace vlpatch
