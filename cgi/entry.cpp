// Request entry: the environment read into the request's globals, the
// content type and its boundary, the choice of parser, the release of
// everything and the response headers.
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cgi_internal.h"

namespace {

// Copies CONTENT_TYPE (`ct`), cuts it at its first ';' and finds the
// boundary among the parameters after it.
void setupContentType(const char *ct) {
    cgiCopyOut(ct, std::strlen(ct), cgiContentTypeData, sizeof cgiContentTypeData);
    cgiContentType = cgiContentTypeData;
    cgiMultipartBoundary = cgiEmptyString;

    char *p = std::strchr(cgiContentTypeData, ';');
    while (p) {
        *p++ = '\0';
        while (cgiIsSpace(static_cast<unsigned char>(*p)))
            ++p;
        if (cgiStrBeginsNc(p, "boundary=")) {
            char *b = p + 9;
            char *end = b;
            while (*end && !cgiIsSpace(static_cast<unsigned char>(*end)))
                ++end;
            *end = '\0';
            cgiMultipartBoundary = b;
            return;
        }
        p = std::strchr(p, ';');
    }
}

// Whether the content type, as cut at its first ';', is the media type
// `type`, letters compared without case. Blanks may stand before the ';'
// (HTTP allows them), and cgiContentType keeps them.
bool isMediaType(const char *type) {
    if (!cgiStrBeginsNc(cgiContentType, type))
        return false;
    const char *rest = cgiContentType + std::strlen(type);
    while (*rest == ' ' || *rest == '\t')
        ++rest;
    return !*rest;
}

char *rawContentType;
char *rawContentLength;

// The variables the layer reads.
constexpr std::size_t kShortestName = 9;
constexpr std::size_t kLongestName = 17;
constexpr int kVariables = 21;
struct Variable {
    char name[kLongestName + 1];
    char **value;
};
constexpr Variable kVariable[kVariables] = {
    {"SERVER_SOFTWARE", &cgiServerSoftware},
    {"SERVER_NAME", &cgiServerName},
    {"GATEWAY_INTERFACE", &cgiGatewayInterface},
    {"SERVER_PROTOCOL", &cgiServerProtocol},
    {"SERVER_PORT", &cgiServerPort},
    {"REQUEST_METHOD", &cgiRequestMethod},
    {"PATH_INFO", &cgiPathInfo},
    {"PATH_TRANSLATED", &cgiPathTranslated},
    {"SCRIPT_NAME", &cgiScriptName},
    {"QUERY_STRING", &cgiQueryString},
    {"REMOTE_HOST", &cgiRemoteHost},
    {"REMOTE_ADDR", &cgiRemoteAddr},
    {"AUTH_TYPE", &cgiAuthType},
    {"REMOTE_USER", &cgiRemoteUser},
    {"REMOTE_IDENT", &cgiRemoteIdent},
    {"CONTENT_TYPE", &rawContentType},
    {"CONTENT_LENGTH", &rawContentLength},
    {"HTTP_ACCEPT", &cgiAccept},
    {"HTTP_USER_AGENT", &cgiUserAgent},
    {"HTTP_REFERER", &cgiReferrer},
    {"HTTP_COOKIE", &cgiCookie},
};

// A name of `n` bytes is looked up by its length, its second byte and its
// second byte from the end: no two of the names sought share a slot, so a
// string of the environment is compared with one name at most.
constexpr unsigned kSlots = 64;
constexpr unsigned slotOf(std::size_t n, unsigned char second, unsigned char beforeLast) {
    return static_cast<unsigned>(4 * n + second + 9 * beforeLast) % kSlots;
}
constexpr std::size_t lengthOf(const char *s) {
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}
constexpr unsigned slotOf(const char *name) {
    const std::size_t n = lengthOf(name);
    return slotOf(n, static_cast<unsigned char>(name[1]), static_cast<unsigned char>(name[n - 2]));
}
// Each slot's variable, plus one; 0 for a slot of none.
struct SlotTable {
    unsigned char variable[kSlots];
};
constexpr SlotTable slotTable() {
    SlotTable t{};
    for (int i = 0; i < kVariables; ++i)
        t.variable[slotOf(kVariable[i].name)] = static_cast<unsigned char>(i + 1);
    return t;
}
constexpr SlotTable kSlotTable = slotTable();
constexpr bool eachNameHasItsSlot() {
    for (int i = 0; i < kVariables; ++i) {
        const std::size_t n = lengthOf(kVariable[i].name);
        if (n < kShortestName || n > kLongestName || kSlotTable.variable[slotOf(kVariable[i].name)] != i + 1)
            return false;
    }
    return true;
}
static_assert(eachNameHasItsSlot(), "two names share a slot, or a name is outside the lengths");

// The '=' after the name that begins `s`, or its NUL when it has none.
char *nameEnd(char *s) {
    for (;; ++s) {
        // Names are mostly capital letters and '_', all above '='.
        while (static_cast<unsigned char>(*s) > '=')
            ++s;
        if (*s == '=' || !*s)
            return s;
    }
}

// Sets every variable from one walk over the environment. As with getenv,
// the first string of a name counts, and a name that is not there reads
// as empty.
void readEnvironment() {
    for (const Variable &v : kVariable)
        *v.value = cgiEmptyString;
    for (char **e = environ; e && *e; ++e) {
        char *s = *e;
        char *const eq = nameEnd(s);
        const std::size_t n = static_cast<std::size_t>(eq - s);
        if (!*eq || n - kShortestName > kLongestName - kShortestName)
            continue;
        const int i = kSlotTable.variable[slotOf(n, static_cast<unsigned char>(s[1]),
                                                  static_cast<unsigned char>(s[n - 2]))] - 1;
        if (i < 0)
            continue;
        // The comparison ends by the end of the shorter name at the latest:
        // a NUL or the '=' there meets a letter of the other.
        const char *a = kVariable[i].name;
        const char *b = s;
        char x, y;
        do {
            x = *a++;
            y = *b++;
        } while (x == y);
        if (x || y != '=')
            continue;
        // A name already seen keeps its first value, even an empty one.
        if (*kVariable[i].value == cgiEmptyString)
            *kVariable[i].value = eq + 1;
    }
}

} // namespace

