// The process entry: one request, then exit. Kept apart from the rest of the
// layer so that tests link the library without it.
#include <csignal>
#include <cstdio>

#include "cgi_internal.h"

namespace {

void say(const char *s) { std::fputs(s, stderr); }

// Reports a request that ends before the application runs: one line on
// standard error, which the web server keeps in its log, naming the cause
// (and the limit or length concerned); and, when the client's request is the
// cause, a status it can act on. A failure of the server's own (memory, a
// temporary file) writes nothing to the client, whose server answers 500.
void refuse(const char *program, cgiParseResultType result) {
    static const char *const kCauses[] = {
        nullptr,
        "413: the input passes the input limit of ",
        "413: the uploads pass the upload limit of ",
        "400: the body ended before its CONTENT_LENGTH of ",
        "400: the multipart body ended inside a part",
        "400: CONTENT_LENGTH is negative",
    };
    say(program);
    if (cgiRefusal == cgiRefusedNot) {
        say(result == cgiParseMemory ? ": request failed: out of memory\n"
                                     : ": request failed: an upload could not be stored in a temporary file\n");
        return;
    }
    say(": request refused with ");
    say(kCauses[cgiRefusal]);
    long long figure = cgiRefusal == cgiRefusedInput     ? kCgiMaxInput
                       : cgiRefusal == cgiRefusedUploads ? cgiUploadLimit
                       : cgiRefusal == cgiRefusedCut     ? cgiContentLength
                                                         : -1;
    if (figure >= 0) {
        char digits[24];
        char *p = digits + sizeof digits;
        *--p = '\0';
        do
            *--p = static_cast<char>('0' + figure % 10);
        while (figure /= 10);
        say(p);
        say(" bytes");
    }
    say("\n");
    std::fputs(cgiRefusal <= cgiRefusedUploads
                   ? "Status: 413 Content Too Large\r\nContent-type: text/plain\r\n\r\n413 Content Too Large\n"
                   : "Status: 400 Bad Request\r\nContent-type: text/plain\r\n\r\n400 Bad Request\n",
               cgiOut);
}

} // namespace

int main(int, char **argv) {
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
    cgiParseResultType parsed = cgiParseRequest();
    if (parsed != cgiParseSuccess) {
        refuse(argv[0] ? argv[0] : "cgi", parsed);
        cgiFreeResources();
        return -1;
    }
    int result = cgiMain();
    cgiFreeResources();
    return result;
}
