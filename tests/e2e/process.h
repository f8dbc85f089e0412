// Runs a CGI program as the web server does: a fresh process with exactly
// the given environment, the body on standard input, the response read from
// standard output.
#ifndef TESTS_E2E_PROCESS_H
#define TESTS_E2E_PROCESS_H

#include <string>
#include <utility>
#include <vector>

namespace cgitest {

struct Outcome {
    int exitStatus = -1; // 0..255, or -1 when the process did not exit normally
    std::string output;
};

enum class Stdin { Pipe, File };
// Closed: the reading end of the output is closed before the program starts,
// as when the web server's client went away.
enum class Stdout { Pipe, Closed };

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The command line that runs a program built by this tree: through the
// emulator when the programs are built for another machine.
std::vector<std::string> emulated(const std::string &program);

// `fileSizeLimit` >= 0 sets RLIMIT_FSIZE for the program (writes beyond it
// fail with EFBIG instead of raising SIGXFSZ).
Outcome runCgi(const std::string &program, const EnvList &env, const std::string &body = "",
               Stdin how = Stdin::Pipe, long fileSizeLimit = -1, Stdout out = Stdout::Pipe);
// The same with a whole command line, run as it is (a tracer in front of
// the program, say).
Outcome runCgi(const std::vector<std::string> &argv, const EnvList &env,
               const std::string &body = "", Stdin how = Stdin::Pipe, long fileSizeLimit = -1,
               Stdout out = Stdout::Pipe);

// Starts the program with its body read from `bodyFile` and its output
// going to `outFile`; returns its pid without waiting.
int startCgi(const std::string &program, const EnvList &env, const std::string &bodyFile,
             const std::string &outFile);

// Waits for a started program; its exit status, or -1 when it did not exit
// normally.
int waitCgi(int pid);

} // namespace cgitest

#endif // TESTS_E2E_PROCESS_H