unsigned char cgiRefusal;

void cgiSetupRequest() noexcept {
    cgiRefusal = cgiRefusedNot;
    readEnvironment();
    setupContentType(rawContentType);
    cgiContentLength = cgiDecimal(rawContentLength);
    cgiFormEntryFirst = nullptr;
    cgiIn = stdin;
    cgiOut = stdout;
    cgiRestored = 0;
}

cgiParseResultType cgiParseRequest() noexcept {
    if (cgiStrEqNc(cgiRequestMethod, "post")) {
        if (isMediaType("application/x-www-form-urlencoded"))
            return cgiParsePostFormInput();
        if (isMediaType("multipart/form-data"))
            return cgiParsePostMultipartInput();
        return cgiParseSuccess;
    }
    if (cgiStrEqNc(cgiRequestMethod, "get")) {
        std::size_t n = std::strlen(cgiQueryString);
        cgiContentLength = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        return cgiParseGetFormInput();
    }
    return cgiParseSuccess;
}

void cgiFreeResources() noexcept {
    cgiDropEntries();
    if (cgiRestored || cgiEnvironmentReplayed) {
        // Replayed strings live in the pool: from here until a replay sets
        // them again they read as empty, never as released memory.
        for (char **s : cgiEnvironmentStrings)
            *s = cgiEmptyString;
    }
    cgiPoolRelease();
    cgiRestored = 0;
    cgiEnvironmentReplayed = 0;
}

namespace {

// Writes the header line `prefix` `text`, and the blank line that ends the
// header block when `end` is set, without the CR and LF bytes of `text`: in
// one write unless `text` is long. Out of line, so that each header function
// does not carry a copy.
[[gnu::noinline]] void putHeader(const char *prefix, std::size_t prefixLength, const char *text, bool end = true) {
    char line[256];
    std::memcpy(line, prefix, prefixLength);
    std::size_t n = prefixLength;
    for (; *text; ++text) {
        if (*text == '\r' || *text == '\n')
            continue;
        if (n == sizeof line - 4) {
            std::fwrite(line, 1, n, cgiOut);
            n = 0;
        }
        line[n++] = *text;
    }
    std::memcpy(line + n, "\r\n\r\n", 4);
    std::fwrite(line, 1, n + (end ? 4 : 2), cgiOut);
}

void putStatus(int status, const char *statusMessage, bool end) {
    char prefix[24] = "Status: ";
    char *p = prefix + 8;
    unsigned u = static_cast<unsigned>(status);
    if (status < 0) {
        *p++ = '-';
        u = 0u - u;
    }
    char digits[10];
    int k = 0;
    do
        digits[k++] = static_cast<char>('0' + u % 10);
    while (u /= 10);
    while (k)
        *p++ = digits[--k];
    *p++ = ' ';
    putHeader(prefix, static_cast<std::size_t>(p - prefix), statusMessage, end);
}

} // namespace

void cgiHeaderLocation(const char *redirectUrl) noexcept { putHeader("Location: ", 10, redirectUrl); }

void cgiHeaderStatus(int status, const char *statusMessage) noexcept { putStatus(status, statusMessage, true); }

void cgiHeaderContentType(const char *mimeType) noexcept { putHeader("Content-type: ", 14, mimeType); }

void cgiHeaderStatusLine(int status, const char *statusMessage) noexcept {
    putStatus(status, statusMessage, false);
}

void cgiHeaderLine(const char *name, const char *value) noexcept {
    // A name ends at its colon, so none is written inside it; no control
    // byte of either argument goes out, so neither can end the line.
    cgiPutWithout(name, [](unsigned char c) { return c < 0x20 || c == 0x7f || c == ':'; });
    std::fwrite(": ", 1, 2, cgiOut);
    cgiPutWithout(value, [](unsigned char c) { return c == '\r' || c == '\n'; });
    std::fwrite("\r\n", 1, 2, cgiOut);
}

void cgiHeaderEnd() noexcept { std::fwrite("\r\n", 1, 2, cgiOut); }
