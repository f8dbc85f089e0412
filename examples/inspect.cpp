// inspect.cgi: the request inspector. It answers any request with an HTML
// page of what the layer made of it: every environment value, every field
// with all its values, every uploaded file, several of one name included
// (name, content type, size and its first bytes), and every cookie, all
// escaped.
#include <cstdio>

#include "cgi.h"

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

// The `index`-th upload of `name`: its first 32 bytes in hexadecimal.
void file(const char *name, int index) {
    static char text[1024];
    row("file", name);
    cgiFormFileNameAt(name, index, text, sizeof text);
    cell("filename", text);
    cgiFormFileContentTypeAt(name, index, text, sizeof text);
    cell("type", text);
    int size = 0;
    cgiFormFileSizeAt(name, index, &size);
    std::fprintf(cgiOut, "<td class=\"size\">%d</td><td class=\"head\">", size);
    cgiFilePtr f = nullptr;
    if (cgiFormFileOpenAt(name, index, &f) == cgiFormSuccess) {
        unsigned char head[32];
        int got = 0;
        if (cgiFormFileRead(f, reinterpret_cast<char *>(head), sizeof head, &got) == cgiFormSuccess)
            for (int i = 0; i < got; ++i)
                std::fprintf(cgiOut, "%02x", head[i]);
        cgiFormFileClose(f);
    }
    std::fputs("</td></tr>\n", cgiOut);
}

// Every field, name by name in the order the names first came: all its
// uploads, then its other values (line breaks as LF). An upload's value is
// empty: the first empty values of a name, as many as it has uploads, are
// taken for theirs (an empty value sent among uploads may show in the place
// of one of them).
void fields() {
    std::fputs("<h2>Fields</h2>\n<table>\n", cgiOut);
    char **names = nullptr;
    if (cgiFormEntries(&names) == cgiFormSuccess) {
        for (char **name = names; *name; ++name) {
            char **values = nullptr;
            if (cgiFormStringMultiple(*name, &values) == cgiFormMemory)
                break;
            int uploads = 0;
            cgiFormFileCount(*name, &uploads);
            for (int i = 0; i < uploads; ++i)
                file(*name, i);
            for (char **value = values; *value; ++value) {
                if (!**value && uploads > 0) {
                    --uploads;
                    continue;
                }
                row("field", *name);
                cell("value", *value);
                std::fputs("</tr>\n", cgiOut);
            }
            cgiStringArrayFree(values);
        }
        cgiStringArrayFree(names);
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
