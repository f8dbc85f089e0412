// Escaping for HTML output: element content and double-quoted attribute
// values, written straight to cgiOut.
#include <cstdio>
#include <cstring>

#include "cgi_internal.h"

namespace {

// Writes `len` bytes, with each byte found in `special` replaced by its
// entity; runs between them go out whole. cgiFormIO when cgiOut refuses
// output: what went out before stays written.
cgiFormResultType escape(const char *data, int len, const char *special,
                         const char *(*entity)(char)) {
    const char *p = data;
    const char *end = data + (len > 0 ? len : 0);
    while (p < end) {
        const char *q = p;
        while (q < end && !std::memchr(special, *q, std::strlen(special)))
            ++q;
        const std::size_t run = static_cast<std::size_t>(q - p);
        if (run && std::fwrite(p, 1, run, cgiOut) != run)
            return cgiFormIO;
        if (q == end)
            break;
        if (std::fputs(entity(*q), cgiOut) == EOF)
            return cgiFormIO;
        p = q + 1;
    }
    return cgiFormSuccess;
}

const char *contentEntity(char c) { return c == '<' ? "&lt;" : c == '&' ? "&amp;" : "&gt;"; }
const char *attributeEntity(char) { return "&#34;"; }

} // namespace

cgiFormResultType cgiHtmlEscapeData(const char *data, int len) noexcept {
    return escape(data, len, "<&>", contentEntity);
}

cgiFormResultType cgiHtmlEscape(const char *s) noexcept {
    return cgiHtmlEscapeData(s, static_cast<int>(std::strlen(s)));
}

cgiFormResultType cgiValueEscapeData(const char *data, int len) noexcept {
    return escape(data, len, "\"", attributeEntity);
}

cgiFormResultType cgiValueEscape(const char *s) noexcept {
    return cgiValueEscapeData(s, static_cast<int>(std::strlen(s)));
}
