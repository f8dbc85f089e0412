// The request pool: blocks of any size stay apart and aligned across chunk
// boundaries, and a release returns every chunk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "cgi_internal.h"

namespace {

TEST(Pool, BlocksStayDistinctAlignedAndAreAllReleased) {
    // Sizes around the alignment, the first chunk, and the mapped chunks.
    const std::size_t sizes[] = {1,     15,    16,    17,      4095,    16 * 1024, 16 * 1024 + 1,
                                 0,     300000, 600000, 1 << 20, (1 << 20) + 1, 3, 40000};
    std::vector<std::pair<unsigned char *, std::size_t>> blocks;
    for (int round = 0; round < 3; ++round)
        for (std::size_t n : sizes) {
            auto *p = static_cast<unsigned char *>(cgiPoolAlloc(n));
            ASSERT_NE(p, nullptr) << n;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u) << n;
            std::memset(p, static_cast<int>(blocks.size() & 0xff), n);
            blocks.push_back({p, n});
        }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        for (std::size_t j = 0; j < blocks[i].second; j += 97)
            ASSERT_EQ(blocks[i].first[j], i & 0xff) << "block " << i << " was overwritten";
    EXPECT_GT(cgiAllocLive(), 0);
    cgiPoolRelease();
    EXPECT_EQ(cgiAllocLive(), 0);
}

TEST(Pool, InjectedFailureHitsTheNthAllocationAndAllLaterOnes) {
    cgiAllocFailAt(3);
    EXPECT_NE(cgiPoolAlloc(8), nullptr);
    EXPECT_NE(cgiPoolStrndup("ab", 2), nullptr);
    EXPECT_EQ(cgiPoolAlloc(8), nullptr);
    EXPECT_EQ(cgiAlloc(8), nullptr);
    cgiAllocFailAt(0);
    void *p = cgiAlloc(8);
    EXPECT_NE(p, nullptr);
    cgiRelease(p);
    cgiPoolRelease();
    EXPECT_EQ(cgiAllocLive(), 0);
}

TEST(Pool, ImpossibleSizesFailCleanly) {
    EXPECT_EQ(cgiPoolAlloc(SIZE_MAX), nullptr);
    EXPECT_EQ(cgiPoolAlloc(SIZE_MAX - 8), nullptr);
    EXPECT_EQ(cgiPoolStrndup("", SIZE_MAX), nullptr);
    cgiPoolRelease();
    EXPECT_EQ(cgiAllocLive(), 0);
}

} // namespace
