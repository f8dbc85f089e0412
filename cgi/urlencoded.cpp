// The form entry list, its search cursor, and URL-encoded input: the query
// string of a GET and the body of an application/x-www-form-urlencoded POST.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cgi_raii.h"

int cgiHexValue[256];
const char *cgiFindTarget = nullptr;
cgiFormEntry *cgiFindPos = nullptr;

void cgiSetupConstants() noexcept {
    for (int &v : cgiHexValue)
        v = 0;
    for (int i = 0; i < 10; ++i)
        cgiHexValue['0' + i] = i;
    for (int i = 0; i < 6; ++i) {
        cgiHexValue['A' + i] = 10 + i;
        cgiHexValue['a' + i] = 10 + i;
    }
}

void cgiFreeString(char *s) noexcept {
    if (s != cgiEmptyString)
        cgiRelease(s);
}

cgiFormEntry *cgiNewEntry(char *attr, char *value, int valueLength) noexcept {
    auto *e = static_cast<cgiFormEntry *>(cgiAlloc(sizeof(cgiFormEntry)));
    if (!e) {
        cgiFreeString(attr);
        cgiFreeString(value);
        return nullptr;
    }
    // Entries without a file share the one empty string; cgiFreeString knows it.
    *e = cgiFormEntry{attr, value, valueLength, cgiEmptyString, cgiEmptyString, cgiEmptyString,
                      nullptr};
    return e;
}

void cgiDeleteEntry(cgiFormEntry *e) noexcept {
    cgiFreeString(e->attr);
    cgiFreeString(e->value);
    cgiFreeString(e->fileName);
    cgiFreeString(e->contentType);
    if (*e->tfileName)
        unlink(e->tfileName);
    cgiFreeString(e->tfileName);
    cgiRelease(e);
}

cgiParseResultType cgiParseGetFormInput() noexcept {
    return cgiParseFormInput(cgiQueryString, cgiContentLength);
}

cgiParseResultType cgiParsePostFormInput() noexcept {
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    if (cgiContentLength < 0)
        return cgiParseMemory;
    cgi::HeapString input(static_cast<char *>(cgiAlloc(static_cast<std::size_t>(cgiContentLength))));
    if (!input)
        return cgiParseMemory;
    if (std::fread(input.get(), 1, static_cast<std::size_t>(cgiContentLength), cgiIn) !=
        static_cast<std::size_t>(cgiContentLength))
        return cgiParseIO;
    return cgiParseFormInput(input.get(), cgiContentLength);
}

cgiParseResultType cgiParseFormInput(const char *data, int length) noexcept {
    const char *p = data;
    const char *end = data + (length > 0 ? length : 0);
    cgiFormEntry **tail = &cgiFormEntryFirst;
    while (*tail)
        tail = &(*tail)->next;
    while (p < end) {
        // An '&' before the '=' is an ordinary byte of the name; a trailing
        // fragment without '=' is dropped.
        const char *eq = static_cast<const char *>(std::memchr(p, '=', static_cast<std::size_t>(end - p)));
        if (!eq)
            break;
        char *name;
        if (cgiUnescapeChars(&name, p, static_cast<int>(eq - p)) != cgiUnescapeSuccess)
            return cgiParseMemory;
        cgi::HeapString nameOwner(name);
        p = eq + 1;
        const char *amp = static_cast<const char *>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
        const char *valueEnd = amp ? amp : end;
        char *value;
        if (cgiUnescapeChars(&value, p, static_cast<int>(valueEnd - p)) != cgiUnescapeSuccess)
            return cgiParseMemory;
        p = amp ? amp + 1 : end;
        // A %00 ends the value as the string readers see it.
        cgiFormEntry *e = cgiNewEntry(nameOwner.release(), value, static_cast<int>(std::strlen(value)));
        if (!e)
            return cgiParseMemory;
        *tail = e;
        tail = &e->next;
    }
    return cgiParseSuccess;
}

cgiUnescapeResultType cgiUnescapeChars(char **sp, const char *cp, int len) noexcept {
    std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 0;
    char *out = static_cast<char *>(cgiAlloc(n + 1));
    if (!out)
        return cgiUnescapeMemory;
    const unsigned char *in = reinterpret_cast<const unsigned char *>(cp);
    const unsigned char *end = in + n;
    char *o = out;
    while (in < end) {
        unsigned char c = *in++;
        if (c == '%') {
            // The two bytes after '%' are always taken as digits; a byte that
            // is no hex digit counts as 0, and an escape cut short by the end
            // of the input writes nothing.
            if (end - in < 2)
                break;
            *o++ = static_cast<char>(cgiHexValue[in[0]] * 16 + cgiHexValue[in[1]]);
            in += 2;
        } else {
            *o++ = c == '+' ? ' ' : static_cast<char>(c);
        }
    }
    *o = '\0';
    *sp = out;
    return cgiUnescapeSuccess;
}

cgiFormEntry *cgiFormEntryFindFirst(const char *name) noexcept {
    cgiFindTarget = name;
    cgiFindPos = cgiFormEntryFirst;
    return cgiFormEntryFindNext();
}

cgiFormEntry *cgiFormEntryFindNext() noexcept {
    while (cgiFindPos) {
        cgiFormEntry *e = cgiFindPos;
        cgiFindPos = e->next;
        if (std::strcmp(e->attr, cgiFindTarget) == 0)
            return e;
    }
    return nullptr;
}
