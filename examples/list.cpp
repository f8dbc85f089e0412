// list.cgi: the smallest useful application of the layer, used by the
// benchmarks: one line per field with its name and decoded length.
#include <cstdio>

#include "cgi.h"
#include "cgi_internal.h"

extern "C" int cgiMain(void) {
    cgiHeaderContentType("text/plain");
    char digits[16];
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        std::fputs(e->attr, cgiOut);
        char *d = digits + sizeof digits;
        *--d = '\0';
        *--d = '\n';
        unsigned v = static_cast<unsigned>(e->valueLength);
        do
            *--d = static_cast<char>('0' + v % 10);
        while (v /= 10);
        *--d = ' ';
        std::fputs(d, cgiOut);
    }
    return 0;
}
