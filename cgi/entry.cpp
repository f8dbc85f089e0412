// Request entry: the environment globals, the content type and its boundary,
// the choice of parser, the release of everything, case-blind comparisons
// and the response headers.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cgi_internal.h"

char cgiEmptyString[] = "";

char *cgiServerSoftware = cgiEmptyString;
char *cgiServerName = cgiEmptyString;
char *cgiGatewayInterface = cgiEmptyString;
char *cgiServerProtocol = cgiEmptyString;
char *cgiServerPort = cgiEmptyString;
char *cgiRequestMethod = cgiEmptyString;
char *cgiPathInfo = cgiEmptyString;
char *cgiPathTranslated = cgiEmptyString;
char *cgiScriptName = cgiEmptyString;
char *cgiQueryString = cgiEmptyString;
char *cgiRemoteHost = cgiEmptyString;
char *cgiRemoteAddr = cgiEmptyString;
char *cgiAuthType = cgiEmptyString;
char *cgiRemoteUser = cgiEmptyString;
char *cgiRemoteIdent = cgiEmptyString;
char cgiContentTypeData[1024];
char *cgiContentType = cgiContentTypeData;
char *cgiAccept = cgiEmptyString;
char *cgiUserAgent = cgiEmptyString;
char *cgiReferrer = cgiEmptyString;
char *cgiCookie = cgiEmptyString;
char *cgiMultipartBoundary = cgiEmptyString;
int cgiContentLength = 0;
FILE *cgiIn = nullptr;
FILE *cgiOut = nullptr;

char **const cgiEnvironmentStrings[20] = {
    &cgiServerSoftware, &cgiServerName,     &cgiGatewayInterface, &cgiServerProtocol,
    &cgiServerPort,     &cgiRequestMethod,  &cgiPathInfo,         &cgiPathTranslated,
    &cgiScriptName,     &cgiQueryString,    &cgiRemoteHost,       &cgiRemoteAddr,
    &cgiAuthType,       &cgiRemoteUser,     &cgiRemoteIdent,      &cgiContentType,
    &cgiAccept,         &cgiUserAgent,      &cgiReferrer,         &cgiCookie};

int cgiRestored = 0;
int cgiEnvironmentReplayed = 0;
cgiFormEntry *cgiFormEntryFirst = nullptr;

namespace {

bool isSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r'); // \t \n \v \f \r
}

bool isLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Copies CONTENT_TYPE, cuts it at its first ';' and finds the boundary among
// the parameters after it.
void setupContentType() {
    const char *ct = std::getenv("CONTENT_TYPE");
    std::size_t n = ct ? std::strlen(ct) : 0;
    if (n > sizeof cgiContentTypeData - 1)
        n = sizeof cgiContentTypeData - 1;
    std::memcpy(cgiContentTypeData, ct ? ct : "", n);
    cgiContentTypeData[n] = '\0';
    cgiContentType = cgiContentTypeData;
    cgiMultipartBoundary = cgiEmptyString;

    char *p = std::strchr(cgiContentTypeData, ';');
    while (p) {
        *p++ = '\0';
        while (isSpace(static_cast<unsigned char>(*p)))
            ++p;
        if (cgiStrBeginsNc(p, "boundary=")) {
            char *b = p + 9;
            char *end = b;
            while (*end && !isSpace(static_cast<unsigned char>(*end)))
                ++end;
            *end = '\0';
            cgiMultipartBoundary = b;
            return;
        }
        p = std::strchr(p, ';');
    }
}

} // namespace

void cgiGetenv(char **s, const char *var) noexcept {
    char *v = std::getenv(var);
    *s = v ? v : cgiEmptyString;
}

