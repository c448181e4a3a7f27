#include "lzmasdk.h"

#include <lzma.h>

#include <new>

namespace vlpatch {

namespace {

constexpr Byte kMaxLzma2Prop = 40;
constexpr uint32_t kMinDictSize = LZMA_DICT_SIZE_MIN;
constexpr std::size_t kEncoderChunk = 1 << 20;

uint32_t DictSizeOfProp(Byte prop)
{
    if (prop == kMaxLzma2Prop)
        return 0xFFFFFFFF;
    return (2u | (prop & 1u)) << (prop / 2 + 11);
}

void* AllocThrough(void* opaque, std::size_t count, std::size_t size)
{
    const auto* alloc = static_cast<const ISzAlloc*>(opaque);
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return alloc->Alloc(alloc, count * size);
}

void FreeThrough(void* opaque, void* address)
{
    const auto* alloc = static_cast<const ISzAlloc*>(opaque);
    alloc->Free(alloc, address);
}

lzma_allocator AllocatorOf(const ISzAlloc* alloc)
{
    return lzma_allocator{&AllocThrough, &FreeThrough, const_cast<ISzAlloc*>(alloc)};
}

SRes ResultOf(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
        return SZ_OK;
    case LZMA_MEM_ERROR:
        return SZ_ERROR_MEM;
    case LZMA_OPTIONS_ERROR:
        return SZ_ERROR_UNSUPPORTED;
    case LZMA_DATA_ERROR:
        return SZ_ERROR_DATA;
    case LZMA_BUF_ERROR:
        return SZ_ERROR_INPUT_EOF;
    case LZMA_PROG_ERROR:
        return SZ_ERROR_PARAM;
    default:
        return SZ_ERROR_FAIL;
    }
}

} // namespace

struct CLzma2Enc {
    const ISzAlloc* alloc;
    lzma_options_lzma options;
};

SRes Lzma2Decode(Byte* dest, SizeT* destLen, const Byte* src, SizeT* srcLen, Byte prop, ELzmaFinishMode,
                 ELzmaStatus* status, const ISzAlloc* alloc)
{
    const SizeT room = *destLen;
    const SizeT input = *srcLen;
    *destLen = 0;
    *srcLen = 0;
    *status = LZMA_STATUS_NOT_SPECIFIED;
    if (prop > kMaxLzma2Prop)
        return SZ_ERROR_UNSUPPORTED;

    // Decoding into a buffer of known size never needs a dictionary larger than that buffer, and
    // a crafted property byte must not make us reserve gigabytes for a few output bytes.
    lzma_options_lzma options{};
    options.dict_size = DictSizeOfProp(prop);
    if (options.dict_size > room)
        options.dict_size = room < kMinDictSize ? kMinDictSize : static_cast<uint32_t>(room);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_allocator allocator = AllocatorOf(alloc);
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &allocator;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    if (ret != LZMA_OK) {
        lzma_end(&stream);
        return ResultOf(ret);
    }

    stream.next_in = src;
    stream.avail_in = input;
    stream.next_out = dest;
    stream.avail_out = room;
    ret = lzma_code(&stream, LZMA_RUN);
    SizeT produced = room - stream.avail_out;
    if (ret == LZMA_OK && stream.avail_out == 0) {
        // The room is full: the stream must end right here, without one more byte.
        Byte probe = 0;
        stream.next_out = &probe;
        stream.avail_out = 1;
        ret = lzma_code(&stream, LZMA_RUN);
        if (stream.avail_out == 0)
            ret = LZMA_DATA_ERROR;
    }
    *srcLen = input - stream.avail_in;
    *destLen = produced;
    lzma_end(&stream);

    if (ret == LZMA_STREAM_END) {
        *status = LZMA_STATUS_FINISHED_WITH_MARK;
        return SZ_OK;
    }
    if (ret == LZMA_OK || ret == LZMA_BUF_ERROR) {
        *status = LZMA_STATUS_NEEDS_MORE_INPUT;
        return SZ_ERROR_INPUT_EOF;
    }
    *status = LZMA_STATUS_NOT_FINISHED;
    return ResultOf(ret);
}

