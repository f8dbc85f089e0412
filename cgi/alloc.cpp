// The layer's one allocation point. Everything that lives until the end of
// the request (the form entries, their strings, replayed environment strings)
// comes from the request pool and is released as a whole by
// cgiFreeResources; a test can fail the n-th allocation of either kind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "cgi_internal.h"

namespace {

long failAt = 0; // allocations left before the injected failure; 0: none
long live = 0;   // heap blocks and pool chunks not yet released

bool injectedFailure() {
    if (failAt > 0 && --failAt == 0) {
        failAt = 1; // every later allocation fails too
        return true;
    }
    return false;
}

// Pool chunks are linked through a header in front of their payload.
struct Chunk {
    Chunk *prev;
    std::size_t mapped; // bytes of a chunk that has its own mapping; 0: a heap block
};
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t kHeader = (sizeof(Chunk) + kAlign - 1) & ~(kAlign - 1);
[[maybe_unused]] constexpr std::size_t kFirstChunk = 16 * 1024;
[[maybe_unused]] constexpr std::size_t kLargestChunk = 1024 * 1024;
// Chunks from a quarter of this size on are mapped in units of 2 MiB on 2 MiB
// boundaries, where the kernel may back them with huge pages: a megabyte body
// then costs one page fault instead of hundreds.
constexpr std::size_t kHuge = std::size_t(2) << 20;

#ifdef CGI_POOL_EACH_BLOCK
constexpr bool kEachBlock = true;
#else
constexpr bool kEachBlock = false;
#endif

Chunk *chunks = nullptr;
char *cur = nullptr;
char *limit = nullptr;
std::size_t nextChunk = kFirstChunk;

void *mapHuge(std::size_t *size) {
    std::size_t want = (*size + kHuge - 1) & ~(kHuge - 1);
    if (want < *size || want > SIZE_MAX - kHuge)
        return nullptr;
    void *m = mmap(nullptr, want + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return nullptr;
    char *raw = static_cast<char *>(m);
    char *start = reinterpret_cast<char *>((reinterpret_cast<std::uintptr_t>(raw) + kHuge - 1) & ~(kHuge - 1));
    if (start > raw)
        munmap(raw, static_cast<std::size_t>(start - raw));
    munmap(start + want, static_cast<std::size_t>(raw + kHuge - start));
#ifdef MADV_HUGEPAGE
    madvise(start, want, MADV_HUGEPAGE); // a hint; without huge pages it is refused
#endif
    *size = want;
    return start;
}

// A new chunk of at least `*payload` bytes; `*payload` becomes its usable size.
char *newChunk(std::size_t *payload) {
    if (*payload > SIZE_MAX - kHeader)
        return nullptr;
    std::size_t size = kHeader + *payload;
    std::size_t mapped = 0;
    void *p;
    if (!kEachBlock && size >= kHuge / 4) {
        p = mapHuge(&size);
        mapped = size;
    } else {
        p = std::malloc(size);
    }
    if (!p)
        return nullptr;
    ++live;
    Chunk *c = static_cast<Chunk *>(p);
    c->prev = chunks;
    c->mapped = mapped;
    chunks = c;
    *payload = size - kHeader;
    return static_cast<char *>(p) + kHeader;
}

} // namespace

void *cgiPoolAlloc(std::size_t size) noexcept {
    if (injectedFailure())
        return nullptr;
#ifdef CGI_POOL_EACH_BLOCK
    // Sanitizer builds: every block is a heap block of its exact size, so
    // that an overrun of any block is caught.
    return newChunk(&size);
#else
    if (size > SIZE_MAX - kAlign)
        return nullptr;
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (size > static_cast<std::size_t>(limit - cur)) {
        // The rest of the current chunk is given up; chunks double, so at
        // most a third of the pool goes unused.
        std::size_t payload = size > nextChunk ? size : nextChunk;
        char *p = newChunk(&payload);
        if (!p)
            return nullptr;
        cur = p;
        limit = p + payload;
        if (nextChunk < kLargestChunk)
            nextChunk *= 2;
    }
    char *p = cur;
    cur += size;
    return p;
#endif
}

void *cgiPoolResizeLast(void *p, std::size_t oldSize, std::size_t newSize) noexcept {
#ifndef CGI_POOL_EACH_BLOCK
    // The last block of the current chunk grows or shrinks where it stands.
    char *block = static_cast<char *>(p);
    const std::size_t oldRounded = (oldSize + kAlign - 1) & ~(kAlign - 1);
    if (block + oldRounded == cur && newSize <= static_cast<std::size_t>(limit - block)) {
        if (newSize > oldSize && injectedFailure())
            return nullptr;
        cur = block + ((newSize + kAlign - 1) & ~(kAlign - 1));
        return p;
    }
#endif
    if (newSize <= oldSize)
        return p;
    void *q = cgiPoolAlloc(newSize);
    if (q)
        std::memcpy(q, p, oldSize);
    return q;
}

char *cgiPoolStrndup(const char *s, std::size_t len) noexcept {
    if (len == SIZE_MAX)
        return nullptr;
    char *p = static_cast<char *>(cgiPoolAlloc(len + 1));
    if (p) {
        std::memcpy(p, s, len);
        p[len] = '\0';
    }
    return p;
}

void cgiPoolRelease() noexcept {
    while (chunks) {
        Chunk *prev = chunks->prev;
        if (chunks->mapped)
            munmap(chunks, chunks->mapped);
        else
            std::free(chunks);
        --live;
        chunks = prev;
    }
    cur = limit = nullptr;
    nextChunk = kFirstChunk;
}

void *cgiAlloc(std::size_t size) noexcept {
    if (injectedFailure())
        return nullptr;
    // malloc(0) may return null; a block of one byte keeps null meaning failure.
    void *p = std::malloc(size ? size : 1);
    if (p)
        ++live;
    return p;
}

void cgiRelease(void *p) noexcept {
    if (p) {
        --live;
        std::free(p);
    }
}

char *cgiStrndupHeap(const char *s, std::size_t len) noexcept {
    char *p = static_cast<char *>(cgiAlloc(len + 1));
    if (p) {
        std::memcpy(p, s, len);
        p[len] = '\0';
    }
    return p;
}

char *cgiAllocString(const char *s) noexcept { return cgiStrndupHeap(s, std::strlen(s)); }

void cgiAllocFailAt(long n) noexcept { failAt = n > 0 ? n : 0; }

long cgiAllocLive() noexcept { return live; }
