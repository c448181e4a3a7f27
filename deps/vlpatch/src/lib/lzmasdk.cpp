#include "lzmasdk.h"

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace vlpatch {

namespace {

constexpr Byte kMaxLzma2Prop = 40;
constexpr uint32_t kMinDictSize = LZMA_DICT_SIZE_MIN;

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
    std::size_t blockSize;
    unsigned threads;
};

struct CLzma2DecState {
    lzma_allocator allocator;
    lzma_stream stream;
};

void Lzma2Dec_Construct(CLzma2Dec* p)
{
    p->state = nullptr;
    p->finished = false;
}

uint32_t Lzma2Dec_DictionarySize(Byte prop, uint64_t maxOutput)
{
    if (prop > kMaxLzma2Prop)
        return 0;
    const uint32_t size = DictSizeOfProp(prop);
    if (size <= maxOutput)
        return size;
    return maxOutput < kMinDictSize ? kMinDictSize : static_cast<uint32_t>(maxOutput);
}

SRes Lzma2Dec_Allocate(CLzma2Dec* p, Byte prop, uint64_t maxOutput, const ISzAlloc* alloc)
{
    Lzma2Dec_Free(p, alloc);
    if (prop > kMaxLzma2Prop)
        return SZ_ERROR_UNSUPPORTED;
    lzma_options_lzma options{};
    options.dict_size = Lzma2Dec_DictionarySize(prop, maxOutput);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    void* memory = alloc->Alloc(alloc, sizeof(CLzma2DecState));
    if (!memory)
        return SZ_ERROR_MEM;
    auto* state = new (memory) CLzma2DecState{AllocatorOf(alloc), LZMA_STREAM_INIT};
    state->stream.allocator = &state->allocator;
    const lzma_ret ret = lzma_raw_decoder(&state->stream, filters);
    if (ret != LZMA_OK) {
        lzma_end(&state->stream);
        alloc->Free(alloc, memory);
        return ResultOf(ret);
    }
    p->state = state;
    p->finished = false;
    return SZ_OK;
}

SRes Lzma2Dec_DecodeToBuf(CLzma2Dec* p, Byte* dest, SizeT* destLen, const Byte* src, SizeT* srcLen,
                          ELzmaFinishMode, ELzmaStatus* status)
{
    const SizeT room = *destLen;
    const SizeT input = *srcLen;
    *destLen = 0;
    *srcLen = 0;
    if (p->finished) {
        *status = LZMA_STATUS_FINISHED_WITH_MARK;
        return SZ_OK;
    }
    if (!p->state) {
        *status = LZMA_STATUS_NOT_SPECIFIED;
        return SZ_ERROR_PARAM;
    }
    lzma_stream& stream = p->state->stream;
    stream.next_in = src;
    stream.avail_in = input;
    stream.next_out = dest;
    stream.avail_out = room;
    const lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    *destLen = room - stream.avail_out;
    *srcLen = input - stream.avail_in;
    switch (ret) {
    case LZMA_STREAM_END:
        p->finished = true;
        *status = LZMA_STATUS_FINISHED_WITH_MARK;
        return SZ_OK;
    case LZMA_OK:
    case LZMA_BUF_ERROR:
        // No progress is not an error here: the caller sees whether its input ran out.
        *status = stream.avail_out == 0 ? LZMA_STATUS_NOT_FINISHED : LZMA_STATUS_NEEDS_MORE_INPUT;
        return SZ_OK;
    default:
        *status = LZMA_STATUS_NOT_FINISHED;
        return ResultOf(ret);
    }
}

void Lzma2Dec_Free(CLzma2Dec* p, const ISzAlloc* alloc)
{
    if (!p->state)
        return;
    lzma_end(&p->state->stream);
    alloc->Free(alloc, p->state);
    p->state = nullptr;
}

SRes Lzma2Decode(Byte* dest, SizeT* destLen, const Byte* src, SizeT* srcLen, Byte prop, ELzmaFinishMode finishMode,
                 ELzmaStatus* status, const ISzAlloc* alloc)
{
    const SizeT room = *destLen;
    const SizeT input = *srcLen;
    *destLen = 0;
    *srcLen = 0;
    *status = LZMA_STATUS_NOT_SPECIFIED;

    // Decoding into a buffer of known size never needs a dictionary larger than that buffer.
    CLzma2Dec decoder;
    Lzma2Dec_Construct(&decoder);
    SRes result = Lzma2Dec_Allocate(&decoder, prop, room, alloc);
    if (result != SZ_OK)
        return result;
    SizeT produced = room;
    SizeT consumed = input;
    result = Lzma2Dec_DecodeToBuf(&decoder, dest, &produced, src, &consumed, finishMode, status);
    if (result == SZ_OK && *status == LZMA_STATUS_NOT_FINISHED) {
        // The room is full: the stream must end right here, without one more byte.
        Byte probe = 0;
        SizeT probeRoom = 1;
        SizeT rest = input - consumed;
        result = Lzma2Dec_DecodeToBuf(&decoder, &probe, &probeRoom, src + consumed, &rest, finishMode, status);
        consumed += rest;
        if (result == SZ_OK && probeRoom != 0) {
            *status = LZMA_STATUS_NOT_FINISHED;
            result = SZ_ERROR_DATA;
        }
    }
    Lzma2Dec_Free(&decoder, alloc);
    *destLen = produced;
    *srcLen = consumed;
    if (result == SZ_OK && *status != LZMA_STATUS_FINISHED_WITH_MARK)
        return SZ_ERROR_INPUT_EOF;
    return result;
}

void Lzma2EncProps_Init(CLzma2EncProps* props)
{
    props->level = 5;
    props->dictSize = 0;
    props->reduceSize = UINT64_MAX;
    props->blockSize = 0;
    props->numBlockThreads = 0;
}

CLzma2EncHandle Lzma2Enc_Create(const ISzAlloc* alloc, const ISzAlloc*)
{
    void* memory = alloc->Alloc(alloc, sizeof(CLzma2Enc));
    if (!memory)
        return nullptr;
    auto* encoder = new (memory) CLzma2Enc{alloc, {}, kDefaultLzma2BlockSize, 1};
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
    const uint64_t blockSize = props->blockSize != 0 ? props->blockSize : kDefaultLzma2BlockSize;
    if (blockSize > SIZE_MAX / 2)
        return SZ_ERROR_PARAM;
    if (props->dictSize != 0)
        options.dict_size = props->dictSize;
    // As the SDK normalises: no block holds more than min(block size, all data) bytes, so the
    // smallest dictionary of the form 2 or 3 times a power of two that holds them suffices.
    const uint64_t reduceSize = std::min(props->reduceSize, blockSize);
    if (options.dict_size > reduceSize) {
        for (int i = 11; i <= 30; ++i) {
            if (reduceSize <= (2ull << i)) {
                options.dict_size = 2u << i;
                break;
            }
            if (reduceSize <= (3ull << i)) {
                options.dict_size = 3u << i;
                break;
            }
        }
    }
    if (options.dict_size < kMinDictSize)
        options.dict_size = kMinDictSize;
    unsigned threads = props->numBlockThreads;
    if (threads == 0)
        threads = std::max(1u, std::min(kMaxLzma2BlockThreads, std::thread::hardware_concurrency()));
    handle->options = options;
    handle->blockSize = static_cast<std::size_t>(blockSize);
    handle->threads = threads;
    return SZ_OK;
}

Byte Lzma2Enc_WriteProperties(CLzma2EncHandle handle)
{
    Byte prop = 0;
    while (prop < kMaxLzma2Prop && DictSizeOfProp(prop) < handle->options.dict_size)
        ++prop;
    return prop;
}

namespace {

// One block: its input, and its LZMA2 chunks once encoded.
struct EncodedBlock {
    std::vector<Byte> input;
    std::vector<Byte> output;
    lzma_ret result = LZMA_OK;
};

void EncodeBlock(const lzma_options_lzma* options, const ISzAlloc* alloc, EncodedBlock* block)
{
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma*>(options)},
                                   {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_allocator allocator = AllocatorOf(alloc);
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &allocator;
    block->result = lzma_raw_encoder(&stream, filters);
    if (block->result != LZMA_OK) {
        lzma_end(&stream);
        return;
    }
    // LZMA2 never grows data by more than its chunk headers and the end marker.
    block->output.resize(block->input.size() + block->input.size() / 1024 + 64);
    stream.next_in = block->input.data();
    stream.avail_in = block->input.size();
    stream.next_out = block->output.data();
    stream.avail_out = block->output.size();
    block->result = lzma_code(&stream, LZMA_FINISH);
    block->output.resize(block->output.size() - stream.avail_out);
    lzma_end(&stream);
}

SRes ReadBlock(const ISeqInStream* inStream, std::size_t blockSize, std::vector<Byte>* input)
{
    input->resize(blockSize);
    std::size_t filled = 0;
    while (filled < blockSize) {
        std::size_t size = blockSize - filled;
        if (inStream->Read(inStream, input->data() + filled, &size) != SZ_OK)
            return SZ_ERROR_READ;
        if (size == 0)
            break;
        filled += size;
    }
    input->resize(filled);
    return SZ_OK;
}

// Encodes blocks[0..count) on up to `threads` threads, each taking the next block not yet taken;
// when a thread cannot be started, the others do its share.
void EncodeBlocks(const CLzma2Enc* handle, std::vector<EncodedBlock>* blocks, std::size_t count)
{
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < count; i = next++)
            EncodeBlock(&handle->options, handle->alloc, &(*blocks)[i]);
    };
    std::thread workers[kMaxLzma2BlockThreads];
    for (unsigned i = 1; i < handle->threads && i < count; ++i) {
        try {
            workers[i] = std::thread(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& worker : workers) {
        if (worker.joinable())
            worker.join();
    }
}

SRes EncodeAllBlocks(const CLzma2Enc* handle, const ISeqOutStream* outStream, const ISeqInStream* inStream)
{
    // A window of two blocks per thread evens out blocks that take longer than others.
    std::vector<EncodedBlock> blocks(2 * handle->threads);
    bool first = true;
    bool last = false;
    while (!last) {
        std::size_t count = 0;
        while (count < blocks.size() && !last) {
            if (ReadBlock(inStream, handle->blockSize, &blocks[count].input) != SZ_OK)
                return SZ_ERROR_READ;
            last = blocks[count].input.size() < handle->blockSize;
            // An empty block is still encoded when it is the whole input: the stream needs its
            // end marker.
            if (!blocks[count].input.empty() || (first && count == 0))
                ++count;
        }
        EncodeBlocks(handle, &blocks, count);

        for (std::size_t i = 0; i < count; ++i) {
            EncodedBlock& block = blocks[i];
            if (block.result != LZMA_STREAM_END)
                return ResultOf(block.result);
            // Every block's stream ends with the end marker 0x00; only the last one keeps it.
            const bool keepEnd = last && i + 1 == count;
            const std::size_t size = block.output.size() - (keepEnd ? 0 : 1);
            if (outStream->Write(outStream, block.output.data(), size) != size)
                return SZ_ERROR_WRITE;
        }
        if (count == 0 && !first) {
            static const Byte endMarker = 0;
            if (outStream->Write(outStream, &endMarker, 1) != 1)
                return SZ_ERROR_WRITE;
        }
        first = false;
    }
    return SZ_OK;
}

} // namespace

SRes Lzma2Enc_Encode(CLzma2EncHandle handle, const ISeqOutStream* outStream, const ISeqInStream* inStream,
                     ICompressProgress*)
{
    // The block buffers are the only allocations that could throw; running short is a status.
    try {
        return EncodeAllBlocks(handle, outStream, inStream);
    } catch (const std::bad_alloc&) {
        return SZ_ERROR_MEM;
    }
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

uint32_t CrcUpdate(uint32_t crc, const void* data, std::size_t size)
{
    // liblzma takes and returns the finished CRC, which is the register inverted.
    return ~lzma_crc32(static_cast<const uint8_t*>(data), size, ~crc);
}

} // namespace vlpatch
