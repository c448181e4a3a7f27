// Test-side writer of ensemble patches: the release tooling that makes them is not part of the
// updater, but the reader must be exercised on patches whose every part the tests control.
#pragma once

#include "scratchdir.h"

#include <cstdint>
#include <vector>

// One executable element: its kind and its ranges in the old and the new file.
struct EnsembleElement {
    uint32_t kind;
    uint32_t oldOffset;
    uint32_t oldLength;
    uint32_t newOffset;
    uint32_t newLength;
};

// The header fields and the four streams of a patch, before the body is packed.
struct EnsemblePatchParts {
    uint32_t magic;
    uint32_t version;
    uint32_t sourceCrc;
    uint32_t targetCrc;
    uint32_t finalInputSize;
    std::vector<ByteVector> streams;
    // The serialised sets the correction diffs start from, for tests that replace a correction.
    ByteVector predicted;
    ByteVector transformed;
};

// Builds the parts that turn old into newer, with the given elements transformed; fails the
// calling test when an element cannot be encoded.
EnsemblePatchParts makeEnsemblePatchParts(const ByteVector& old, const ByteVector& newer,
                                          const std::vector<EnsembleElement>& elements);
// The patch file: header varints and the stream set of the parts packed as one LZMA2 block.
ByteVector packEnsemblePatch(const EnsemblePatchParts& parts);
ByteVector headerlessDiff(const ByteVector& from, const ByteVector& to);
// A serialised set of the given streams (ten when none are given).
ByteVector serialisedSet(std::vector<ByteVector> streams);
// The parameters stream for the elements' kinds and old ranges.
ByteVector elementParameters(const std::vector<EnsembleElement>& elements);
// The whole of both files as one element of the kind detected in the old file.
EnsembleElement wholeFileElement(const ByteVector& old, const ByteVector& newer);
