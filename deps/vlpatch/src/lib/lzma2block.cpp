#include "lzma2block.h"

#include "logstream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vlpatch {

namespace {

const ISzAlloc g_Alloc = {&SzAlloc, &SzFree};
const ISzAlloc g_AllocBig = {&SzAlloc, &SzFree};

constexpr int kPackLevel = 9;

// An LZMA2 chunk unpacks to at most 2 MiB and takes at least six bytes (control, two sizes and
// one packed byte), so no valid block unpacks to more than this from the bytes it has.
uint64_t MaxUnpackedSize(std::size_t packedBytes)
{
    return (static_cast<uint64_t>(packedBytes) / 6 + 1) << 21;
}

bool Pack(std::size_t length, const ISeqInStream* input, SinkStream* sink, int assertionLine)
{
    CLzma2EncHandle encoder = Lzma2Enc_Create(&g_Alloc, &g_AllocBig);
    if (!encoder)
        LogFailedAssertion("encHandle", "lzmaioout", assertionLine);
    const bool ok = WriteLzma2BlockHeader(encoder, length, sink) && EncodeLzma2Block(encoder, input, sink);
    Lzma2Enc_Destroy(encoder);
    return ok;
}

} // namespace

void* SzAlloc(const ISzAlloc*, std::size_t size)
{
    return std::malloc(size);
}

void SzFree(const ISzAlloc*, void* address)
{
    std::free(address);
}

std::size_t LzmaSinkStreamWrite(const ISeqOutStream* p, const void* buffer, std::size_t size)
{
    auto* self = reinterpret_cast<const SinkOutStream*>(p);
    return self->sink->Write(buffer, size) ? size : 0;
}

SRes LzmaSourceStreamRead(const ISeqInStream* p, void* buffer, std::size_t* size)
{
    auto* self = reinterpret_cast<const SourceInStream*>(p);
    *size = std::min(*size, self->source->Remaining());
    return self->source->Read(buffer, *size) ? SZ_OK : 1;
}

SRes LzmaBufferRead(const ISeqInStream* p, void* buffer, std::size_t* size)
{
    auto* self = const_cast<BufferInStream*>(reinterpret_cast<const BufferInStream*>(p));
    *size = std::min(*size, self->length - self->position);
    if (*size != 0)
        std::memcpy(buffer, self->buffer + self->position, *size);
    self->position += *size;
    return SZ_OK;
}

namespace {

// The property byte and the unpacked size; the header stream moves behind them.
bool ReadBlockHeader(SourceStream* header, Byte* prop, uint32_t* unpackedSize)
{
    if (!header->Read(prop, 1)) {
        LogStream(1) << "Error read LZMA2 properties";
        return false;
    }
    if (!header->ReadVarint32(unpackedSize)) {
        LogStream(1) << "Error read LZMA2 unpack size";
        return false;
    }
    // Refused before anything is reserved: the data cannot hold that many bytes.
    if (*unpackedSize > MaxUnpackedSize(header->Remaining())) {
        LogStream(1) << "Error uncompressing data " << SZ_ERROR_INPUT_EOF;
        return false;
    }
    return true;
}

} // namespace

bool UnpackLzma2Block(SourceStream* source, SinkStream* sink)
{
    SourceStream header = *source;
    Byte prop = 0;
    uint32_t unpackedSize = 0;
    if (!ReadBlockHeader(&header, &prop, &unpackedSize))
        return false;
    if (sink->Failed() || !sink->Reserve(unpackedSize)) {
        LogStream(1) << "unable to allocate sink space";
        return false;
    }

    SizeT produced = unpackedSize;
    SizeT consumed = header.Remaining();
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    const SRes result = Lzma2Decode(sink->MutableBuffer() + sink->Length(), &produced, header.Buffer(), &consumed,
                                    prop, LZMA_FINISH_END, &status, &g_AllocBig);
    if (result != SZ_OK || produced != unpackedSize) {
        LogStream(1) << "Error uncompressing data " << result;
        return false;
    }
    header.Skip(consumed);
    sink->Commit(produced);
    *source = header;
    return true;
}

Lzma2BlockReader::Lzma2BlockReader()
{
    Lzma2Dec_Construct(&m_Decoder);
}

Lzma2BlockReader::~Lzma2BlockReader()
{
    Lzma2Dec_Free(&m_Decoder, &g_AllocBig);
}

bool Lzma2BlockReader::ReadHeader(SourceStream* source)
{
    m_Source = source;
    m_Input = *source;
    m_Produced = 0;
    return ReadBlockHeader(&m_Input, &m_Property, &m_UnpackedSize);
}

