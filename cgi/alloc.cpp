// The layer's one allocation point. Everything that lives until the end of
// the request (the form entries, their strings, replayed environment strings)
// comes from the request pool and is released as a whole by
// cgiFreeResources; a test can fail the n-th allocation of either kind. The
// pool also keeps the request's budget, so that no client can make one
// process hold more than a bounded amount of what it sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "cgi_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define CGI_POOL_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CGI_POOL_POISON 1
#endif
#endif
#ifdef CGI_POOL_POISON
#include <sanitizer/asan_interface.h>
#endif

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
    std::size_t mapped; // bytes of a chunk that has its own mapping; 0: the static chunk, or a heap block
};
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t kHeader = (sizeof(Chunk) + kAlign - 1) & ~(kAlign - 1);
constexpr std::size_t kFirstChunk = 16 * 1024;
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

// The first chunk of a request is static, and every later one a mapping of
// its own (heap blocks are for the sanitizer builds): a request that needs
// no big block (the typical form) allocates nothing, and the pool needs no
// heap allocator. The static chunk's bytes stay with the program; it is
// counted as live while the pool holds it.
alignas(kAlign) char firstChunk[kHeader + kFirstChunk];
Chunk *const staticChunk = reinterpret_cast<Chunk *>(firstChunk);

Chunk *chunks = nullptr;
char *cur = nullptr;
char *limit = nullptr;
std::size_t nextChunk = kFirstChunk;

// Bytes charged to the request since the last release, and its budget.
std::size_t taken = 0;
std::size_t budget = kCgiPoolBudget;

std::size_t room() { return budget - taken; }

// A request past its budget: the client's input, which main reports.
[[gnu::cold, gnu::noinline]] void *overBudget() {
    cgiRefusal = cgiRefusedInput;
    return nullptr;
}

// Under AddressSanitizer the pool, when its blocks share chunks, keeps every
// byte of a chunk that no block holds poisoned: the free space at the end,
// the copy a moved block left behind, what a shrunk block gave up, and the
// static chunk while no request holds it. An overrun of the newest block
// (the one a parse is filling), and a block used after it moved or after the
// release, are then caught as on the heap; an overrun into the next block is
// not, which is what a heap block per pool block is for.
void poison([[maybe_unused]] const void *p, [[maybe_unused]] std::size_t n) {
#ifdef CGI_POOL_POISON
    ASAN_POISON_MEMORY_REGION(p, n);
#endif
}
// Also for a mapping about to go back: the kernel may hand its addresses to
// anyone next, who must not find them poisoned.
void unpoison([[maybe_unused]] const void *p, [[maybe_unused]] std::size_t n) {
#ifdef CGI_POOL_POISON
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
}

std::size_t pageRounded(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(getpagesize());
    return (size + page - 1) & ~(page - 1);
}

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

// A mapping of at least `*size` bytes, `*size` becoming its size: from a
// quarter of kHuge on, on kHuge boundaries; below, in whole pages.
void *mapChunk(std::size_t *size) {
    if (*size >= kHuge / 4)
        return mapHuge(size);
    const std::size_t want = pageRounded(*size);
    void *m = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return nullptr;
    *size = want;
    return m;
}

// A new chunk of at least `*payload` bytes; `*payload` becomes its usable size.
char *newChunk(std::size_t *payload) {
    if (*payload > SIZE_MAX - kHeader)
        return nullptr;
    std::size_t size = kHeader + *payload;
    std::size_t mapped = 0;
    void *p;
    if (!kEachBlock && !chunks && *payload <= kFirstChunk) {
        // An empty pool holds no chunk, so the static one is free.
        p = firstChunk;
        size = sizeof firstChunk;
    } else if (!kEachBlock) {
        p = mapChunk(&size);
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
    if (!kEachBlock)
        poison(static_cast<char *>(p) + kHeader, *payload);
    return static_cast<char *>(p) + kHeader;
}

char *payloadOf(Chunk *c) { return reinterpret_cast<char *>(c) + kHeader; }

[[maybe_unused]] std::size_t rounded(std::size_t size) { return (size + kAlign - 1) & ~(kAlign - 1); }

// What a block of `size` bytes is charged: what it takes in the pool, in
// every build (a sanitizer build gives each block its exact size), so that
// the budget ends at the same request everywhere.
std::size_t cost(std::size_t size) { return size > SIZE_MAX - kAlign ? SIZE_MAX : rounded(size); }

// Resizes the chunk `c`, whose payload holds `used` bytes worth keeping, to
// a payload of at least `*payload` bytes (`*payload` becomes its usable
// size). The chunk may move; the list then points at its new place and the
// old one is gone, so a growing block never leaves a copy behind. Null on
// failure, with `c` unchanged.
Chunk *resizeChunk(Chunk *c, std::size_t used, std::size_t *payload) {
    if (*payload > SIZE_MAX - kHeader - kHuge)
        return nullptr;
    std::size_t size = kHeader + *payload;
    Chunk **link = &chunks;
    while (*link != c)
        link = &(*link)->prev;
    Chunk *moved;
    if (c->mapped && (c->mapped >= kHuge / 4 || size < kHuge / 4)) {
        // The kernel moves the pages rather than their bytes.
        size = size >= kHuge / 4 ? (size + kHuge - 1) & ~(kHuge - 1) : pageRounded(size);
        const std::size_t was = c->mapped;
        void *m = mremap(c, was, size, MREMAP_MAYMOVE);
        if (m == MAP_FAILED)
            return nullptr;
        unpoison(c, was);
        moved = static_cast<Chunk *>(m);
        poison(payloadOf(moved) + used, size - kHeader - used);
        moved->mapped = size;
    } else if (c->mapped || c == staticChunk) {
        // The static chunk moves to a mapping, and a small mapping that
        // reaches a quarter of kHuge moves to kHuge boundaries; the bytes
        // are copied this once.
        void *m = mapChunk(&size);
        if (!m)
            return nullptr;
        std::memcpy(m, c, kHeader + used);
        if (c->mapped) {
            unpoison(c, c->mapped);
            munmap(c, c->mapped);
        } else {
            poison(payloadOf(c), kFirstChunk);
        }
        moved = static_cast<Chunk *>(m);
        poison(payloadOf(moved) + used, size - kHeader - used);
        moved->mapped = size;
    } else {
        // A heap chunk, which only the sanitizer builds have.
        void *m = kEachBlock ? std::realloc(c, size) : nullptr;
        if (!m)
            return nullptr;
        moved = static_cast<Chunk *>(m);
    }
    *link = moved;
    *payload = size - kHeader;
    return moved;
}

// A pool block; the failure injection is the caller's.
void *poolAlloc(std::size_t size) {
#ifdef CGI_POOL_EACH_BLOCK
    // Sanitizer builds: every block is a heap block of its exact size, so
    // that an overrun of any block is caught.
    return newChunk(&size);
#else
    if (size > SIZE_MAX - kAlign)
        return nullptr;
    const std::size_t asked = size;
    size = rounded(size);
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
    unpoison(p, asked);
    return p;
#endif
}

} // namespace

