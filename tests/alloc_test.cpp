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

// A growing value (a part held in memory) doubles its block; the old bytes
// must not stay behind in the pool, or a value costs several times its size.
TEST(Pool, GrowingBlocksKeepTheirBytesAndLeaveNoCopies) {
    const struct {
        const char *label;
        std::size_t before; // a block allocated first (0: none)
        std::size_t first, last;
        long newChunks; // at most
    } rows[] = {
        {"alone in a mapped chunk: grows where it stands", 0, 1 << 20, 16 << 20, 0},
        {"alone in a heap chunk: grows, into a mapping too", 0, 64 << 10, 4 << 20, 0},
        {"behind another block: moves once, then grows where it stands", 100, 256, 2 << 20, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        if (row.before) {
            ASSERT_NE(cgiPoolAlloc(row.before), nullptr);
        }
        auto *p = static_cast<unsigned char *>(cgiPoolAlloc(row.first));
        ASSERT_NE(p, nullptr);
        const long live = cgiAllocLive();
        std::size_t size = row.first;
        std::memset(p, 1, size);
        for (unsigned char mark = 2; size < row.last; ++mark) {
            const long chunks = cgiAllocLive();
            cgiAllocFailAt(1);
            EXPECT_EQ(cgiPoolResizeLast(p, size, 2 * size), nullptr) << size;
            cgiAllocFailAt(0);
            EXPECT_EQ(cgiAllocLive(), chunks) << "a failed growth changes nothing";
            auto *q = static_cast<unsigned char *>(cgiPoolResizeLast(p, size, 2 * size));
            ASSERT_NE(q, nullptr) << size;
            p = q;
            std::memset(p + size, mark, size);
            size *= 2;
        }
        // The first bytes carry mark 1, those of each doubling the next mark.
        for (std::size_t i = 0, expect = 1; i < size; i += 4093) {
            while (i >= (row.first << (expect - 1)))
                ++expect;
            ASSERT_EQ(p[i], expect) << "byte " << i;
        }
        EXPECT_LE(cgiAllocLive() - live, row.newChunks);
        cgiPoolRelease();
        EXPECT_EQ(cgiAllocLive(), 0);
    }
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