bool Lzma2BlockReader::Start()
{
    const SRes result = Lzma2Dec_Allocate(&m_Decoder, m_Property, m_UnpackedSize, &g_AllocBig);
    return result == SZ_OK || Fail(result);
}

bool Lzma2BlockReader::Fail(SRes result)
{
    LogStream(1) << "Error uncompressing data " << result;
    return false;
}

bool Lzma2BlockReader::Read(uint8_t* destination, std::size_t n)
{
    if (n > Remaining())
        return Fail(SZ_ERROR_PARAM);
    while (n != 0) {
        SizeT produced = n;
        SizeT consumed = m_Input.Remaining();
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        const SRes result = Lzma2Dec_DecodeToBuf(&m_Decoder, destination, &produced, m_Input.Buffer(), &consumed,
                                                 LZMA_FINISH_ANY, &status);
        if (result != SZ_OK)
            return Fail(result);
        m_Input.Skip(consumed);
        destination += produced;
        n -= produced;
        m_Produced += produced;
        // A stream that ends early is short by the one-shot decoder's measure too (result 0).
        if (n != 0 && status == LZMA_STATUS_FINISHED_WITH_MARK)
            return Fail(SZ_OK);
        if (produced == 0 && consumed == 0)
            return Fail(SZ_ERROR_INPUT_EOF);
        ReleaseInput();
    }
    return true;
}

void Lzma2BlockReader::ReleaseInput()
{
    constexpr std::size_t kReleaseStep = 4u << 20;
    if (m_Mapping && static_cast<std::size_t>(m_Input.Buffer() - m_Released) >= kReleaseStep) {
        m_Mapping->Release(m_Input.Buffer());
        m_Released = m_Input.Buffer();
    }
}

bool Lzma2BlockReader::Finish()
{
    if (Remaining() != 0)
        return Fail(SZ_OK);
    for (;;) {
        Byte probe = 0;
        SizeT produced = 1;
        SizeT consumed = m_Input.Remaining();
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        const SRes result = Lzma2Dec_DecodeToBuf(&m_Decoder, &probe, &produced, m_Input.Buffer(), &consumed,
                                                 LZMA_FINISH_END, &status);
        if (result != SZ_OK)
            return Fail(result);
        m_Input.Skip(consumed);
        if (produced != 0)
            return Fail(SZ_ERROR_DATA);
        if (status == LZMA_STATUS_FINISHED_WITH_MARK)
            break;
        if (consumed == 0)
            return Fail(SZ_ERROR_INPUT_EOF);
    }
    // The dictionary is not needed past the end marker; the caller may still hold the reader.
    Lzma2Dec_Free(&m_Decoder, &g_AllocBig);
    *m_Source = m_Input;
    return true;
}

bool PackLzma2Block(SourceStream* source, SinkStream* sink)
{
    SourceInStream input{{&LzmaSourceStreamRead}, source};
    return Pack(source->Remaining(), &input.vt, sink, 52);
}

bool PackLzma2Buffer(const uint8_t* buffer, std::size_t length, SinkStream* sink)
{
    BufferInStream input{{&LzmaBufferRead}, buffer, 0, length};
    return Pack(length, &input.vt, sink, 63);
}

bool WriteLzma2BlockHeader(CLzma2EncHandle encoder, std::size_t unpackedSize, SinkStream* sink)
{
    CLzma2EncProps props;
    Lzma2EncProps_Init(&props);
    props.level = kPackLevel;
    props.reduceSize = unpackedSize;
    if (Lzma2Enc_SetProps(encoder, &props) != SZ_OK) {
        LogStream(1) << "Error Lzma2Enc_SetProps";
        return false;
    }
    // The block header holds the size as a varint32; larger inputs cannot be packed.
    if (unpackedSize > 0xFFFFFFFFu)
        return false;
    const Byte prop = Lzma2Enc_WriteProperties(encoder);
    return sink->Write(&prop, 1) && sink->WriteSizeVarint32(unpackedSize);
}

bool EncodeLzma2Block(CLzma2EncHandle encoder, const ISeqInStream* input, SinkStream* sink)
{
    SinkOutStream output{{&LzmaSinkStreamWrite}, sink};
    if (Lzma2Enc_Encode(encoder, &output.vt, input, nullptr) != SZ_OK) {
        LogStream(1) << "Error Lzma2Enc_Encode";
        return false;
    }
    return true;
}

} // namespace vlpatch
