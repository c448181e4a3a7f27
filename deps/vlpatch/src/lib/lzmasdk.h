// The few LZMA SDK calls the patcher is written against, provided on top of liblzma (Debian
// ships no LZMA SDK library). Names, result codes and call shapes follow the SDK so that the
// callers read as their format descriptions do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpatch {

using SRes = int;
using Byte = uint8_t;
using SizeT = std::size_t;

constexpr SRes SZ_OK = 0;
constexpr SRes SZ_ERROR_DATA = 1;
constexpr SRes SZ_ERROR_MEM = 2;
constexpr SRes SZ_ERROR_UNSUPPORTED = 4;
constexpr SRes SZ_ERROR_PARAM = 5;
constexpr SRes SZ_ERROR_INPUT_EOF = 6;
constexpr SRes SZ_ERROR_READ = 8;
constexpr SRes SZ_ERROR_WRITE = 9;
constexpr SRes SZ_ERROR_FAIL = 11;

enum ELzmaFinishMode { LZMA_FINISH_ANY, LZMA_FINISH_END };

enum ELzmaStatus {
    LZMA_STATUS_NOT_SPECIFIED,
    LZMA_STATUS_FINISHED_WITH_MARK,
    LZMA_STATUS_NOT_FINISHED,
    LZMA_STATUS_NEEDS_MORE_INPUT,
};

struct ISzAlloc {
    void* (*Alloc)(const ISzAlloc* p, std::size_t size);
    void (*Free)(const ISzAlloc* p, void* address);
};

// Read: fills at most *size bytes and sets *size to the count; 0 means end of input.
struct ISeqInStream {
    SRes (*Read)(const ISeqInStream* p, void* buffer, std::size_t* size);
};

// Write: returns the number of bytes taken; fewer than offered is a write error.
struct ISeqOutStream {
    std::size_t (*Write)(const ISeqOutStream* p, const void* buffer, std::size_t size);
};

struct ICompressProgress;

// Encoder settings. As in the SDK's block mode, the input is cut into blocks that are encoded
// independently, several at once, each starting with a dictionary reset; their chunks follow
// each other in one LZMA2 stream, which any LZMA2 decoder reads.
struct CLzma2EncProps {
    int level;
    // 0: the level's dictionary, reduced to the block size and to reduceSize.
    uint32_t dictSize;
    // Number of bytes that will be encoded, or UINT64_MAX when unknown.
    uint64_t reduceSize;
    // 0: kDefaultLzma2BlockSize.
    uint64_t blockSize;
    // 0: as many as the machine has cores, at most kMaxLzma2BlockThreads.
    unsigned numBlockThreads;
};

// Small blocks cost little ratio on patch data and keep each encoder's match finder small, so
// that several run at once within the memory of a single large one.
constexpr uint64_t kDefaultLzma2BlockSize = 2u << 20;
constexpr unsigned kMaxLzma2BlockThreads = 4;

struct CLzma2Enc;
struct CLzma2DecState;
using CLzma2EncHandle = CLzma2Enc*;

// One-shot decoding of a raw LZMA2 stream with dictionary property `prop`. *destLen and *srcLen
// are the room and the input on entry, the bytes produced and consumed on return. The result is
// SZ_OK also when the stream ends before *destLen bytes; a stream that would produce more than
// *destLen bytes is SZ_ERROR_DATA, one whose input runs out first SZ_ERROR_INPUT_EOF.
SRes Lzma2Decode(Byte* dest, SizeT* destLen, const Byte* src, SizeT* srcLen, Byte prop,
                 ELzmaFinishMode finishMode, ELzmaStatus* status, const ISzAlloc* alloc);

// Incremental decoding of one raw LZMA2 stream, for output that is written as it is produced.
// The dictionary never exceeds what the stream is allowed to produce: a crafted property byte
// must not make us reserve gigabytes for a few output bytes.
struct CLzma2Dec {
    CLzma2DecState* state;
    bool finished;
};

void Lzma2Dec_Construct(CLzma2Dec* p);
// The dictionary that a decoder for property `prop` and at most `maxOutput` bytes takes; 0 for
// a property that no decoder takes.
uint32_t Lzma2Dec_DictionarySize(Byte prop, uint64_t maxOutput);
// Prepares a decoder for property `prop` that produces at most `maxOutput` bytes.
SRes Lzma2Dec_Allocate(CLzma2Dec* p, Byte prop, uint64_t maxOutput, const ISzAlloc* alloc);
// Decodes into dest: on entry *destLen and *srcLen are the room and the input, on return what
// was produced and consumed. LZMA_STATUS_FINISHED_WITH_MARK once the end marker was read; the
// stream then produces nothing more.
SRes Lzma2Dec_DecodeToBuf(CLzma2Dec* p, Byte* dest, SizeT* destLen, const Byte* src, SizeT* srcLen,
                          ELzmaFinishMode finishMode, ELzmaStatus* status);
void Lzma2Dec_Free(CLzma2Dec* p, const ISzAlloc* alloc);

void Lzma2EncProps_Init(CLzma2EncProps* props);
CLzma2EncHandle Lzma2Enc_Create(const ISzAlloc* alloc, const ISzAlloc* allocBig);
SRes Lzma2Enc_SetProps(CLzma2EncHandle handle, const CLzma2EncProps* props);
Byte Lzma2Enc_WriteProperties(CLzma2EncHandle handle);
SRes Lzma2Enc_Encode(CLzma2EncHandle handle, const ISeqOutStream* outStream, const ISeqInStream* inStream,
                     ICompressProgress* progress);
void Lzma2Enc_Destroy(CLzma2EncHandle handle);

// The standard CRC-32 (zlib's crc32) of the bytes, with the SDK's initial value 0xFFFFFFFF
// and final inversion.
uint32_t CrcCalc(const void* data, std::size_t size);
// Continues a CRC register (initial value 0xFFFFFFFF, no final inversion) over more bytes.
uint32_t CrcUpdate(uint32_t crc, const void* data, std::size_t size);

} // namespace vlpatch
