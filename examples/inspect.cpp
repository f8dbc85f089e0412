// inspect.cgi: the request inspector. It answers any request with an HTML
// page of what the layer made of it: every environment value, every field
// with all its values, every uploaded file (name, content type, size and its
// first bytes) and every cookie, all escaped.
#include <cstdio>

#include "cgi.h"
#include "cgi_internal.h"

namespace {

void cell(const char *cls, const char *text) {
    std::fprintf(cgiOut, "<td class=\"%s\">", cls);
    cgiHtmlEscape(text);
    std::fputs("</td>", cgiOut);
}

void row(const char *cls, const char *name) {
    std::fprintf(cgiOut, "<tr class=\"%s\"><th>", cls);
    cgiHtmlEscape(name);
    std::fputs("</th>", cgiOut);
}

void environment() {
    const struct {
        const char *name;
        const char *value;
    } env[] = {
        {"SERVER_SOFTWARE", cgiServerSoftware}, {"SERVER_NAME", cgiServerName},
        {"GATEWAY_INTERFACE", cgiGatewayInterface}, {"SERVER_PROTOCOL", cgiServerProtocol},
        {"SERVER_PORT", cgiServerPort},         {"REQUEST_METHOD", cgiRequestMethod},
        {"PATH_INFO", cgiPathInfo},             {"PATH_TRANSLATED", cgiPathTranslated},
        {"SCRIPT_NAME", cgiScriptName},         {"QUERY_STRING", cgiQueryString},
        {"REMOTE_HOST", cgiRemoteHost},         {"REMOTE_ADDR", cgiRemoteAddr},
        {"AUTH_TYPE", cgiAuthType},             {"REMOTE_USER", cgiRemoteUser},
        {"REMOTE_IDENT", cgiRemoteIdent},       {"CONTENT_TYPE (media type)", cgiContentType},
        {"boundary", cgiMultipartBoundary},     {"HTTP_ACCEPT", cgiAccept},
        {"HTTP_USER_AGENT", cgiUserAgent},      {"HTTP_REFERER", cgiReferrer},
        {"HTTP_COOKIE", cgiCookie},
    };
    std::fputs("<h2>Environment</h2>\n<table>\n", cgiOut);
    for (const auto &v : env) {
        row("env", v.name);
        cell("value", v.value);
        std::fputs("</tr>\n", cgiOut);
    }
    std::fprintf(cgiOut, "<tr class=\"env\"><th>CONTENT_LENGTH</th><td class=\"value\">%d</td></tr>\n",
                 cgiContentLength);
    std::fputs("</table>\n", cgiOut);
}

// An uploaded file: its first 32 bytes in hexadecimal.
void file(const cgiFormEntry *e) {
    row("file", e->attr);
    cell("filename", e->fileName);
    cell("type", e->contentType);
    std::fprintf(cgiOut, "<td class=\"size\">%d</td><td class=\"head\">", e->valueLength);
    unsigned char head[32];
    std::size_t got = 0;
    if (std::FILE *f = std::fopen(e->tfileName, "rb")) {
        got = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
    }
    for (std::size_t i = 0; i < got; ++i)
        std::fprintf(cgiOut, "%02x", head[i]);
    std::fputs("</td></tr>\n", cgiOut);
}

// Every entry in input order, in one walk of the list: a lookup by name
// starts from the head of the list, so a page built name by name would
// take time quadratic in the number of names a request sends.
void fields() {
    std::fputs("<h2>Fields</h2>\n<table>\n", cgiOut);
    for (const cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        if (*e->tfileName) {
            file(e);
            continue;
        }
        row("field", e->attr);
        cell("value", e->value);
        std::fputs("</tr>\n", cgiOut);
    }
    std::fputs("</table>\n", cgiOut);
}

void cookies() {
    std::fputs("<h2>Cookies</h2>\n<table>\n", cgiOut);
    char **names = nullptr;
    if (cgiCookies(&names) == cgiFormSuccess) {
        static char value[4096];
        for (char **n = names; *n; ++n) {
            cgiCookieString(*n, value, sizeof value);
            row("cookie", *n);
            cell("value", value);
            std::fputs("</tr>\n", cgiOut);
        }
        cgiStringArrayFree(names);
    }
    std::fputs("</table>\n", cgiOut);
}

} // namespace

extern "C" int cgiMain(void) {
    cgiHeaderContentType("text/html; charset=utf-8");
    std::fputs("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Request inspector</title>\n"
               "<style>body{font-family:sans-serif;margin:1em 2em}table{border-collapse:collapse}"
               "th,td{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top;"
               "font-family:monospace;white-space:pre-wrap}th{background:#f3f3f3}</style>\n"
               "</head><body>\n<h1>Request inspector</h1>\n<p><a href=\"/inspect.html\">Back to the form</a></p>\n",
               cgiOut);
    environment();
    fields();
    cookies();
    std::fputs("</body></html>\n", cgiOut);
    return 0;
}
