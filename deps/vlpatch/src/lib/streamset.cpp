#include "streamset.h"

namespace vlpatch {

namespace {

// The set formats carry lengths as varint32s; a longer stream cannot be written.
bool FitsVarint32(std::size_t length)
{
    return length <= 0xFFFFFFFFu;
}

} // namespace

bool SourceStreamSet::Init(const uint8_t* buffer, std::size_t length)
{
    SourceStream header;
    header.Init(buffer, length);

    uint32_t magic = 0;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic)
        return false;
    uint32_t count = 0;
    if (!header.ReadVarint32(&count) || count > kMaxStreams)
        return false;
    m_Count = count;

    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != header.Remaining())
        return false;

    for (uint32_t i = 0; i < count; ++i)
        header.ShareLength(lengths[i], &m_Streams[i]);
    return true;
}

bool SourceStreamSet::InitFromSourceStream(const SourceStream& source)
{
    return Init(source.Buffer(), source.Remaining());
}

bool SourceStreamSet::ReadSet(SourceStreamSet* nested)
{
    if (m_Count == 0)
        return false;
    SourceStream* header = &m_Streams[0];
    const SourceStream saved = *header;

    uint32_t n = 0;
    if (!header->ReadVarint32(&n) || n > kMaxStreams || n > m_Count || n > nested->m_Count) {
        *header = saved;
        return false;
    }
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < n; ++i) {
        if (!header->ReadVarint32(&lengths[i])) {
            *header = saved;
            return false;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!m_Streams[i].ShareLength(lengths[i], &nested->m_Streams[i]))
            return false;
    }
    return true;
}

bool SourceStreamSet::Empty() const
{
    for (std::size_t i = 0; i < m_Count; ++i) {
        if (!m_Streams[i].Empty())
            return false;
    }
    return true;
}

SinkStreamSet::~SinkStreamSet()
{
    for (std::size_t i = kMaxStreams; i-- > 0;)
        m_Streams[i].Retire();
}

bool SinkStreamSet::Init(std::size_t count)
{
    if (count > kMaxStreams)
        return false;
    m_Count = count;
    return true;
}

bool SinkStreamSet::CopyHeaderTo(SinkStream* sink)
{
    static const uint8_t magic[4] = {0xEA, 0x9A, 0xCA, 0x09};
    bool ok = sink->Write(magic, sizeof magic) && sink->WriteSizeVarint32(m_Count);
    for (std::size_t i = 0; ok && i < m_Count; ++i)
        ok = FitsVarint32(m_Streams[i].Length()) && sink->WriteSizeVarint32(m_Streams[i].Length());
    return ok;
}

bool SinkStreamSet::CopyTo(SinkStream* sink)
{
    SinkStream header;
    if (!CopyHeaderTo(&header))
        return false;

    std::size_t total = header.Length();
    for (std::size_t i = 0; i < m_Count; ++i) {
        if (m_Streams[i].Length() > SIZE_MAX - total)
            return false;
        total += m_Streams[i].Length();
    }
    if (!sink->Reserve(total) || !sink->Append(&header))
        return false;
    for (std::size_t i = 0; i < m_Count; ++i) {
        if (!sink->Append(&m_Streams[i]))
            return false;
    }
    return true;
}

bool SinkStreamSet::WriteSet(SinkStreamSet* nested)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < kMaxStreams; ++i) {
        if (nested->m_Streams[i].Length() != 0)
            n = i + 1;
    }
    if (n > m_Count || n > nested->m_Count || (n == 0 && m_Count == 0))
        return false;

    SinkStream* header = &m_Streams[0];
    if (!header->WriteSizeVarint32(n))
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t length = nested->m_Streams[i].Length();
        if (!FitsVarint32(length) || !header->WriteSizeVarint32(length))
            return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!m_Streams[i].Append(&nested->m_Streams[i]))
            return false;
    }
    return true;
}

} // namespace vlpatch
