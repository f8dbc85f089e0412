// The one allocation point of the layer, so that a test can fail the n-th
// allocation and check that every path releases what it took.
#include <cstdlib>
#include <cstring>

#include "cgi_internal.h"

namespace {
long failAt = 0; // allocations left before the injected failure; 0: none
long live = 0;
} // namespace

void *cgiAlloc(std::size_t size) noexcept {
    if (failAt > 0 && --failAt == 0) {
        failAt = 1; // every later allocation fails too
        return nullptr;
    }
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

char *cgiStrndup(const char *s, std::size_t len) noexcept {
    char *p = static_cast<char *>(cgiAlloc(len + 1));
    if (p) {
        std::memcpy(p, s, len);
        p[len] = '\0';
    }
    return p;
}

void cgiAllocFailAt(long n) noexcept { failAt = n > 0 ? n : 0; }

long cgiAllocLive() noexcept { return live; }
