#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cgitest {

namespace {

void writeAll(int fd, const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the program stopped reading: what it got is its business
        done += static_cast<size_t>(n);
    }
}

} // namespace

Outcome runCgi(const std::string &program,
               const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &body, Stdin how) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> envStrings;
    for (const auto &kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    // Sanitizer settings travel with the test's own environment.
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = std::getenv(keep))
            envStrings.push_back(std::string(keep) + "=" + v);
    std::vector<char *> envp;
    for (auto &s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    int inPipe[2] = {-1, -1};
    int outPipe[2];
    if (pipe(outPipe) != 0)
        return {};
    int inFd = -1;
    if (how == Stdin::Pipe) {
        if (pipe(inPipe) != 0)
            return {};
        inFd = inPipe[0];
    } else {
        char path[] = "/tmp/cgibodyXXXXXX";
        inFd = mkstemp(path);
        unlink(path);
        writeAll(inFd, body);
        lseek(inFd, 0, SEEK_SET);
    }

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inFd, 0);
        dup2(outPipe[1], 1);
        close(outPipe[0]);
        close(outPipe[1]);
        if (inPipe[1] >= 0)
            close(inPipe[1]);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(inFd);
    if (how == Stdin::Pipe) {
        writeAll(inPipe[1], body);
        close(inPipe[1]);
    }
    Outcome result;
    char buf[65536];
    ssize_t n;
    while ((n = read(outPipe[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        result.output.append(buf, static_cast<size_t>(n));
    }
    close(outPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace cgitest
