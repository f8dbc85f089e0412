// The layer's small text helpers: comparisons without case, the saturating
// decimal reading and the copy into a caller's buffer.
#include <climits>
#include <cstring>

#include "cgi_internal.h"

char cgiEmptyString[] = "";

namespace {

bool isLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Equal bytes match; otherwise only a letter and the same letter in the
// other case (they differ in the 0x20 bit alone).
inline bool sameNc(unsigned char a, unsigned char b) { return a == b || (isLetter(a) && (a ^ b) == 0x20); }

} // namespace

int cgiStrEqNc(const char *s1, const char *s2) noexcept {
    for (;; ++s1, ++s2) {
        unsigned char a = static_cast<unsigned char>(*s1);
        unsigned char b = static_cast<unsigned char>(*s2);
        // Equal bytes first: most strings compared are spelled as expected.
        if (a == b) {
            if (!a)
                return 1;
        } else if (!isLetter(a) || (a ^ b) != 0x20) {
            return 0;
        }
    }
}

int cgiStrBeginsNc(const char *s1, const char *s2) noexcept {
    for (;; ++s1, ++s2) {
        unsigned char a = static_cast<unsigned char>(*s1);
        unsigned char b = static_cast<unsigned char>(*s2);
        if (!b)
            return 1;
        if (!a || !sameNc(a, b))
            return 0;
    }
}

bool cgiEqualsNc(const char *s, std::size_t length, const char *name, std::size_t nameLength) noexcept {
    // The length first: most header names and values are not the one
    // sought; then the spelling as clients send it.
    if (length != nameLength)
        return false;
    if (std::memcmp(s, name, length) == 0)
        return true;
    for (std::size_t i = 0; i < length; ++i)
        if (!sameNc(static_cast<unsigned char>(s[i]), static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

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
