// URL-encoded input: the query string of a GET and the body of an
// application/x-www-form-urlencoded POST.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cgi_internal.h"

namespace {

// The value of each hex digit; any other byte counts as 0.
const unsigned char cgiHexValue[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  // 0x10
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  // 0x20
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0,  0,  0,  0,  0,  0,  // 0x30: '0' to '9'
    0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 0x40: 'A' to 'F'
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  // 0x50
    0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 0x60: 'a' to 'f'
};

// Eight (or four) bytes at a time: a word that holds no '%' is copied with
// its '+' bytes turned into spaces. Not where a word that may be unaligned
// can only be read and written a byte at a time (ARM before v6): there the
// bytes are taken one by one.
#if defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)
constexpr bool kWordAtATime = false;
#else
constexpr bool kWordAtATime = true;
#endif
using Word = std::uintptr_t;
constexpr Word kOnes = ~Word(0) / 0xff;
constexpr Word kLow7 = kOnes * 0x7f;

// The high bit of every byte of `x` that is zero, and of no other byte.
inline Word zeroBytes(Word x) { return ~(((x & kLow7) + kLow7) | x | kLow7); }

// The index in memory order of the first byte marked by zeroBytes.
inline std::size_t firstMarked(Word marks) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<std::size_t>(__builtin_clzll(marks) - (64 - 8 * sizeof(Word))) / 8;
#else
    return static_cast<std::size_t>(__builtin_ctzll(marks)) / 8;
#endif
}

// Decodes the `len` bytes at `cp` into `out`, which may be `cp` itself: the
// decoded text is never longer. Terminates it and returns the length up to
// the first NUL, which is what the string readers see.
int cgiUnescapeChars(char *out, const char *cp, int len) {
    const unsigned char *in = reinterpret_cast<const unsigned char *>(cp);
    const unsigned char *const end = in + (len > 0 ? len : 0);
    char *o = out;
    char *firstNul = nullptr;
    while (in < end) {
        if (kWordAtATime && static_cast<std::size_t>(end - in) >= sizeof(Word)) {
            Word w;
            std::memcpy(&w, in, sizeof w);
            Word percent = zeroBytes(w ^ (kOnes * '%'));
            if (!percent) {
                w ^= (zeroBytes(w ^ (kOnes * '+')) >> 7) * ('+' ^ ' ');
                // `o` never runs ahead of `in`, so the store only overwrites
                // bytes already read.
                std::memcpy(o, &w, sizeof w);
                o += sizeof w;
                in += sizeof w;
                continue;
            }
            // The bytes before the '%', then the escape below.
            for (std::size_t k = firstMarked(percent); k; --k, ++in)
                *o++ = *in == '+' ? ' ' : static_cast<char>(*in);
        }
        unsigned char c = *in++;
        if (c == '+') {
            *o++ = ' ';
        } else if (c != '%') {
            *o++ = static_cast<char>(c);
        } else {
            // The two bytes after '%' are always taken as digits; a byte that
            // is no hex digit counts as 0, and an escape cut short by the end
            // of the input writes nothing.
            if (end - in < 2)
                break;
            char d = static_cast<char>(cgiHexValue[in[0]] * 16 + cgiHexValue[in[1]]);
            in += 2;
            if (!d && !firstNul)
                firstNul = o;
            *o++ = d;
        }
    }
    *o = '\0';
    return static_cast<int>((firstNul ? firstNul : o) - out);
}

// Splits `len` bytes of pairs at `buf` (which has room for one more byte)
// and decodes each name and value where it stands, appending one entry per
// pair. A trailing fragment without '=' is dropped.
cgiParseResultType parseInPlace(char *buf, std::size_t len) {
    cgi::EntryTail tail;
    char *p = buf;
    char *const end = buf + len;
    while (p < end) {
        // An '&' before the '=' is an ordinary byte of the name.
        char *eq = static_cast<char *>(std::memchr(p, '=', static_cast<std::size_t>(end - p)));
        if (!eq)
            break;
        char *name = p;
        cgiUnescapeChars(name, name, static_cast<int>(eq - name));
        char *value = eq + 1;
        char *amp = static_cast<char *>(std::memchr(value, '&', static_cast<std::size_t>(end - value)));
        char *valueEnd = amp ? amp : end;
        int valueLength = cgiUnescapeChars(value, value, static_cast<int>(valueEnd - value));
        p = amp ? amp + 1 : end;
        cgiFormEntry *e = cgiNewEntry(name, value, valueLength);
        if (!e)
            return cgiParseMemory;
        tail.append(e);
    }
    return cgiParseSuccess;
}

} // namespace

cgiParseResultType cgiParseGetFormInput() noexcept {
    return cgiParseFormInput(cgiQueryString, cgiContentLength);
}

cgiParseResultType cgiParsePostFormInput() noexcept {
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    // A body beyond the input limit is refused before a byte of it is read
    // or its buffer allocated, as if memory had run out.
    if (cgiContentLength < 0 || cgiContentLength > kCgiMaxInput) {
        cgiRefusal = cgiContentLength < 0 ? cgiRefusedLength : cgiRefusedInput;
        return cgiParseMemory;
    }
    const std::size_t n = static_cast<std::size_t>(cgiContentLength);
    // The body is read in one block and decoded where it stands; the extra
    // byte terminates the last value.
    char *body = static_cast<char *>(cgiPoolAlloc(n + 1));
    if (!body)
        return cgiParseMemory;
    if (std::fread(body, 1, n, cgiIn) != n) {
        cgiRefusal = cgiRefusedCut;
        return cgiParseIO;
    }
    return parseInPlace(body, n);
}

cgiParseResultType cgiParseFormInput(const char *data, int length) noexcept {
    if (length <= 0)
        return cgiParseSuccess;
    char *copy = cgiPoolStrndup(data, static_cast<std::size_t>(length));
    if (!copy)
        return cgiParseMemory;
    return parseInPlace(copy, static_cast<std::size_t>(length));
}
