#include "intervalindex.h"

#include <algorithm>

namespace vlpatch {

bool IntervalIndex::Add(uint64_t begin, uint64_t end, uint32_t entry)
{
    return begin >= end || m_Ranges.push_back(Range{begin, end, entry});
}

bool IntervalIndex::Build()
{
    if (m_Ranges.failed())
        return false;
    m_Pieces.clear();
    const std::size_t count = m_Ranges.size();
    Range* ranges = m_Ranges.data();
    std::sort(ranges, ranges + count, [](const Range& a, const Range& b) { return a.begin < b.begin; });

    // Every begin and end is a place where the answer may change.
    NoThrowBuffer<uint64_t, 16> cuts;
    if (!cuts.reserve(2 * count))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        cuts.push_back(ranges[i].begin);
        cuts.push_back(ranges[i].end);
    }
    std::sort(cuts.data(), cuts.data() + cuts.size());
    const std::size_t cutCount = std::unique(cuts.data(), cuts.data() + cuts.size()) - cuts.data();

    // Sweep the cuts in order with a heap of the ranges begun so far, lowest entry on top;
    // ranges that have ended leave the heap when they come to the top.
    NoThrowBuffer<Range, 16> heap;
    if (!heap.reserve(count) || !m_Pieces.reserve(cutCount))
        return false;
    auto lowerEntryFirst = [](const Range& a, const Range& b) { return a.entry > b.entry; };
    std::size_t next = 0;
    for (std::size_t c = 0; c < cutCount; ++c) {
        const uint64_t at = cuts[c];
        for (; next < count && ranges[next].begin <= at; ++next) {
            heap.push_back(ranges[next]);
            std::push_heap(heap.data(), heap.data() + heap.size(), lowerEntryFirst);
        }
        while (!heap.empty() && heap[0].end <= at) {
            std::pop_heap(heap.data(), heap.data() + heap.size(), lowerEntryFirst);
            heap.resize(heap.size() - 1, Range{});
        }
        m_Pieces.push_back(Piece{at, heap.empty() ? -1 : int64_t(heap[0].entry)});
    }
    return true;
}

int64_t IntervalIndex::Find(uint64_t x) const
{
    const Piece* first = m_Pieces.data();
    const Piece* last = first + m_Pieces.size();
    const Piece* after = std::upper_bound(first, last, x, [](uint64_t value, const Piece& p) { return value < p.begin; });
    return after == first ? -1 : (after - 1)->entry;
}

} // namespace vlpatch
