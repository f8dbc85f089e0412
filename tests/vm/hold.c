/* Holds the advisory lock of a directory until it is killed: the guest's
   stand-in for a request that has the device directory locked. */
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char **argv) {
    int fd = argc > 1 ? open(argv[1], O_RDONLY | O_DIRECTORY) : -1;
    if (fd < 0 || flock(fd, LOCK_EX) != 0)
        return 1;
    for (;;)
        pause();
}
