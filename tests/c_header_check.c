/* Compiled as C99 with -pedantic: the public header must stay plain C. */
#include "cgi.h"

int cgiHeaderCheck(void);

/* The result codes are numbers that C programs keep and compare. */
typedef char cgiResultCodesAreFixed[cgiFormEOF == 13 && cgiParseIO == 2 && cgiEnvironmentMemory == 1 &&
                                    cgiEnvironmentSuccess == 2 && cgiEnvironmentWrongVersion == 3 ? 1 : -1];

int cgiHeaderCheck(void) {
    cgiFormEntry e = {0, 0, 0, 0, 0, 0, 0};
    cgiFormResultType r = cgiFormEOF;
    cgiParseResultType p = cgiParseIO;
    return (int)r + (int)p + e.valueLength + cgiContentLength;
}
