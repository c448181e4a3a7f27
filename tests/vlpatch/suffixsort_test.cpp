#include "suffixsort.h"

#include "scratchdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

using namespace vlpatch;

namespace {

template <typename C>
std::vector<int32_t> naiveSuffixArray(const std::vector<C>& text)
{
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    return sa;
}

std::vector<ByteVector> byteTexts()
{
    std::vector<ByteVector> texts = {{7}, {1, 1}, {2, 1}, ByteVector(1000, 'a')};
    for (uint32_t seed = 0; seed < 30; ++seed) {
        ByteVector noise = randomBytes(50 + seed * 67, seed);
        ByteVector small = noise;
        for (auto& b : small)
            b %= 1 + seed % 4; // tiny alphabets: long repeats
        texts.push_back(noise);
        texts.push_back(small);
    }
    std::string fibonacci = "a", previous = "b";
    while (fibonacci.size() < 3000) {
        const std::string next = fibonacci + previous;
        previous = fibonacci;
        fibonacci = next;
    }
    texts.emplace_back(fibonacci.begin(), fibonacci.end());
    ByteVector periodic;
    for (int i = 0; i < 2000; ++i)
        periodic.push_back("abcab"[i % 5]);
    periodic.push_back(0);
    periodic.push_back(255);
    texts.push_back(periodic);
    return texts;
}

} // namespace

TEST(SuffixSortTest, MatchesANaiveSortOnRandomAndRepetitiveBytes)
{
    for (const ByteVector& text : byteTexts()) {
        std::vector<int32_t> sa(text.size() + 1, -7);
        ASSERT_EQ(SuffixSort(text.data(), sa.data(), static_cast<int32_t>(text.size())), 0);
        sa.pop_back();
        EXPECT_EQ(sa, naiveSuffixArray(text)) << "length " << text.size();
    }
}

TEST(SuffixSortTest, IntegerAlphabetsAndBadArguments)
{
    for (int32_t k : {1, 3, 1000}) {
        const ByteVector noise = randomBytes(1500, static_cast<uint32_t>(k));
        std::vector<int32_t> text(noise.size());
        for (std::size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<int32_t>((noise[i] * 7919u + i % 3) % static_cast<uint32_t>(k));
        std::vector<int32_t> sa(text.size());
        ASSERT_EQ(SuffixSortInts(text.data(), sa.data(), static_cast<int32_t>(text.size()), k), 0);
        EXPECT_EQ(sa, naiveSuffixArray(text)) << "alphabet " << k;
    }
    int32_t sa[4];
    const int32_t text[] = {0, 5, 1};
    EXPECT_EQ(SuffixSortInts(text, sa, 3, 5), -1);
    EXPECT_EQ(SuffixSortInts(text, sa, 3, 0), -1);
    EXPECT_EQ(SuffixSort(nullptr, sa, 3), -1);
    EXPECT_EQ(SuffixSort(reinterpret_cast<const uint8_t*>("abc"), sa, -1), -1);
}

TEST(SuffixSortTest, BurrowsWheelerTransform)
{
    for (const ByteVector& text : byteTexts()) {
        if (text.empty())
            continue;
        const std::vector<int32_t> sa = naiveSuffixArray(text);
        ByteVector expected = {text.back()};
        int32_t expectedPrimary = 0;
        for (std::size_t i = 0; i < sa.size(); ++i) {
            if (sa[i] == 0)
                expectedPrimary = static_cast<int32_t>(i + 1);
            else
                expected.push_back(text[sa[i] - 1]);
        }
        ByteVector output(text.size());
        std::vector<int32_t> work(text.size());
        EXPECT_EQ(SuffixSortBwt(text.data(), output.data(), work.data(), static_cast<int32_t>(text.size())),
                  expectedPrimary);
        EXPECT_EQ(output, expected);

        std::vector<int32_t> ints(text.begin(), text.end());
        std::vector<int32_t> intOutput(text.size());
        EXPECT_EQ(SuffixSortIntsBwt(ints.data(), intOutput.data(), work.data(), static_cast<int32_t>(text.size()), 256),
                  expectedPrimary);
        EXPECT_TRUE(std::equal(intOutput.begin(), intOutput.end(), expected.begin()));
    }
}