int cgiDecimal(const char *s) noexcept {
    while (isSpace(static_cast<unsigned char>(*s)))
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

void cgiSetupRequest() noexcept {
    cgiSetupConstants();
    cgiGetenv(&cgiServerSoftware, "SERVER_SOFTWARE");
    cgiGetenv(&cgiServerName, "SERVER_NAME");
    cgiGetenv(&cgiGatewayInterface, "GATEWAY_INTERFACE");
    cgiGetenv(&cgiServerProtocol, "SERVER_PROTOCOL");
    cgiGetenv(&cgiServerPort, "SERVER_PORT");
    cgiGetenv(&cgiRequestMethod, "REQUEST_METHOD");
    cgiGetenv(&cgiPathInfo, "PATH_INFO");
    cgiGetenv(&cgiPathTranslated, "PATH_TRANSLATED");
    cgiGetenv(&cgiScriptName, "SCRIPT_NAME");
    cgiGetenv(&cgiQueryString, "QUERY_STRING");
    cgiGetenv(&cgiRemoteHost, "REMOTE_HOST");
    cgiGetenv(&cgiRemoteAddr, "REMOTE_ADDR");
    cgiGetenv(&cgiAuthType, "AUTH_TYPE");
    cgiGetenv(&cgiRemoteUser, "REMOTE_USER");
    cgiGetenv(&cgiRemoteIdent, "REMOTE_IDENT");
    setupContentType();
    char *length;
    cgiGetenv(&length, "CONTENT_LENGTH");
    cgiContentLength = cgiDecimal(length);
    cgiGetenv(&cgiAccept, "HTTP_ACCEPT");
    cgiGetenv(&cgiUserAgent, "HTTP_USER_AGENT");
    cgiGetenv(&cgiReferrer, "HTTP_REFERER");
    cgiGetenv(&cgiCookie, "HTTP_COOKIE");
    cgiFormEntryFirst = nullptr;
    cgiIn = stdin;
    cgiOut = stdout;
    cgiRestored = 0;
}

cgiParseResultType cgiParseRequest() noexcept {
    if (cgiStrEqNc(cgiRequestMethod, "post")) {
        if (cgiStrEqNc(cgiContentType, "application/x-www-form-urlencoded"))
            return cgiParsePostFormInput();
        if (cgiStrEqNc(cgiContentType, "multipart/form-data"))
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

void cgiDropEntries() noexcept {
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
        if (*e->tfileName)
            unlink(e->tfileName); // a file already gone is no error here
    cgiFormEntryFirst = nullptr;
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

// Equal bytes match; otherwise only a letter and the same letter in the
// other case (they differ in the 0x20 bit alone).
inline bool sameNc(unsigned char a, unsigned char b) { return a == b || (isLetter(a) && (a ^ b) == 0x20); }

int cgiStrEqNc(const char *s1, const char *s2) noexcept {
    for (;; ++s1, ++s2) {
        unsigned char a = static_cast<unsigned char>(*s1);
        unsigned char b = static_cast<unsigned char>(*s2);
        if (!a || !b)
            return a == b;
        if (!sameNc(a, b))
            return 0;
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

void cgiPutHeaderText(const char *s) noexcept {
    while (*s) {
        std::size_t run = std::strcspn(s, "\r\n");
        std::fwrite(s, 1, run, cgiOut);
        s += run;
        if (*s)
            ++s;
    }
}

void cgiHeaderLocation(const char *redirectUrl) noexcept {
    std::fputs("Location: ", cgiOut);
    cgiPutHeaderText(redirectUrl);
    std::fputs("\r\n\r\n", cgiOut);
}

void cgiHeaderStatus(int status, const char *statusMessage) noexcept {
    std::fprintf(cgiOut, "Status: %d ", status);
    cgiPutHeaderText(statusMessage);
    std::fputs("\r\n\r\n", cgiOut);
}

void cgiHeaderContentType(const char *mimeType) noexcept {
    std::fputs("Content-type: ", cgiOut);
    cgiPutHeaderText(mimeType);
    std::fputs("\r\n\r\n", cgiOut);
}
