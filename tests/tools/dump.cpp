// dump.cgi: answers any request with the fields the layer made of it, as
// plain text, in input order, for the end-to-end tests. Bytes that a
// terminal would not show come out as \xHH.
#include <cstdio>
#include <cstring>

#include "cgi.h"
// A tool of the layer itself: it reads the entry list directly.
#include "cgi_internal.h"

namespace {

void putEscaped(const char *s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f || c == '\\')
            std::fprintf(cgiOut, "\\x%02x", c);
        else
            std::fputc(c, cgiOut);
    }
}

void putString(const char *s) { putEscaped(s, std::strlen(s)); }

// An uploaded file: its client name, content type, the bytes it holds and
// their 64-bit FNV-1a hash.
void putFile(const cgiFormEntry *e) {
    std::fputs("(file ", cgiOut);
    putString(e->fileName);
    std::fputc(' ', cgiOut);
    putString(e->contentType);
    unsigned long long hash = 0xcbf29ce484222325ull;
    long total = 0;
    if (FILE *f = std::fopen(e->tfileName, "rb")) {
        for (int c; (c = std::getc(f)) != EOF; ++total)
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        std::fclose(f);
    }
    std::fprintf(cgiOut, " %ld %016llx)", total, hash);
}

} // namespace

extern "C" int cgiMain(void) {
    cgiHeaderContentType("text/plain");
    // The list itself, not the accessors: every entry is shown
    // with its raw length, repeated names included.
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        std::fputs("field ", cgiOut);
        putString(e->attr);
        std::fprintf(cgiOut, " %d ", e->valueLength);
        if (*e->tfileName)
            putFile(e);
        else
            putEscaped(e->value, static_cast<std::size_t>(e->valueLength));
        std::fputc('\n', cgiOut);
    }
    return 0;
}
