/* Floor for moving the body: copies CONTENT_LENGTH bytes of standard input to
 * a temporary file with large reads and writes, then prints a header. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(void) {
    const char *cl = getenv("CONTENT_LENGTH");
    long left = cl ? atol(cl) : 0;
    char path[] = "/tmp/floorXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return 1;
    unlink(path);
    static char buf[1 << 16];
    while (left > 0) {
        ssize_t n = read(0, buf, left < (long)sizeof buf ? (size_t)left : sizeof buf);
        if (n <= 0)
            return 1;
        if (write(fd, buf, (size_t)n) != n)
            return 1;
        left -= n;
    }
    close(fd);
    fputs("Content-type: text/plain\r\n\r\n", stdout);
    return 0;
}
