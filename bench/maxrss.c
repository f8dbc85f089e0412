/* Runs a program (same environment, standard input and output) and prints
 * its peak resident memory in KiB on standard error. Being small and
 * static, it keeps its own memory out of the child's figure, which starts
 * from the memory of the process that forked it. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0)
        return 1;
    fprintf(stderr, "%ld\n", ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
