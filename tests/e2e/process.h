// Runs a CGI program as the web server does: a fresh process with exactly
// the given environment, the body on standard input, the response read from
// standard output. Every run fails the test when the program leaves a file
// of the layer (an upload) in /tmp.
#ifndef TESTS_E2E_PROCESS_H
#define TESTS_E2E_PROCESS_H

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <iterator>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support.h"

namespace cgitest {

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct Call {
    std::vector<std::string> argv; // command(program), or a tracer in front of it
    EnvList env;
    std::string body = "";
    long fileSizeLimit = -1;  // RLIMIT_FSIZE: writes beyond it fail with EFBIG
    bool clientGone = false;  // the output has no reader from the start
    gid_t webGroup = 0;       // not 0, and the tests run as root: as the user 4321 in this group
    bool readOnlyTmp = false; // only where privateTmp()
    // Not 0: the client stalls after the body, and once `stallFiles` uploads have their files the program
    // gets this signal; a negative one is the same signal, which the program inherits ignored.
    int stallSignal = 0;
    int stallFiles = 0;
};

// The exit status, or minus the signal that ended the process (256: neither).
// errors: its standard error.
struct Outcome { int exitStatus = 256; std::string output, errors; };

// A started program: its output and standard error, the relay of the
// emulator's log, its /tmp.
struct Child { pid_t pid = -1; int out = -1, errors = -1; FILE *log = nullptr; std::string tmp; std::vector<std::string> before; };

// The command line of a program: through the emulator, if there is one.
inline std::vector<std::string> command(const std::string &program) {
    std::istringstream emulator(CGI_EMULATOR);
    std::vector<std::string> words(std::istream_iterator<std::string>(emulator), {});
    words.push_back(program);
    return words;
}

// Whether `argv` runs with a /tmp of its own, a private mount, which the run
// then inspects; elsewhere it looks for new /tmp/cgic* files. What lies in
// /tmp (a program, the emulator's log, this build's device directory) would
// be hidden there.
inline bool privateTmp(const std::vector<std::string> &argv) {
    static const bool works = geteuid() == 0 && std::system("unshare -m true 2>/dev/null") == 0;
    auto inTmp = [](const std::string &path) { return path.rfind("/tmp/", 0) == 0; };
    return works && std::none_of(argv.begin(), argv.end(), inTmp) &&
           !inTmp(std::filesystem::read_symlink("/proc/self/exe"));
}

// Starts the program and writes the body; the program reads while the pipe
// fills.
inline Child start(const Call &r) {
    std::signal(SIGPIPE, SIG_IGN);
    Child c;
    std::vector<std::string> argv = r.argv;
    // Beside the device directory, so that a run killed midway leaves nothing in /tmp.
    std::string dir = SETHC_TEST_ROOT "-tmp.XXXXXX";
    if (privateTmp(argv) && mkdtemp(&dir[0]) && chmod(dir.c_str(), 01777) == 0)
        c.tmp = dir;
    else
        c.before = tmpFiles("/tmp");
    // Under a file-size limit the emulator can't write its system-call log
    // (and spins trying), nor can another user create it: then the log goes
    // through a pipe to a file of its own.
    const long logWord = std::find(argv.begin(), argv.end(), "-D") - argv.begin() + 1;
    if (logWord < static_cast<long>(argv.size()) && (r.fileSizeLimit >= 0 || r.webGroup)) {
        static int relayed = 0;
        std::string file = std::exchange(argv[logWord], "/dev/fd/3");
        file.replace(file.find("%d"), 2, "relay" + std::to_string(getpid()) + "." + std::to_string(++relayed));
        c.log = popen(("cat >> '" + file + "'").c_str(), "w"); // not closed on exec: it may be 3
    }
    // Standard error is read after the output: its pipe holds what a
    // sanitizer's report may need (a file would meet the file-size limit).
    int in[2] = {-1, -1}, out[2] = {-1, -1}, errors[2] = {-1, -1};
    std::vector<char *> args(argv.size() + 1);
    std::transform(argv.begin(), argv.end(), args.begin(), [](std::string &s) { return &s[0]; });
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0)
        return c;
    fcntl(errors[0], F_SETPIPE_SZ, 1 << 20);
    if (r.clientGone)
        close(std::exchange(out[0], -1));
    if ((c.pid = fork()) == 0) {
        // The program starts as from the web server: exactly its environment
        // (and the sanitizers' settings), the default action of SIGPIPE and
        // of the signals that end a request. An ignored signal (SIGXFSZ, for
        // the file-size limit) stays ignored.
        EnvList env = r.env;
        for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char *v = std::getenv(keep))
                env.push_back({keep, v});
        clearenv();
        for (const auto &kv : env)
            setenv(kv.first.c_str(), kv.second.c_str(), 0);
        for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM})
            std::signal(sig, sig == -r.stallSignal ? SIG_IGN : SIG_DFL);
        const rlimit lim{static_cast<rlim_t>(r.fileSizeLimit), static_cast<rlim_t>(r.fileSizeLimit)};
        if (dup2(in[0], 0) == 0 && dup2(out[1], 1) == 1 && dup2(errors[1], 2) == 2 && (!c.log || dup2(fileno(c.log), 3) == 3) &&
            (r.fileSizeLimit < 0 || (std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && !setrlimit(RLIMIT_FSIZE, &lim))) &&
            (c.tmp.empty() ||
             (!unshare(CLONE_NEWNS) && !mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) &&
              !mount(dir.c_str(), "/tmp", nullptr, MS_BIND, nullptr) &&
              (!r.readOnlyTmp || !mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)))) &&
            (!r.webGroup || geteuid() != 0 ||
             ((!c.log || !fchown(3, 4321, 4321)) && !setgroups(1, &r.webGroup) && !setgid(4321) && !setuid(4321))))
            execvp(args[0], args.data()); // with no PATH, the system's default search
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    close(errors[1]);
    c.errors = errors[0];
    spit("/dev/fd/" + std::to_string(in[1]), r.body); // when the program stops reading, the rest is lost
    int tenths = 0;
    while (tmpFiles(c.tmp.empty() ? "/tmp" : c.tmp).size() < c.before.size() + r.stallFiles && ++tenths < 600)
        usleep(100000);
    // Without the files no signal: the body then ends short, which no row that
    // sends one expects. Never to -1 (every process); signal 0 sends nothing.
    if (c.pid > 0 && tenths < 600)
        kill(c.pid, std::abs(r.stallSignal));
    close(in[1]);
    c.out = out[0];
    return c;
}

