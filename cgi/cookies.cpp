// Cookies: reading the request's cookie header and writing Set-Cookie lines.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cgi_internal.h"

const char *const days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

// Writes a name, value, path or domain of a Set-Cookie line without its ';'
// and control bytes: a ';' would begin an attribute of the caller's text
// (a domain hidden in a value, say), CR and LF would end the line, and
// clients drop or refuse a cookie with other control bytes. A name is
// written without `also` ('=') too, where it would end the name.
void putCookieText(const char *s, char also = ';') {
    cgiPutWithout(s, [also](unsigned char c) {
        return c < 0x20 || c == 0x7f || c == ';' || c == static_cast<unsigned char>(also);
    });
}

} // namespace

cgiFormResultType cgiCookieString(const char *name, char *value, int space) noexcept {
    const char *p = cgiCookie;
    while (*p) {
        const char *n = name;
        while (*p && *p == *n) {
            ++p;
            ++n;
        }
        if (!*p && !*n)
            return cgiFormNotFound; // the header is the name itself, without "="
        if (!*n && *p == '=') {
            ++p;
            const std::size_t n = std::strcspn(p, ";");
            return cgiCopyOut(p, n, value, space) ? cgiFormTruncated : cgiFormSuccess;
        }
        // White space is skipped only after a ';', and a name matches only
        // a whole cookie name.
        p = std::strchr(p, ';');
        if (!p)
            break;
        ++p;
        while (cgiIsSpace(static_cast<unsigned char>(*p)))
            ++p;
    }
    if (space > 0)
        value[0] = '\0';
    return cgiFormNotFound;
}

cgiFormResultType cgiCookieInteger(const char *name, int *result, int defaultV) noexcept {
    char buffer[256];
    cgiFormResultType r = cgiCookieString(name, buffer, sizeof buffer);
    *result = r == cgiFormSuccess ? cgiDecimal(buffer) : defaultV;
    return r;
}

cgiFormResultType cgiCookies(char ***result) noexcept {
    *result = nullptr;
    // A name ends at an '=' or at the end of the header: at most one name
    // per '=' and one more.
    std::size_t most = 1;
    for (const char *p = cgiCookie; *p; ++p)
        most += *p == '=';
    char **a = cgiAllocStringArray(most);
    if (!a)
        return cgiFormMemory;
    std::size_t i = 0;
    const char *p = cgiCookie;
    while (*p) {
        while (cgiIsSpace(static_cast<unsigned char>(*p)))
            ++p;
        // Unlike cgiCookieString, a name runs across a ';' to the next '='.
        const char *end = std::strchr(p, '=');
        if (!end)
            end = p + std::strlen(p);
        if (end > p) {
            a[i] = cgiStrndupHeap(p, static_cast<std::size_t>(end - p));
            if (!a[i++]) {
                cgiStringArrayFree(a);
                return cgiFormMemory;
            }
        }
        p = std::strchr(end, ';');
        if (!p)
            break;
        ++p;
    }
    *result = a;
    return cgiFormSuccess;
}

void cgiHeaderCookieSetString(const char *name, const char *value, int secondsToLive,
                              const char *path, const char *domain) noexcept {
    // Built with 64-bit time_t everywhere, so that a moment after January
    // 2038 does not wrap; the sum is taken in 64 bits as well.
    static_assert(sizeof(std::time_t) >= 8, "time_t must have 64 bits (_TIME_BITS=64 with glibc)");
    const std::time_t when = static_cast<std::time_t>(static_cast<long long>(std::time(nullptr)) + secondsToLive);
    std::tm t;
    gmtime_r(&when, &t);
    std::fputs("Set-Cookie: ", cgiOut);
    putCookieText(name);
    std::fputc('=', cgiOut);
    putCookieText(value);
    std::fputs("; domain=", cgiOut);
    putCookieText(domain);
    std::fprintf(cgiOut, "; expires=%s, %02d-%s-%04d %02d:%02d:%02d GMT; path=", days[t.tm_wday],
                 t.tm_mday, months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    putCookieText(path);
    std::fputs("\r\n", cgiOut);
}

void cgiHeaderCookieSetInteger(const char *name, int value, int secondsToLive, const char *path,
                               const char *domain) noexcept {
    char svalue[256];
    std::snprintf(svalue, sizeof svalue, "%d", value);
    cgiHeaderCookieSetString(name, svalue, secondsToLive, path, domain);
}

void cgiHeaderCookieSet(const char *name, const char *value, int maxAge, const char *path, const char *domain,
                        int flags) noexcept {
    std::fputs("Set-Cookie: ", cgiOut);
    putCookieText(name, '=');
    std::fputc('=', cgiOut);
    putCookieText(value);
    if (maxAge >= 0) {
        // Expires as well, for the clients that know no Max-Age.
        const std::time_t when = static_cast<std::time_t>(static_cast<long long>(std::time(nullptr)) + maxAge);
        std::tm t;
        gmtime_r(&when, &t);
        std::fprintf(cgiOut, "; Max-Age=%d; Expires=%s, %02d %s %04d %02d:%02d:%02d GMT", maxAge, days[t.tm_wday],
                     t.tm_mday, months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    }
    const struct {
        const char *attribute, *text;
    } named[] = {{"; Path=", path}, {"; Domain=", domain}};
    for (const auto &a : named) {
        if (a.text && *a.text) {
            std::fputs(a.attribute, cgiOut);
            putCookieText(a.text);
        }
    }
    if (flags & cgiCookieSecure)
        std::fputs("; Secure", cgiOut);
    if (flags & cgiCookieHttpOnly)
        std::fputs("; HttpOnly", cgiOut);
    // One SameSite attribute: the strictest of those asked for.
    if (flags & (cgiCookieSameSiteStrict | cgiCookieSameSiteLax | cgiCookieSameSiteNone))
        std::fprintf(cgiOut, "; SameSite=%s",
                     flags & cgiCookieSameSiteStrict ? "Strict" : flags & cgiCookieSameSiteLax ? "Lax" : "None");
    std::fputs("\r\n", cgiOut);
}
