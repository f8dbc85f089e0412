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

Outcome runCgi(const std::string &program,
               const std::vector<std::pair<std::string, std::string>> &env,
               const std::string &body = "", Stdin how = Stdin::Pipe);

} // namespace cgitest

#endif // TESTS_E2E_PROCESS_H
