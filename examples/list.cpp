// list.cgi: the smallest useful application of the layer, used by the
// benchmarks: one line per field with its name and decoded length.
#include <cstdio>

#include "cgi.h"
#include "cgi_internal.h"

extern "C" int cgiMain(void) {
    cgiHeaderContentType("text/plain");
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
        std::fprintf(cgiOut, "%s %d\n", e->attr, e->valueLength);
    return 0;
}
