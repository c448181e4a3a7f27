// VLDIFF10, the patcher's byte-level diff: control triples that rebuild new bytes from old ones
// by adding diff bytes and inserting extra bytes, stored raw (method 0), as three LZMA2 blocks
// (method 1) or as one LZMA2 block (method 2), optionally behind a magic and the new data's CRC.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstdint>

namespace vlpatch {

class ByteWriter;
class MemoryAllowance;

enum BinaryPatchMethod : uint32_t {
    kBinaryPatchRaw = 0,
    kBinaryPatchThreeBlocks = 1,
    kBinaryPatchOneBlock = 2,
};

// Applies the diff at the patch stream's position to the old stream's remaining bytes (the old
// stream does not move) and appends the result to out; the patch stream ends up behind the diff.
bool ApplyBinaryPatch(SourceStream* old, SourceStream* patch, SinkStream* out, bool check_header);
// The same, for output that goes on as it is rebuilt. With a header, its CRC is stored in
// *headerCrc for the caller to check against the output; without, headerCrc is null. When an
// allowance is given, what the diff's packed parts unpack to is taken from it first.
bool ApplyBinaryPatch(SourceStream* old, SourceStream* patch, ByteWriter* out, uint32_t* headerCrc,
                      MemoryAllowance* allowance = nullptr);

// Appends a diff from the old stream's remaining bytes to the new stream's; both streams end up
// at their ends. Either side must be below 2 GiB.
bool CreateBinaryPatch(SourceStream* old, SourceStream* newer, SinkStream* out, bool write_header, uint32_t method);

} // namespace vlpatch
