/* upload.cgi: several files under one name. A POST of its form sends any
 * number of files as "files"; each is read whole, its name, type and size
 * go to the server's log, and the answer is a 303 to the form again, with a
 * session cookie that says what came. A POST without a file gets a 400
 * page. A GET shows the form and what the cookie says. */
#include <stdio.h>
#include <string.h>

#include "cgi.h"

int cgiMain(void) {
    char name[256], type[128], sent[64], buffer[4096];
    int count = 0, size = 0, got, i;
    long total = 0;
    cgiFilePtr file;

    if (strcmp(cgiRequestMethod, "POST") != 0) {
        cgiHeaderContentType("text/html");
        fputs("<!doctype html>\n<form method=\"post\" enctype=\"multipart/form-data\">"
              "<input type=\"file\" name=\"files\" multiple><button>Send</button></form>\n",
              cgiOut);
        if (cgiCookieString("sent", sent, sizeof sent) == cgiFormSuccess) {
            fputs("<p>Last sent: ", cgiOut);
            cgiHtmlEscape(sent);
            fputs("</p>\n", cgiOut);
        }
        return 0;
    }
    if (cgiFormFileCount("files", &count) != cgiFormSuccess) {
        cgiHeaderStatusLine(400, "Bad Request");
        cgiHeaderContentType("text/html");
        fputs("<!doctype html>\n<p>No file was sent.</p>\n", cgiOut);
        return 0;
    }
    for (i = 0; i < count; i++) {
        cgiFormFileNameAt("files", i, name, sizeof name);
        if (cgiFormFileContentTypeAt("files", i, type, sizeof type) != cgiFormSuccess)
            strcpy(type, "no type");
        cgiFormFileSizeAt("files", i, &size);
        if (cgiFormFileOpenAt("files", i, &file) != cgiFormSuccess)
            return 1; /* the server answers 500 */
        while (cgiFormFileRead(file, buffer, sizeof buffer, &got) == cgiFormSuccess)
            total += got;
        cgiFormFileClose(file);
        fprintf(stderr, "upload.cgi: %s (%s), %d bytes\n", name, type, size);
    }
    sprintf(sent, "%d-files-%ld-bytes", count, total);
    cgiHeaderStatusLine(303, "See Other");
    cgiHeaderCookieSet("sent", sent, -1, "/", NULL, cgiCookieHttpOnly | cgiCookieSameSiteLax);
    cgiHeaderLocation(cgiScriptName);
    return 0;
}
