/* Floor for a submit: prints a header and atomically replaces a 500-byte
 * file (temporary file, fsync, rename, fsync of the directory). The file is
 * $FLOOR_FILE. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
    const char *path = getenv("FLOOR_FILE");
    char tmp[4096], dir[4096], text[500];
    if (!path || snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp)
        return 1;
    fputs("Content-type: text/plain\r\n\r\n", stdout);
    memset(text, 'x', sizeof text);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, text, sizeof text) != (ssize_t)sizeof text || fsync(fd) != 0 ||
        close(fd) != 0 || rename(tmp, path) != 0)
        return 1;
    strcpy(dir, path);
    char *slash = strrchr(dir, '/');
    if (slash)
        *slash = '\0';
    int d = open(slash ? dir : ".", O_RDONLY | O_DIRECTORY);
    if (d < 0 || fsync(d) != 0)
        return 1;
    close(d);
    return 0;
}
