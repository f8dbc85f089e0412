// Single-value field access: one field, found by name, read as a string, a
// number or a checkbox.
#include <cstdlib>
#include <cstring>

#include "cgi_internal.h"

namespace {

int cgiFirstNonspaceChar(const char *s) {
    s += std::strspn(s, " \n\r\t");
    return static_cast<unsigned char>(*s);
}

// The first field named `name` read with `convert`, when its first byte
// that is not white space may begin a number (a point too when
// `allowPoint`); otherwise `defaultV` and the reason.
template <typename T>
cgiFormResultType number(const char *name, T *result, T defaultV, T (*convert)(const char *),
                         bool allowPoint) {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
    cgiFormResultType r = cgiFormSuccess;
    if (!e) {
        r = cgiFormNotFound;
    } else if (!*e->value) {
        r = cgiFormEmpty;
    } else {
        const int c = cgiFirstNonspaceChar(e->value);
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || (allowPoint && c == '.')))
            r = cgiFormBadType;
    }
    *result = r == cgiFormSuccess ? convert(e->value) : defaultV;
    return r;
}

double toDouble(const char *s) { return std::strtod(s, nullptr); }

// Moves a number that was read successfully into [min, max]; the lower
// bound is tested first and the bounds are not compared with each other. A
// double that is not a number passes both tests.
template <typename T>
cgiFormResultType bound(cgiFormResultType r, T *result, T min, T max) {
    if (r != cgiFormSuccess)
        return r;
    if (*result < min) {
        *result = min;
        return cgiFormConstrained;
    }
    if (*result > max) {
        *result = max;
        return cgiFormConstrained;
    }
    return cgiFormSuccess;
}

cgiFormResultType stringField(const char *name, char *result, int max, int newlines) {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
    if (!e) {
        if (max > 0)
            result[0] = '\0';
        return cgiFormNotFound;
    }
    return cgiFormEntryString(e, result, max, newlines);
}

} // namespace

cgiFormResultType cgiFormEntryString(cgiFormEntry *e, char *result, int max, int newlines) noexcept {
    if (max < 1)
        return cgiFormTruncated; // not even the terminator fits
    const int space = max - 1;
    int len = 0;
    bool truncated = false;
    int crCount = 0;
    int lfCount = 0;
    for (const char *p = e->value;; ++p) {
        const char c = *p;
        if (c == '\r' || c == '\n') {
            ++(c == '\r' ? crCount : lfCount);
            continue;
        }
        // A run of line breaks ends here: CR LF, a lone CR and a lone LF each
        // stand for one line break.
        int lfsAdd = newlines ? (crCount > lfCount ? crCount : lfCount) : 0;
        crCount = lfCount = 0;
        for (; lfsAdd > 0; --lfsAdd) {
            if (len >= space) {
                truncated = true;
                break;
            }
            result[len++] = '\n';
        }
        if (truncated || !c)
            break;
        if (len >= space) {
            truncated = true;
            break;
        }
        result[len++] = c;
    }
    result[len] = '\0';
    if (truncated)
        return cgiFormTruncated;
    return len ? cgiFormSuccess : cgiFormEmpty;
}

cgiFormResultType cgiFormString(const char *name, char *result, int max) noexcept {
    return stringField(name, result, max, 1);
}

cgiFormResultType cgiFormStringNoNewlines(const char *name, char *result, int max) noexcept {
    return stringField(name, result, max, 0);
}

cgiFormResultType cgiFormStringSpaceNeeded(const char *name, int *result) noexcept {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
    if (!e) {
        *result = 1;
        return cgiFormNotFound;
    }
    *result = static_cast<int>(std::strlen(e->value)) + 1;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormInteger(const char *name, int *result, int defaultV) noexcept {
    return number<int>(name, result, defaultV, cgiDecimal, false);
}

cgiFormResultType cgiFormIntegerBounded(const char *name, int *result, int min, int max,
                                        int defaultV) noexcept {
    return bound(cgiFormInteger(name, result, defaultV), result, min, max);
}

cgiFormResultType cgiFormDouble(const char *name, double *result, double defaultV) noexcept {
    return number(name, result, defaultV, toDouble, true);
}

cgiFormResultType cgiFormDoubleBounded(const char *name, double *result, double min, double max,
                                       double defaultV) noexcept {
    return bound(cgiFormDouble(name, result, defaultV), result, min, max);
}

cgiFormResultType cgiFormCheckboxSingle(const char *name) noexcept {
    return cgiFormEntryFindFirst(name) ? cgiFormSuccess : cgiFormNotFound;
}