void Lzma2EncProps_Init(CLzma2EncProps* props)
{
    props->level = 5;
    props->dictSize = 0;
    props->reduceSize = UINT64_MAX;
}

CLzma2EncHandle Lzma2Enc_Create(const ISzAlloc* alloc, const ISzAlloc*)
{
    void* memory = alloc->Alloc(alloc, sizeof(CLzma2Enc));
    if (!memory)
        return nullptr;
    auto* encoder = new (memory) CLzma2Enc{alloc, {}};
    lzma_lzma_preset(&encoder->options, 5);
    return encoder;
}

SRes Lzma2Enc_SetProps(CLzma2EncHandle handle, const CLzma2EncProps* props)
{
    if (props->level < 0 || props->level > 9)
        return SZ_ERROR_PARAM;
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, static_cast<uint32_t>(props->level)))
        return SZ_ERROR_PARAM;
    if (props->dictSize != 0)
        options.dict_size = props->dictSize;
    // As the SDK normalises: the smallest dictionary of the form 2 or 3 times a power of two
    // that holds all the data.
    if (options.dict_size > props->reduceSize) {
        for (int i = 11; i <= 30; ++i) {
            if (props->reduceSize <= (2ull << i)) {
                options.dict_size = 2u << i;
                break;
            }
            if (props->reduceSize <= (3ull << i)) {
                options.dict_size = 3u << i;
                break;
            }
        }
    }
    if (options.dict_size < kMinDictSize)
        options.dict_size = kMinDictSize;
    handle->options = options;
    return SZ_OK;
}

Byte Lzma2Enc_WriteProperties(CLzma2EncHandle handle)
{
    Byte prop = 0;
    while (prop < kMaxLzma2Prop && DictSizeOfProp(prop) < handle->options.dict_size)
        ++prop;
    return prop;
}

SRes Lzma2Enc_Encode(CLzma2EncHandle handle, const ISeqOutStream* outStream, const ISeqInStream* inStream,
                     ICompressProgress*)
{
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &handle->options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_allocator allocator = AllocatorOf(handle->alloc);
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &allocator;
    lzma_ret ret = lzma_raw_encoder(&stream, filters);
    if (ret != LZMA_OK) {
        lzma_end(&stream);
        return ResultOf(ret);
    }

    Byte* in = static_cast<Byte*>(handle->alloc->Alloc(handle->alloc, 2 * kEncoderChunk));
    if (!in) {
        lzma_end(&stream);
        return SZ_ERROR_MEM;
    }
    Byte* out = in + kEncoderChunk;
    SRes result = SZ_OK;
    lzma_action action = LZMA_RUN;
    stream.next_out = out;
    stream.avail_out = kEncoderChunk;
    while (result == SZ_OK) {
        if (stream.avail_in == 0 && action == LZMA_RUN) {
            std::size_t size = kEncoderChunk;
            if (inStream->Read(inStream, in, &size) != SZ_OK) {
                result = SZ_ERROR_READ;
                break;
            }
            stream.next_in = in;
            stream.avail_in = size;
            if (size == 0)
                action = LZMA_FINISH;
        }
        ret = lzma_code(&stream, action);
        if (stream.avail_out == 0 || ret == LZMA_STREAM_END) {
            const std::size_t size = kEncoderChunk - stream.avail_out;
            if (outStream->Write(outStream, out, size) != size)
                result = SZ_ERROR_WRITE;
            stream.next_out = out;
            stream.avail_out = kEncoderChunk;
        }
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK && result == SZ_OK)
            result = ResultOf(ret);
    }
    handle->alloc->Free(handle->alloc, in);
    lzma_end(&stream);
    return result;
}

void Lzma2Enc_Destroy(CLzma2EncHandle handle)
{
    if (handle)
        handle->alloc->Free(handle->alloc, handle);
}

uint32_t CrcCalc(const void* data, std::size_t size)
{
    return lzma_crc32(static_cast<const uint8_t*>(data), size, 0);
}

} // namespace vlpatch
