// The process entry: one request, then exit. Kept apart from the rest of the
// layer so that tests link the library without it.
#include <csignal>
#include <cstdio>

#include "cgi_internal.h"

int main(int, char **) {
    // When the web server's client goes away, the server closes the pipe
    // that carries the response. A write to it must fail with EPIPE rather
    // than end the process, so that the release below still deletes the
    // uploads' temporary files (in /tmp, which is RAM on the device).
    std::signal(SIGPIPE, SIG_IGN);
    // The answer goes to the web server through a pipe, never a terminal:
    // fully buffered from the first byte, it leaves in as few writes as its
    // size allows, and no line ending sends a write of its own.
    std::setvbuf(stdout, nullptr, _IOFBF, 0);
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
