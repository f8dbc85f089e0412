// The process entry: one request, then exit. Kept apart from the rest of the
// layer so that tests link the library without it.
#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "cgi_internal.h"

namespace {

// Copies `s` to `p`, as far as `stop`; the end of the copy.
[[gnu::noinline]] char *append(char *p, char *stop, const char *s) {
    while (*s && p < stop)
        *p++ = *s++;
    return p;
}

// Reports a request that ends before the application runs: one line on
// standard error, which the web server keeps in its log, naming the cause
// (and the limit or length concerned); and, when the client's request is the
// cause, a status it can act on. A failure of the server's own (memory, a
// temporary file) writes nothing to the client, whose server answers 500.
// The line goes out in one write, without a stream, so that lines of
// programs that share the log stay whole.
void refuse(const char *program, cgiParseResultType result) {
    static const char *const kCauses[] = {
        nullptr,
        ": request refused with 413: the input passes the input limit of ",
        ": request refused with 413: the uploads pass the upload limit of ",
        ": request refused with 400: the body ended before its CONTENT_LENGTH of ",
        ": request refused with 400: the multipart body ended inside a part",
        ": request refused with 400: CONTENT_LENGTH is negative",
    };
    char line[256];
    char *const stop = line + sizeof line - 1;
    char *p = append(line, line + 64, program);
    p = append(p, stop,
               cgiRefusal != cgiRefusedNot ? kCauses[cgiRefusal]
               : result == cgiParseMemory  ? ": request failed: out of memory"
                                           : ": request failed: an upload could not be stored in a temporary file");
    const long long figure = cgiRefusal == cgiRefusedInput     ? kCgiMaxInput
                             : cgiRefusal == cgiRefusedUploads ? cgiUploadLimit
                             : cgiRefusal == cgiRefusedCut     ? cgiContentLength
                                                               : -1;
    if (figure >= 0) {
        // In the machine's word: no wider division is linked for this.
        const unsigned long long wide = static_cast<unsigned long long>(figure);
        unsigned long v = wide > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(wide);
        char digits[24];
        char *d = digits + sizeof digits;
        *--d = '\0';
        do
            *--d = static_cast<char>('0' + v % 10);
        while (v /= 10);
        p = append(append(p, stop, d), stop, " bytes");
    }
    *p++ = '\n';
    if (write(2, line, static_cast<std::size_t>(p - line)) < 0) {
        // Nothing more to be done: the log is gone.
    }
    if (cgiRefusal != cgiRefusedNot)
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
