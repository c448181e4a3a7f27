// The LZMA2 block: a property byte, the unpacked size as varint32 and a raw LZMA2 stream with
// its end marker. The block stores no packed length; a reader advances by what the decoder used.
#pragma once

#include "lzmasdk.h"
#include "memorymappedview.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace vlpatch {

// Reads one block from the source and appends its unpacked bytes to the sink. On failure the
// sink's length and the source position are unchanged.
bool UnpackLzma2Block(SourceStream* source, SinkStream* sink);

// Reads one block a piece at a time, for output that is passed on as it is unpacked instead of
// being held whole. Every failure is logged as UnpackLzma2Block logs it.
class Lzma2BlockReader {
public:
    Lzma2BlockReader();
    ~Lzma2BlockReader();
    Lzma2BlockReader(const Lzma2BlockReader&) = delete;
    Lzma2BlockReader& operator=(const Lzma2BlockReader&) = delete;

    // Reads the block's header from the source; nothing is allocated yet, so that the caller
    // may refuse the announced size first.
    bool ReadHeader(SourceStream* source);
    uint32_t UnpackedSize() const { return m_UnpackedSize; }
    // What Start will take for the decoder's dictionary.
    uint32_t DictionarySize() const { return Lzma2Dec_DictionarySize(m_Property, m_UnpackedSize); }
    // Prepares the decoder, its dictionary no larger than the announced size.
    bool Start();
    // The source lies in this mapping, whose pages are let go as the decoder passes them.
    void ReleaseInputOf(const MemoryMappedView* mapping)
    {
        m_Mapping = mapping;
        m_Released = m_Input.Buffer();
    }
    // Unpacked bytes not read yet.
    uint64_t Remaining() const { return m_UnpackedSize - m_Produced; }
    // Unpacks exactly n more bytes (n <= Remaining()).
    bool Read(uint8_t* destination, std::size_t n);
    // Reads the end marker that must follow the last byte, frees the decoder, then moves the
    // source behind the block; bytes after it stay for the next reader.
    bool Finish();

private:
    bool Fail(SRes result);
    void ReleaseInput();

    SourceStream* m_Source = nullptr;
    SourceStream m_Input;
    Byte m_Property = 0;
    uint32_t m_UnpackedSize = 0;
    uint64_t m_Produced = 0;
    CLzma2Dec m_Decoder;
    const MemoryMappedView* m_Mapping = nullptr;
    const uint8_t* m_Released = nullptr;
};
// Packs all remaining bytes of the source (or the buffer) as one block appended to the sink.
bool PackLzma2Block(SourceStream* source, SinkStream* sink);
bool PackLzma2Buffer(const uint8_t* buffer, std::size_t length, SinkStream* sink);

bool WriteLzma2BlockHeader(CLzma2EncHandle encoder, std::size_t unpackedSize, SinkStream* sink);
bool EncodeLzma2Block(CLzma2EncHandle encoder, const ISeqInStream* input, SinkStream* sink);

void* SzAlloc(const ISzAlloc* p, std::size_t size);
void SzFree(const ISzAlloc* p, void* address);

// SDK streams over the patcher's streams, and their callbacks.
struct SinkOutStream {
    ISeqOutStream vt;
    SinkStream* sink;
};
struct SourceInStream {
    ISeqInStream vt;
    SourceStream* source;
};
struct BufferInStream {
    ISeqInStream vt;
    const uint8_t* buffer;
    std::size_t position;
    std::size_t length;
};

// Appends to the sink; returns the size, or 0 when the append fails.
std::size_t LzmaSinkStreamWrite(const ISeqOutStream* p, const void* buffer, std::size_t size);
// Clips the request to the remaining bytes, copies and advances; 1 when the read fails.
SRes LzmaSourceStreamRead(const ISeqInStream* p, void* buffer, std::size_t* size);
SRes LzmaBufferRead(const ISeqInStream* p, void* buffer, std::size_t* size);

} // namespace vlpatch
