// "Which is the first range, in table order, that holds x?" for the disassemblers' segment and
// section tables. A file may carry tens of thousands of such ranges, and every scanned site asks,
// so the answers are worked out once and looked up by binary search.
#pragma once

#include "nothrowbuffer.h"

#include <cstdint>

namespace vlpatch {

class IntervalIndex {
public:
    // Range [begin, end) of table entry `entry`; empty ranges are never found.
    bool Add(uint64_t begin, uint64_t end, uint32_t entry);
    // Call after the last Add (again after more); false when memory runs out.
    bool Build();
    // The lowest entry whose range holds x, or -1.
    int64_t Find(uint64_t x) const;

private:
    struct Range {
        uint64_t begin;
        uint64_t end;
        uint32_t entry;
    };
    struct Piece {
        uint64_t begin;
        int64_t entry;
    };

    NoThrowBuffer<Range, 16> m_Ranges;
    // From each piece's begin up to the next piece's, the answer is the same.
    NoThrowBuffer<Piece, 16> m_Pieces;
};

} // namespace vlpatch
