// The request pool: blocks stay aligned, grow without leaving copies, and a
// release returns every chunk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "cgi_internal.h"

// A growing value (a part held in memory) doubles its block; the old bytes
// must not stay behind in the pool, or a value costs several times its size.
// Each doubling first fails by injection, which must change nothing.
TEST(Pool, GrowingBlocksKeepTheirBytesAndLeaveNoCopies) {
    const struct { const char *label; std::size_t before, first, last; long newChunks; } rows[] = {
        {"alone in a mapped chunk: grows where it stands", 0, 1 << 20, 8 << 20, 0},
        {"alone in a heap chunk: grows, into a mapping too", 0, 64 << 10, 4 << 20, 0},
        {"behind another block: moves once, then grows where it stands", 17, 255, 2 << 20, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ASSERT_TRUE(!row.before || cgiPoolAlloc(row.before));
        auto *p = static_cast<unsigned char *>(std::memset(cgiPoolAlloc(row.first), 1, row.first));
        const long live = cgiAllocLive();
        std::size_t size = row.first;
        for (int mark = 2; size < row.last; ++mark, size *= 2) {
            const long chunks = cgiAllocLive();
            cgiAllocFailAt(1); // this allocation and every later one fail
            EXPECT_TRUE(!cgiPoolResizeLast(p, size, 2 * size) && !cgiAlloc(1) && cgiAllocLive() == chunks) << size;
            cgiAllocFailAt(0);
            ASSERT_NE(p = static_cast<unsigned char *>(cgiPoolResizeLast(p, size, 2 * size)), nullptr) << size;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
            std::memset(p + size, mark, size);
        }
        // The first bytes carry mark 1, those of each doubling the next mark.
        for (std::size_t i = 0, expect = 1; i < size; i += 4093) {
            while (i >= (row.first << (expect - 1)))
                ++expect;
            ASSERT_EQ(p[i], expect) << "byte " << i;
        }
        EXPECT_LE(cgiAllocLive() - live, row.newChunks);
        EXPECT_TRUE(!cgiPoolAlloc(SIZE_MAX) && !cgiPoolAlloc(SIZE_MAX - 8) && !cgiPoolStrndup("", SIZE_MAX));
        cgiPoolRelease();
        EXPECT_EQ(cgiAllocLive(), 0);
    }
}
