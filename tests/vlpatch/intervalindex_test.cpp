// The first-range lookup behind the disassemblers' segment and section tables, against a plain
// walk of the table.
#include "intervalindex.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace vlpatch;

TEST(IntervalIndex, FindsTheFirstRangeInTableOrder)
{
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        struct Range {
            uint64_t begin, end;
        };
        std::vector<Range> table(random() % 12);
        IntervalIndex index;
        for (uint32_t i = 0; i < table.size(); ++i) {
            table[i].begin = random() % 100;
            table[i].end = random() % 3 == 0 ? table[i].begin : random() % 110; // empty and reversed ones too
            ASSERT_TRUE(index.Add(table[i].begin, table[i].end, i));
        }
        ASSERT_TRUE(index.Build());
        for (uint64_t x = 0; x < 120; ++x) {
            int64_t expected = -1;
            for (uint32_t i = 0; i < table.size() && expected < 0; ++i) {
                if (x >= table[i].begin && x < table[i].end)
                    expected = i;
            }
            ASSERT_EQ(index.Find(x), expected) << "round " << round << " x " << x;
        }
    }
    IntervalIndex wide;
    ASSERT_TRUE(wide.Add(0xFFFFFFFF00000000, UINT64_MAX, 7));
    ASSERT_TRUE(wide.Build());
    EXPECT_EQ(wide.Find(UINT64_MAX - 1), 7);
    EXPECT_EQ(wide.Find(UINT64_MAX), -1);
    EXPECT_EQ(wide.Find(0), -1);
}
