/* Floor for parsing a multipart/form-data body: what any parser of it must do
 * and nothing more. It reads standard input in 64 KiB blocks, finds each
 * delimiter with memmem (memchr within a short distance), takes a part's name
 * from its header block, leaves a field's value where it lies in the block
 * and writes an uploaded file's content straight from the block to a
 * temporary file (removed at once), in whole 64 KiB writes at 64 KiB file
 * offsets. Then one write() of a header and a count. No stdio, no malloc, no
 * printf. */
#define _GNU_SOURCE /* memmem */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define BLOCK 65536
/* Room before the block for the bytes carried from the last one: they may
 * begin a delimiter (at most 2 + 2 + 70 bytes) or a part's header block. */
#define CARRY 4096

static char buf[CARRY + 2 * BLOCK];
static char *p, *end;
static unsigned long left;

static void fail(void) { _exit(1); }

/* Appends up to `want` bytes of the body to the data at [p, end), first
 * moving the data to just before the block when there is no room for them.
 * Returns the number of bytes read. */
static size_t refill(size_t want) {
    size_t n = (size_t)(end - p);
    if (end + want > buf + sizeof buf) {
        if (n > CARRY)
            fail();
        memmove(buf + CARRY - n, p, n);
        p = buf + CARRY - n;
        end = buf + CARRY;
    }
    if (want > left)
        want = (size_t)left;
    size_t got = 0;
    ssize_t r;
    while (got < want && (r = read(0, end + got, want - got)) > 0)
        got += (size_t)r;
    end += got;
    left -= got;
    return got;
}

/* The first `k` bytes of `nd` in [h, h + n): within a short distance
 * memchr for its first byte, then memmem, whose setup costs more than a
 * small part's whole scan. */
static char *find(char *h, size_t n, const char *nd, size_t k) {
    char *end = h + n, *near = n > 256 ? h + 256 : end;
    while (h + k <= end) {
        if (h >= near)
            return memmem(h, (size_t)(end - h), nd, k);
        char *c = memchr(h, nd[0], (size_t)(near - h));
        if (!c) {
            h = near;
            continue;
        }
        if (c + k <= end && memcmp(c, nd, k) == 0)
            return c;
        h = c + 1;
    }
    return 0;
}

/* Makes at least `need` bytes available at p. */
static void have(size_t need) {
    while ((size_t)(end - p) < need)
        if (!refill(BLOCK))
            fail();
}

int main(void) {
    const char *type = getenv("CONTENT_TYPE"), *cl = getenv("CONTENT_LENGTH");
    const char *b = type ? strstr(type, "boundary=") : 0;
    if (!b || !cl)
        fail();
    char delim[80] = "\r\n--";
    size_t dlen = strlen(b + 9) + 4;
    if (dlen > sizeof delim)
        fail();
    memcpy(delim + 4, b + 9, dlen - 4);
    left = strtoul(cl, 0, 10);

    /* The first delimiter has no CR LF before it: one is put there. */
    p = end = buf + CARRY;
    p -= 2;
    memcpy(p, "\r\n", 2);
    unsigned long fields = 0, files = 0, bytes = 0;
    for (;;) {
        have(dlen + 2);
        p += dlen;
        if (p[0] == '-' && p[1] == '-')
            break;
        char *e;
        while (!(e = find(p, (size_t)(end - p), "\r\n\r\n", 4)))
            if (!refill(BLOCK))
                fail();
        /* The header block: the part's name, and whether it is a file. */
        char *name = find(p, (size_t)(e - p), "name=\"", 6);
        if (!name)
            fail();
        name += 6;
        char *nend = memchr(name, '"', (size_t)(e - name));
        if (!nend)
            fail();
        bytes += (unsigned long)(nend - name);
        int file = find(p, (size_t)(e - p), "filename=\"", 10) != 0;
        p = e + 4;
        char *q;
        if (!file) {
            while (!(q = find(p, (size_t)(end - p), delim, dlen)))
                if (!refill(BLOCK))
                    fail();
            bytes += (unsigned long)(q - p);
            ++fields;
            p = q;
            continue;
        }
        char tmp[] = "/tmp/floorXXXXXX";
        int fd = mkstemp(tmp);
        if (fd < 0)
            fail();
        unlink(tmp);
        /* A block is written once the delimiter can't begin in it: with
         * dlen - 1 bytes more in view. No delimiter begins in the first
         * `seen` bytes at p, so no byte is searched twice but those. */
        size_t seen = 0;
        while (!(q = find(p + seen, (size_t)(end - p) - seen, delim, dlen))) {
            size_t n = (size_t)(end - p);
            seen = n >= dlen ? n - (dlen - 1) : 0;
            if (n >= BLOCK + dlen - 1) {
                if (write(fd, p, BLOCK) != BLOCK)
                    fail();
                p += BLOCK;
                seen -= BLOCK;
                bytes += BLOCK;
            } else if (!refill(BLOCK + dlen - 1 - n)) {
                fail();
            }
        }
        if (q > p && write(fd, p, (size_t)(q - p)) != q - p)
            fail();
        bytes += (unsigned long)(q - p);
        close(fd);
        ++files;
        p = q;
    }

    char answer[128] = "Content-type: text/plain\r\n\r\n";
    size_t n = strlen(answer);
    unsigned long counts[3] = {fields, files, bytes};
    for (int i = 0; i < 3; ++i) {
        char d[24], *s = d + sizeof d;
        do
            *--s = (char)('0' + counts[i] % 10);
        while (counts[i] /= 10);
        memcpy(answer + n, s, (size_t)(d + sizeof d - s));
        n += (size_t)(d + sizeof d - s);
        answer[n++] = i < 2 ? ' ' : '\n';
    }
    write(1, answer, n);
    return 0;
}
