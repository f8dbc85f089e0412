#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
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

// The environment block of a child: exactly `env`, plus the sanitizer
// settings of the test's own environment.
struct EnvBlock {
    explicit EnvBlock(const EnvList &env);
    std::vector<std::string> strings;
    std::vector<char *> pointers;
};

EnvBlock::EnvBlock(const EnvList &env) {
    for (const auto &kv : env)
        strings.push_back(kv.first + "=" + kv.second);
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = std::getenv(keep))
            strings.push_back(std::string(keep) + "=" + v);
    for (auto &s : strings)
        pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
}

} // namespace

std::vector<std::string> emulated(const std::string &program) {
    std::vector<std::string> out;
#ifdef CGI_EMULATOR
    std::string emulator = CGI_EMULATOR;
    for (size_t at = 0; at < emulator.size();) {
        size_t space = emulator.find(' ', at);
        if (space == std::string::npos)
            space = emulator.size();
        if (space > at)
            out.push_back(emulator.substr(at, space - at));
        at = space + 1;
    }
#ifdef CGI_SYSCALL_LOG
    // One log per process: the emulator puts its pid in place of %d.
    for (const char *word : {"-d", "strace", "-D", CGI_SYSCALL_LOG "/%d.log"})
        out.push_back(word);
#endif
#endif
    out.push_back(program);
    return out;
}

namespace {

// Executes a command line, searching PATH for its first word.
void execute(const std::vector<std::string> &argv, char **envp) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The environment is the program's; the search uses the test's PATH.
    const char *path = std::getenv("PATH");
    if (argv[0].find('/') == std::string::npos && path) {
        std::string dirs = path;
        for (size_t at = 0; at <= dirs.size();) {
            size_t colon = dirs.find(':', at);
            if (colon == std::string::npos)
                colon = dirs.size();
            std::string candidate = dirs.substr(at, colon - at) + "/" + argv[0];
            execve(candidate.c_str(), args.data(), envp);
            at = colon + 1;
        }
    }
    execve(argv[0].c_str(), args.data(), envp);
}

} // namespace

int startCgi(const std::string &program, const EnvList &env, const std::string &bodyFile,
             const std::string &outFile) {
    EnvBlock envp(env);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(bodyFile.c_str(), O_RDONLY);
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        execute(emulated(program), envp.pointers.data());
        _exit(127);
    }
    return pid;
}

int waitCgi(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Outcome runCgi(const std::string &program, const EnvList &env, const std::string &body, Stdin how,
               long fileSizeLimit, Stdout out) {
    return runCgi(emulated(program), env, body, how, fileSizeLimit, out);
}

namespace {

// Under a file-size limit the emulator could not write its system-call log
// (and spins when it tries), so the log goes through a pipe to this process,
// which appends it to the file the emulator would have written.
struct LogRelay {
    int pipe[2] = {-1, -1};
    std::string path; // with %d in place of the pid
    size_t word = 0;  // the argument that names the log

    LogRelay(const std::vector<std::string> &argv, long fileSizeLimit) {
        for (size_t i = 0; fileSizeLimit >= 0 && i + 1 < argv.size(); ++i)
            if (argv[i] == "-D" && argv[i + 1].find("%d") != std::string::npos && ::pipe(pipe) == 0) {
                word = i + 1;
                path = argv[word];
                break;
            }
    }
    bool active() const { return word != 0; }
    // In the child: the log's end of the pipe becomes descriptor 3.
    void redirect(std::vector<std::string> &argv) const {
        close(pipe[0]);
        if (pipe[1] != 3) {
            dup2(pipe[1], 3);
            close(pipe[1]);
        }
        argv[word] = "/dev/fd/3";
    }
    std::string file(pid_t pid) const {
        std::string p = path;
        return p.replace(p.find("%d"), 2, std::to_string(pid));
    }
};

} // namespace

Outcome runCgi(const std::vector<std::string> &argvIn, const EnvList &env, const std::string &body,
               Stdin how, long fileSizeLimit, Stdout out) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv = argvIn;
    LogRelay relay(argv, fileSizeLimit);
    EnvBlock envBlock(env);
    char **envp = envBlock.pointers.data();
    int inPipe[2] = {-1, -1};
    int outPipe[2];
    if (pipe(outPipe) != 0)
        return {};
    if (out == Stdout::Closed) {
        close(outPipe[0]);
        outPipe[0] = -1;
    }
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
        // The program gets the default action of SIGPIPE, as from the web
        // server: the one ignored here would stay ignored across exec.
        std::signal(SIGPIPE, SIG_DFL);
        dup2(inFd, 0);
        dup2(outPipe[1], 1);
        if (outPipe[0] >= 0)
            close(outPipe[0]);
        close(outPipe[1]);
        if (inPipe[1] >= 0)
            close(inPipe[1]);
        if (relay.active())
            relay.redirect(argv);
        if (fileSizeLimit >= 0) {
            // An ignored SIGXFSZ stays ignored across exec.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit lim{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        execute(argv, envp);
        _exit(127);
    }
    close(outPipe[1]);
    close(inFd);
    FILE *log = nullptr;
    if (relay.active()) {
        close(relay.pipe[1]);
        log = fopen(relay.file(pid).c_str(), "a");
    }
    if (how == Stdin::Pipe) {
        writeAll(inPipe[1], body);
        close(inPipe[1]);
    }
    Outcome result;
    char buf[65536];
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {relay.active() ? relay.pipe[0] : -1, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd &p : fds) {
            if (p.fd < 0 || p.revents == 0)
                continue;
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(p.fd);
                p.fd = -1;
            } else if (&p == &fds[0]) {
                result.output.append(buf, static_cast<size_t>(n));
            } else if (log) {
                fwrite(buf, 1, static_cast<size_t>(n), log);
            }
        }
    }
    if (log)
        fclose(log);
    result.exitStatus = waitCgi(pid);
    return result;
}

} // namespace cgitest
