/* Floor for the typical submit and view: the same work as sethc.cgi with the
 * least code. It reads the form (a URL-encoded POST body or the query
 * string), the format and output-mode files, locks the device directory,
 * reads the position file, finds the record of the current format and, when
 * the text changes, replaces the file durably (temporary file, fsync,
 * rename, fsync of the directory); then one write() gives the same answer as
 * sethc.cgi. No stdio, no malloc, no printf: what is left is the work itself.
 * It answers the submit (hc_submit, chang, hang) and the view (viewhc) the
 * way sethc.cgi does for formats 2 to 99; of its checks it keeps those a
 * device can meet. The device paths are under SETHC_DEVICE_ROOT, fixed at build time. */
#include <fcntl.h>
#include <stdio.h> /* rename() alone */
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#ifndef SETHC_DEVICE_ROOT
#define SETHC_DEVICE_ROOT ""
#endif
#define DIR SETHC_DEVICE_ROOT "/mnt"

static char answer[2048];
static size_t alen;

static void put(const char *p, size_t n) {
    if (alen + n <= sizeof answer) {
        memcpy(answer + alen, p, n);
        alen += n;
    }
}

static void puts_(const char *s) { put(s, strlen(s)); }

/* Writes v in decimal at o; returns its length. */
static size_t fmtint(char *o, int v) {
    char b[12];
    char *p = b + sizeof b;
    unsigned u = v < 0 ? 0u - (unsigned)v : (unsigned)v;
    do
        *--p = (char)('0' + u % 10);
    while (u /= 10);
    if (v < 0)
        *--p = '-';
    memcpy(o, p, (size_t)(b + sizeof b - p));
    return (size_t)(b + sizeof b - p);
}

static void putint(int v) {
    if (alen + 12 <= sizeof answer)
        alen += fmtint(answer + alen, v);
}

static int decimal(const char *s, const char *end) {
    while (s < end && (*s == ' ' || (*s >= '\t' && *s <= '\r')))
        ++s;
    int neg = s < end && *s == '-';
    if (s < end && (*s == '-' || *s == '+'))
        ++s;
    long v = 0;
    for (; s < end && *s >= '0' && *s <= '9' && v < 100000000; ++s)
        v = v * 10 + (*s - '0');
    return (int)(neg ? -v : v);
}

static size_t readfd(int fd, char *buf, size_t max) {
    size_t got = 0;
    ssize_t n;
    while (got < max && (n = read(fd, buf + got, max - got)) > 0)
        got += (size_t)n;
    return got;
}

static long readall(const char *path, int flags, char *buf, size_t max) {
    int fd = open(path, flags, 0666);
    if (fd < 0)
        return -1;
    size_t got = readfd(fd, buf, max);
    close(fd);
    return (long)got;
}

