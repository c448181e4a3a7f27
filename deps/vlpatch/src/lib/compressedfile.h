// The "._lzma2_" container: one stored file, either packed as one LZMA2 block (directive 1) or,
// for executables, as encoded programs plus a diff that rebuilds the exact file from them
// (directive 2), the whole payload again one LZMA2 block.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstdint>

namespace vlpatch {

class MemoryMappedView;

constexpr uint32_t kContainerMagic = 132781929;
constexpr uint32_t kContainerPlain = 1;
constexpr uint32_t kContainerPreprocessed = 2;

// Writes the stored file to the target only when it was rebuilt whole and its CRC matched, and
// puts it in place only once all of it is written.
bool UncompressFile(const char* sourcePath, const char* targetPath);

// The decoder behind UncompressFile: appends the stored file of the container at the source's
// position to the output; every failure is logged once.
bool UncompressContainer(SourceStream* container, SinkStream* output);

// Packs the source into a container at the target: directive 2 when the source holds executables
// that survive the round trip, else directive 1.
bool CompressFilePreprocessed(const char* sourcePath, const char* targetPath, bool preprocess);
// Appends a directive-1 container of the whole mapped source; false (logged) when any part of it
// could not be written, so that a broken container is never taken for a packed file.
bool CompressFileDefault(const MemoryMappedView& source, SinkStream* out, uint32_t crc);
bool WriteContainerHeader(SinkStream* out, uint32_t crc);

} // namespace vlpatch
