#include "suffixsort.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

namespace vlpatch {

namespace {

constexpr int kBadArgument = -1;
constexpr int kOutOfMemory = -2;

template <typename T>
std::unique_ptr<T[]> Allocate(std::size_t n)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[n == 0 ? 1 : n]);
}

// Bucket starts (end = false) or ends (end = true) for each symbol.
template <typename C>
void GetBuckets(const C* text, int32_t n, int32_t k, int32_t* bucket, bool end)
{
    std::fill(bucket, bucket + k, 0);
    for (int32_t i = 0; i < n; ++i)
        ++bucket[static_cast<int32_t>(text[i])];
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += bucket[c];
        bucket[c] = end ? sum : sum - bucket[c];
    }
}

// Suffix types, one bit each: S (set) or L.
class Types {
public:
    bool Allocate(int32_t n)
    {
        m_Bits.reset(new (std::nothrow) uint64_t[static_cast<std::size_t>(n) / 64 + 1]());
        return m_Bits != nullptr;
    }
    bool s(int32_t i) const { return (m_Bits[i >> 6] >> (i & 63)) & 1; }
    void setS(int32_t i) { m_Bits[i >> 6] |= uint64_t{1} << (i & 63); }
    bool lms(int32_t i) const { return i > 0 && s(i) && !s(i - 1); }

private:
    std::unique_ptr<uint64_t[]> m_Bits;
};

template <typename C>
void InduceSorted(const C* text, int32_t* sa, int32_t n, int32_t k, const Types& t, int32_t* bucket)
{
    // L-type suffixes, left to right; the virtual sentinel makes suffix n - 1 the first one.
    GetBuckets(text, n, k, bucket, false);
    sa[bucket[static_cast<int32_t>(text[n - 1])]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = sa[i] - 1;
        if (sa[i] > 0 && !t.s(j))
            sa[bucket[static_cast<int32_t>(text[j])]++] = j;
    }
    // S-type suffixes, right to left.
    GetBuckets(text, n, k, bucket, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        const int32_t j = sa[i] - 1;
        if (sa[i] > 0 && t.s(j))
            sa[--bucket[static_cast<int32_t>(text[j])]] = j;
    }
}

// The recursive core shared by every entry point: n >= 2, symbols in [0, k). The bucket array
// goes into `free` (unused entries of the caller's suffix array) when it has room for it.
template <typename C>
int SuffixSortMain(const C* text, int32_t* sa, int32_t n, int32_t k, int32_t* free, int32_t freeSize)
{
    Types t;
    std::unique_ptr<int32_t[]> ownBucket;
    int32_t* bucket = free;
    if (freeSize < k) {
        ownBucket = Allocate<int32_t>(static_cast<std::size_t>(k));
        bucket = ownBucket.get();
    }
    if (!t.Allocate(n) || !bucket)
        return kOutOfMemory;
    for (int32_t i = n - 2; i >= 0; --i) {
        if (text[i] < text[i + 1] || (text[i] == text[i + 1] && t.s(i + 1)))
            t.setS(i);
    }

    // Stage 1: sort the LMS substrings.
    GetBuckets(text, n, k, bucket, true);
    std::fill(sa, sa + n, -1);
    for (int32_t i = 1; i < n; ++i) {
        if (t.lms(i))
            sa[--bucket[static_cast<int32_t>(text[i])]] = i;
    }
    InduceSorted(text, sa, n, k, t, bucket);

    int32_t n1 = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (t.lms(sa[i]))
            sa[n1++] = sa[i];
    }

    // Name the LMS substrings; equal substrings share a name.
    std::fill(sa + n1, sa + n, -1);
    int32_t names = 0;
    int32_t previous = -1;
    for (int32_t i = 0; i < n1; ++i) {
        const int32_t position = sa[i];
        bool differs = previous < 0;
        for (int32_t d = 0; !differs; ++d) {
            if (position + d == n || previous + d == n || text[position + d] != text[previous + d] ||
                t.s(position + d) != t.s(previous + d)) {
                differs = true;
            } else if (d > 0 && (t.lms(position + d) || t.lms(previous + d))) {
                break;
            }
        }
        if (differs) {
            ++names;
            previous = position;
        }
        sa[n1 + position / 2] = names - 1;
    }
    for (int32_t i = n - 1, j = n - 1; i >= n1; --i) {
        if (sa[i] >= 0)
            sa[j--] = sa[i];
    }

    // Stage 2: sort the reduced problem, recursing while names repeat.
    int32_t* reduced = sa + n - n1;
    if (names < n1) {
        // The child uses sa[0, n1) and reads the reduced text at the end; the entries between
        // are free until it returns.
        const int result = SuffixSortMain<int32_t>(reduced, sa, n1, names, sa + n1, n - 2 * n1);
        if (result != 0)
            return result;
    } else {
        for (int32_t i = 0; i < n1; ++i)
            sa[reduced[i]] = i;
    }

    // Stage 3: induce the whole order from the sorted LMS suffixes.
    for (int32_t i = 1, j = 0; i < n; ++i) {
        if (t.lms(i))
            reduced[j++] = i;
    }
    for (int32_t i = 0; i < n1; ++i)
        sa[i] = reduced[sa[i]];
    std::fill(sa + n1, sa + n, -1);
    GetBuckets(text, n, k, bucket, true);
    for (int32_t i = n1 - 1; i >= 0; --i) {
        const int32_t j = sa[i];
        sa[i] = -1;
        sa[--bucket[static_cast<int32_t>(text[j])]] = j;
    }
    InduceSorted(text, sa, n, k, t, bucket);
    return 0;
}

template <typename C>
int Sort(const C* text, int32_t* sa, int32_t n, int32_t k)
{
    if (!text || !sa || n < 0 || k < 1)
        return kBadArgument;
    for (int32_t i = 0; i < n; ++i) {
        if (static_cast<int64_t>(text[i]) < 0 || static_cast<int64_t>(text[i]) >= k)
            return kBadArgument;
    }
    if (n <= 1) {
        if (n == 1)
            sa[0] = 0;
        return 0;
    }
    return SuffixSortMain(text, sa, n, k, nullptr, 0);
}

template <typename C>
int Bwt(const C* text, C* output, int32_t* work, int32_t n, int32_t k)
{
    if (!output || !work)
        return kBadArgument;
    const int result = Sort(text, work, n, k);
    if (result != 0 || n == 0)
        return result;
    output[0] = text[n - 1];
    int32_t primary = 0;
    for (int32_t i = 0, j = 1; i < n; ++i) {
        if (work[i] == 0)
            primary = i + 1;
        else
            output[j++] = text[work[i] - 1];
    }
    return primary;
}

} // namespace

int SuffixSort(const uint8_t* text, int32_t* suffixArray, int32_t n)
{
    return Sort(text, suffixArray, n, 256);
}

int SuffixSortInts(const int32_t* text, int32_t* suffixArray, int32_t n, int32_t k)
{
    return Sort(text, suffixArray, n, k);
}

int SuffixSortBwt(const uint8_t* text, uint8_t* output, int32_t* work, int32_t n)
{
    return Bwt(text, output, work, n, 256);
}

int SuffixSortIntsBwt(const int32_t* text, int32_t* output, int32_t* work, int32_t n, int32_t k)
{
    return Bwt(text, output, work, n, k);
}

} // namespace vlpatch
