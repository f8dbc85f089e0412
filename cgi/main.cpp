// The process entry: one request, then exit. Kept apart from the rest of the
// layer so that tests link the library without it.
#include "cgi_internal.h"

int main(int, char **) {
    cgiSetupRequest();
    if (cgiParseRequest() != cgiParseSuccess) {
        // Nothing is written: the web server reports the failed request.
        cgiFreeResources();
        return -1;
    }
    int result = cgiMain();
    cgiFreeResources();
    return result;
}
