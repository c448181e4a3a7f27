#include "bytewriter.h"

#include <algorithm>
#include <cstring>

namespace vlpatch {

bool ByteWriter::Write(const void* bytes, std::size_t n)
{
    const auto* from = static_cast<const uint8_t*>(bytes);
    while (n != 0) {
        std::size_t size = 0;
        uint8_t* room = Room(n, &size);
        if (!room)
            return false;
        std::memcpy(room, from, size);
        if (!Commit(size))
            return false;
        from += size;
        n -= size;
    }
    return true;
}

uint8_t* SinkWriter::Room(std::size_t wanted, std::size_t* size)
{
    if (m_Sink->Failed())
        return nullptr;
    // Without a size announced up front the sink grows by doubling, not by each room.
    if (m_Sink->Capacity() - m_Sink->Length() < wanted && !m_Sink->Reserve(std::max(wanted, m_Sink->Length())))
        return nullptr;
    *size = wanted;
    return m_Sink->MutableBuffer() + m_Sink->Length();
}

bool SinkWriter::Expect(uint64_t n)
{
    return n <= SIZE_MAX && m_Sink->Reserve(static_cast<std::size_t>(n));
}

} // namespace vlpatch