void *cgiPoolAlloc(std::size_t size) noexcept {
    if (injectedFailure())
        return nullptr;
    if (cost(size) > room())
        return overBudget();
    void *p = poolAlloc(size);
    if (p)
        taken += cost(size);
    return p;
}

void *cgiPoolResizeLast(void *p, std::size_t oldSize, std::size_t newSize) noexcept {
    char *block = static_cast<char *>(p);
    if (newSize > oldSize && injectedFailure())
        return nullptr;
    // Growth is charged before the memory is taken; the block's own bytes
    // were charged when it was made or last resized.
    const std::size_t was = cost(oldSize), now = cost(newSize);
    if (now > was && now - was > room())
        return overBudget();
#ifdef CGI_POOL_EACH_BLOCK
    // The block is a chunk of its own, resized to its exact new size so
    // that the sanitizer keeps seeing its bounds.
    std::size_t payload = newSize;
    Chunk *c = resizeChunk(reinterpret_cast<Chunk *>(block - kHeader), oldSize < newSize ? oldSize : newSize,
                           &payload);
    if (!c)
        return newSize > oldSize ? nullptr : p;
    taken = taken - was + now;
    return payloadOf(c);
#else
    if (newSize > SIZE_MAX - kAlign)
        return nullptr;
    const bool last = block + rounded(oldSize) == cur;
    if (newSize < oldSize)
        poison(block + newSize, oldSize - newSize);
    if (last && newSize <= static_cast<std::size_t>(limit - block)) {
        // The last block of the current chunk grows or shrinks where it stands.
        cur = block + rounded(newSize);
        taken = taken - was + now;
        unpoison(block, newSize);
        return p;
    }
    if (newSize <= oldSize)
        return p;
    if (last && block == payloadOf(chunks)) {
        // Alone in the newest chunk: the chunk grows with it.
        std::size_t payload = rounded(newSize);
        Chunk *c = resizeChunk(chunks, oldSize, &payload);
        if (!c)
            return nullptr;
        cur = payloadOf(c) + rounded(newSize);
        limit = payloadOf(c) + payload;
        taken += now - was;
        unpoison(payloadOf(c), newSize);
        return payloadOf(c);
    }
    // It shares its chunk: it moves, into a chunk of its own unless it fits
    // the rest of the current one, and grows there from then on. The old
    // copy stays with its neighbours until the release. When it ended its
    // chunk (a value that outgrew the room behind the entries before it),
    // the chunk is done with and a mapped one gives back the pages from the
    // copy's first whole page on, so that the value is held and charged
    // once; the static chunk is the first one, and small.
    Chunk *const from = chunks;
    char *const fromEnd = limit;
    void *q = poolAlloc(newSize);
    if (!q)
        return nullptr;
    std::memcpy(q, p, oldSize);
    poison(p, oldSize);
    taken = taken - was + now;
    if (last && from->mapped && chunks != from) {
        const std::uintptr_t page = static_cast<std::uintptr_t>(getpagesize());
        char *dead = reinterpret_cast<char *>((reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1));
        if (dead < fromEnd)
            madvise(dead, static_cast<std::size_t>(fromEnd - dead), MADV_DONTNEED);
    }
    return q;
#endif
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
        if (chunks->mapped) {
            unpoison(chunks, chunks->mapped);
            munmap(chunks, chunks->mapped);
        } else if (kEachBlock) {
            std::free(chunks);
        } else {
            poison(payloadOf(chunks), kFirstChunk);
        }
        --live;
        chunks = prev;
    }
    cur = limit = nullptr;
    nextChunk = kFirstChunk;
    taken = 0;
    budget = kCgiPoolBudget;
}

std::size_t cgiPoolRoom() noexcept { return room() & ~(kAlign - 1); }

void cgiPoolUnbounded() noexcept { budget = SIZE_MAX; }

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

char **cgiAllocStringArray(std::size_t count) noexcept {
    if (count >= SIZE_MAX / sizeof(char *))
        return nullptr;
    auto **a = static_cast<char **>(cgiAlloc((count + 1) * sizeof(char *)));
    if (a)
        for (std::size_t i = 0; i <= count; ++i)
            a[i] = nullptr;
    return a;
}

void cgiAllocFailAt(long n) noexcept { failAt = n > 0 ? n : 0; }

long cgiAllocLive() noexcept { return live; }
