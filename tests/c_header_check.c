/* Compiled as C99 with -pedantic: the public header must stay plain C. */
#include "cgi.h"

int cgiHeaderCheck(void);

int cgiHeaderCheck(void) {
    cgiFormEntry e = {0, 0, 0, 0, 0, 0, 0};
    cgiFormResultType r = cgiFormEOF;
    cgiParseResultType p = cgiParseIO;
    return (int)r + (int)p + e.valueLength + cgiContentLength;
}
