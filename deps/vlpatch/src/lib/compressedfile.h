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

// What a caller lets one container cost: the size of the stored file, and the memory that a
// preprocessed payload may take while the file is rebuilt, its decoder, payload streams, encoded
// programs and assembled bytes together. Sizes and counts that the container announces beyond
// these are refused before anything is reserved. A caller whose file holds no executable takes
// the plain form only.
struct UnpackBudget {
    uint64_t output;
    uint64_t memory;
    bool executableForm = true;

    // The budget for a stored file of at most `output` bytes. A preprocessed payload holds
    // encoded programs and a diff that together run to about twice the file, more for
    // executables with many small instructions; twice that is allowed.
    static UnpackBudget ForOutput(uint64_t output);
    // The budget for a text file of at most `output` bytes: the plain form only.
    static UnpackBudget ForText(uint64_t output);
};

// Why a container was refused before anything was reserved: the size it announced for its
// payload and what the budget allowed for it (both stay 0 when it was not refused for its size),
// or that it came in the executable form where only the plain one is taken.
struct UnpackRefusal {
    uint64_t announced = 0;
    uint64_t allowed = 0;
    bool executableForm = false;
};

// Decodes the container at the source path straight into a new file beside the target, through
// a bounded buffer, and renames it over the target only when the whole stored file was rebuilt
// and its CRC matched; on every failure the target stays as it was. A refusal for its size is
// also told through `refusal`, when given.
bool UncompressFile(const char* sourcePath, const char* targetPath, const UnpackBudget& budget,
                    UnpackRefusal* refusal = nullptr);

// The same decoder into memory: appends the stored file of the container at the source's
// position to the output; every failure is logged once.
bool UncompressContainer(SourceStream* container, SinkStream* output, const UnpackBudget& budget);

// Packs the source into a container at the target: directive 2 when the source holds executables
// that survive the round trip, else directive 1.
bool CompressFilePreprocessed(const char* sourcePath, const char* targetPath, bool preprocess);
// Appends a directive-1 container of the whole mapped source; false (logged) when any part of it
// could not be written, so that a broken container is never taken for a packed file.
bool CompressFileDefault(const MemoryMappedView& source, SinkStream* out, uint32_t crc);
bool WriteContainerHeader(SinkStream* out, uint32_t crc);

} // namespace vlpatch