static int hex(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

/* Decodes [p, end) in place; returns the decoded end. */
static char *decode(char *p, char *end) {
    char *o = p;
    for (; p < end; ++p) {
        if (*p == '+')
            *o++ = ' ';
        else if (*p == '%' && end - p > 2) {
            *o++ = (char)(hex(p[1]) << 4 | hex(p[2]));
            p += 2;
        } else
            *o++ = *p;
    }
    return o;
}

static void finish(void) {
    write(1, answer, alen);
    _exit(0);
}

static void fail(const char *why) {
    puts_(why);
    finish();
}

/* The store: reports the record of the current format, applies the change
 * and rewrites the position file when its text changes. */
static void store(int dv, int dh, int view) {
    static char text[1004], out[1024];
    char key[5] = "0900";
    long n = readall(DIR "/format.ini", O_RDONLY | O_CREAT, text, 999);
    if (n < 0)
        fail("Can't open file\n");
    text[n] = 0;
    int format = 0;
    const char *space = strrchr(text, ' ');
    if (space) {
        strncpy(key, space + 1, 4);
        format = decimal(key, key + strlen(key));
    }
    n = readall(DIR "/tz582.ini", O_RDONLY, text, 999);
    int mode = n < 0 ? 0 : decimal(text, text + n);
    const char *path = mode == 1 || mode == 2 ? DIR "/config.dvi.ini" : DIR "/config.ini";
    const char *tmp = mode == 1 || mode == 2 ? DIR "/config.dvi.ini.tmp" : DIR "/config.ini.tmp";

    int dir = open(DIR, O_RDONLY | O_DIRECTORY);
    if (dir < 0 || flock(dir, LOCK_EX) != 0)
        fail("Can't open file\n");
    long got = readall(path, O_RDONLY | O_CREAT, text, 1000);
    if (got < 0)
        fail("Can't open file\n");
    if (got >= 1000)
        fail("error,file too big!");
    memset(text + got, 0, 4);

    /* The last record of the format: a line break, the key, a comma. */
    size_t keylen = format >= 10 ? 2 : 1, head = 0, tail = 0;
    int v = 0, h = 0, found = 0, shaped = 0;
    for (long i = 0; i < got; ++i) {
        if ((text[i] == '\n' || text[i] == '\r') && text[i + 1] == key[0] &&
            (keylen == 1 || text[i + 2] == key[1]) && text[i + 1 + keylen] == ',') {
            const char *s = text + i + keylen + 2, *e = s, *comma = 0;
            for (; e < text + got && *e != '\n' && *e != '\r'; ++e)
                if (*e == ',')
                    comma = e;
            shaped = comma && comma < e;
            if (shaped) {
                v = decimal(s, comma);
                h = decimal(comma + 1, e);
            }
            head = (size_t)i;
            tail = (size_t)(e - text) + (e < text + got);
            found = 1;
        }
    }
    puts_("\ncurrent:\nformat=");
    putint(format);
    puts_(" V=");
    putint(v);
    puts_(",H=");
    putint(h);
    puts_("\n");
    v = v + dv < 0 ? 0 : v + dv;
    h = h + dh < 0 ? 0 : h + dh;
    if (v > 512 || h > 512)
        fail("error,out of range!");
    if (!found)
        fail("error,no record!");
    if (!shaped)
        fail("error,bad record!");

    memcpy(out, text, head);
    size_t k = head;
    out[k++] = '\n';
    k += fmtint(out + k, format);
    out[k++] = ',';
    k += fmtint(out + k, v);
    out[k++] = ',';
    k += fmtint(out + k, h);
    out[k++] = '\n';
    if (format != 41) {
        memcpy(out + k, text + tail, (size_t)got - tail);
        k += (size_t)got - tail;
    }

    if (k != (size_t)got || memcmp(out, text, k) != 0) {
        int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, out, k) != (ssize_t)k || fsync(fd) != 0 || close(fd) != 0 ||
            rename(tmp, path) != 0 || fsync(dir) != 0)
            fail("Can't write file\n");
    }
    if (view)
        return;
    puts_("\nmodify:\nformat=");
    putint(format);
    puts_(" V=");
    putint(v);
    puts_(",H=");
    putint(h);
    puts_("\n\nset ok\n");
}

extern char **environ;

int main(void) {
    static char body[4096];
    char *form = 0, *end, *method = 0, *type = 0, *cl = 0;
    /* The environment in one pass. */
    for (char **e = environ; *e; ++e) {
        char *v = *e;
        if (v[0] == 'Q' && strncmp(v, "QUERY_STRING=", 13) == 0)
            form = v + 13;
        else if (v[0] == 'R' && strncmp(v, "REQUEST_METHOD=", 15) == 0)
            method = v + 15;
        else if (v[0] == 'C' && strncmp(v, "CONTENT_TYPE=", 13) == 0)
            type = v + 13;
        else if (v[0] == 'C' && strncmp(v, "CONTENT_LENGTH=", 15) == 0)
            cl = v + 15;
    }
    if (method && strcmp(method, "POST") == 0) {
        if (!type || strlen(type) < 33 || memcmp(type, "application/x-www-form-urlencoded", 33) != 0 || !cl)
            return 1;
        size_t want = (size_t)atol(cl);
        form = body;
        end = body + readfd(0, body, want < sizeof body ? want : sizeof body);
    } else {
        if (!form)
            form = body;
        end = form + strlen(form);
    }
    puts_("Content-type: text/plain\r\n\r\n");

    char *vtext = 0, *vend = 0, *htext = 0, *hend = 0;
    int submit = 0, view = 0;
    for (char *p = form; p < end;) {
        char *amp = memchr(p, '&', (size_t)(end - p));
        if (!amp)
            amp = end;
        char *eq = memchr(p, '=', (size_t)(amp - p));
        char *nend = decode(p, eq ? eq : amp);
        char *val = eq ? eq + 1 : amp, *vlast = decode(val, amp);
        size_t nlen = (size_t)(nend - p);
        if (nlen == 9 && memcmp(p, "hc_submit", 9) == 0)
            submit = 1;
        else if (nlen == 6 && memcmp(p, "viewhc", 6) == 0)
            view = 1;
        else if (nlen == 5 && memcmp(p, "chang", 5) == 0)
            vtext = val, vend = vlast;
        else if (nlen == 4 && memcmp(p, "hang", 4) == 0)
            htext = val, hend = vlast;
        p = amp + 1;
    }
    if (submit && vtext && htext) {
        if (vtext == vend || htext == hend) {
            puts_("input empty");
        } else {
            puts_("add V=");
            put(vtext, (size_t)(vend - vtext));
            puts_(",H=");
            put(htext, (size_t)(hend - htext));
            puts_("\n");
            store(decimal(vtext, vend), decimal(htext, hend), 0);
        }
    }
    if (view)
        store(0, 0, 1);
    finish();
}