// Reads the output to its end and waits for the program.
inline Outcome finish(Child c) {
    Outcome result{256, slurp("/dev/fd/" + std::to_string(c.out)), ""};
    close(c.out);
    if (c.log)
        pclose(c.log);
    int st = 0;
    // Of the exit status and the signal that ended the process, one is 0.
    result.exitStatus = c.pid > 0 && waitpid(c.pid, &st, 0) == c.pid ? WEXITSTATUS(st) - WTERMSIG(st) : 256;
    // Passed on as well, so that a sanitizer's report still shows.
    result.errors = slurp("/dev/fd/" + std::to_string(c.errors));
    close(c.errors);
    std::fputs(result.errors.c_str(), stderr);
    for (const auto &path : tmpFiles(c.tmp.empty() ? "/tmp" : c.tmp))
        if (!std::binary_search(c.before.begin(), c.before.end(), path))
            ADD_FAILURE() << "left in /tmp: " << std::filesystem::path(path).filename().string();
    if (!c.tmp.empty())
        std::filesystem::remove_all(c.tmp);
    return result;
}

inline Outcome run(const Call &r) { return finish(start(r)); }

} // namespace cgitest

// The end-to-end tests are written in terms of these helpers alone.
using namespace cgitest;

#endif // TESTS_E2E_PROCESS_H
