// Suffix arrays by induced sorting (SA-IS), for the binary-diff writer's match search.
// Results: 0, -1 for a bad argument, -2 when memory runs out.
#pragma once

#include <cstdint>

namespace vlpatch {

// The suffix array of the n bytes of text.
int SuffixSort(const uint8_t* text, int32_t* suffixArray, int32_t n);
// The same for a text of n symbols in [0, k).
int SuffixSortInts(const int32_t* text, int32_t* suffixArray, int32_t n, int32_t k);

// Burrows-Wheeler transforms through the same sort: output[0] is the last text symbol, then the
// symbols preceding each sorted suffix other than the whole text. work holds n entries; the
// result is the primary index (or the error above).
int SuffixSortBwt(const uint8_t* text, uint8_t* output, int32_t* work, int32_t n);
int SuffixSortIntsBwt(const int32_t* text, int32_t* output, int32_t* work, int32_t n, int32_t k);

} // namespace vlpatch
