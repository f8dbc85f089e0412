/* greet.cgi: a complete application on the request layer. It reads a form
 * (a name, any number of colours and of pictures), remembers the name in a
 * cookie for a day, and answers in HTML with everything the user sent
 * escaped. */
#include <stdio.h>

#include "cgi.h"

static const char *const colours[] = {"red", "green", "blue"};

int cgiMain(void) {
    char name[64];
    int chosen[3];
    int invalid = 0;
    int pictures = 0;
    int i;

    if (cgiFormString("name", name, sizeof name) != cgiFormSuccess &&
        cgiCookieString("name", name, sizeof name) != cgiFormSuccess)
        snprintf(name, sizeof name, "stranger");
    /* Cookie lines come before the header that ends the header block. */
    cgiHeaderCookieSetString("name", name, 24 * 60 * 60, "/", "");
    cgiHeaderContentType("text/html");

    fputs("<!doctype html>\n<p>Hello, ", cgiOut);
    cgiHtmlEscape(name);
    fputs("!</p>\n<form method=\"post\"><input name=\"name\" value=\"", cgiOut);
    cgiValueEscape(name);
    fputs("\"></form>\n", cgiOut);

    if (cgiFormCheckboxMultiple("colour", colours, 3, chosen, &invalid) == cgiFormSuccess) {
        fputs("<ul>\n", cgiOut);
        for (i = 0; i < 3; i++)
            if (chosen[i])
                fprintf(cgiOut, "<li>%s</li>\n", colours[i]);
        fputs("</ul>\n", cgiOut);
    }
    if (invalid)
        fprintf(cgiOut, "<p>%d unknown colour(s) ignored.</p>\n", invalid);
    /* Pictures come as uploads under one name (multipart/form-data). */
    if (cgiFormFileCount("picture", &pictures) == cgiFormSuccess)
        fprintf(cgiOut, "<p>%d picture(s) received.</p>\n", pictures);
    return 0;
}
