// Up to ten byte streams behind one header, and sets nested inside the streams of an outer set:
// the form in which patch parameters, elements and encoded programs travel.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

constexpr std::size_t kMaxStreams = 10;
constexpr uint32_t kStreamSetMagic = 20090218;

// Views into one buffer that outlives the set; the set owns no memory.
class SourceStreamSet {
public:
    SourceStreamSet() = default;

    bool Init(const uint8_t* buffer, std::size_t length);
    // Parses the source stream's remaining bytes; the source stream does not move.
    bool InitFromSourceStream(const SourceStream& source);
    // Reads a nested set out of this set's streams, advancing them past it.
    bool ReadSet(SourceStreamSet* nested);
    // True when every stream below the count is used up.
    bool Empty() const;

    std::size_t count() const { return m_Count; }
    SourceStream* stream(std::size_t i) { return &m_Streams[i]; }

private:
    std::size_t m_Count = kMaxStreams;
    SourceStream m_Streams[kMaxStreams];
};

class SinkStreamSet {
public:
    SinkStreamSet() = default;
    ~SinkStreamSet();
    SinkStreamSet(const SinkStreamSet&) = delete;
    SinkStreamSet& operator=(const SinkStreamSet&) = delete;

    // Sets the number of streams; more than ten is refused.
    bool Init(std::size_t count);
    // Writes the header and the streams into the sink and empties the streams.
    bool CopyTo(SinkStream* sink);
    bool CopyHeaderTo(SinkStream* sink);
    // Writes the nested set into this set's streams and empties the nested streams it moved.
    bool WriteSet(SinkStreamSet* nested);

    std::size_t count() const { return m_Count; }
    SinkStream* stream(std::size_t i) { return &m_Streams[i]; }

private:
    std::size_t m_Count = kMaxStreams;
    SinkStream m_Streams[kMaxStreams];
};

} // namespace vlpatch
