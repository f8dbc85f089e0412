// list.cgi: the program the benchmarks time against the floors and the
// other languages' parsers: one line per field with its name and decoded
// length ("F name length"), one per upload with its field name, file name and
// size ("U name file size"), in input order. It walks the layer's entry list,
// as the other parsers' programs walk theirs, so that what is timed is the
// parse and not the lookups of the public accessors.
#include <cstdio>

#include "cgi_internal.h"

namespace {

void putNumber(unsigned v) {
    char digits[16];
    char *d = digits + sizeof digits;
    *--d = '\0';
    do
        *--d = static_cast<char>('0' + v % 10);
    while (v /= 10);
    std::fputs(d, cgiOut);
}

} // namespace

extern "C" int cgiMain(void) {
    cgiHeaderContentType("text/plain");
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        const bool upload = *e->tfileName;
        std::fputs(upload ? "U " : "F ", cgiOut);
        std::fputs(e->attr, cgiOut);
        std::fputc(' ', cgiOut);
        if (upload) {
            std::fputs(e->fileName, cgiOut);
            std::fputc(' ', cgiOut);
        }
        putNumber(static_cast<unsigned>(e->valueLength));
        std::fputc('\n', cgiOut);
    }
    return 0;
}
