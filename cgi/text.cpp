// The layer's small text helpers that are not inline in cgi_internal.h: the
// saturating decimal reading and the copy into a caller's buffer.
#include <climits>
#include <cstring>

#include "cgi_internal.h"

char cgiEmptyString[] = "";

int cgiDecimal(const char *s) noexcept {
    while (cgiIsSpace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = false;
    if (*s == '-' || *s == '+')
        negative = *s++ == '-';
    // Accumulated as a negative number, whose range holds INT_MIN.
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 - (*s - '0');
        if (v < INT_MIN) {
            v = INT_MIN;
            if (!negative)
                return INT_MAX;
        }
    }
    if (negative)
        return static_cast<int>(v);
    return v == INT_MIN ? INT_MAX : static_cast<int>(-v);
}

bool cgiCopyOut(const char *s, std::size_t n, char *result, int space) noexcept {
    if (space <= 0)
        return n != 0;
    const bool truncated = n > static_cast<std::size_t>(space - 1);
    if (truncated)
        n = static_cast<std::size_t>(space - 1);
    std::memcpy(result, s, n);
    result[n] = '\0';
    return truncated;
}
