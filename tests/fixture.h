// Drives one request in-process the way the web server does: environment
// variables, a body on cgiIn, the response captured from cgiOut.
#ifndef TESTS_FIXTURE_H
#define TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cgi_internal.h"

namespace cgitest {

// What a test compares of one entry.
struct Field {
    std::string name;
    std::string value; // the first valueLength bytes of value
    bool operator==(const Field &o) const { return name == o.name && value == o.value; }
};
void PrintTo(const Field &f, std::ostream *os);

using Env = std::vector<std::pair<const char *, std::string>>;

class Request : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets exactly these CGI variables (all others unset), runs start-up,
    // puts `body` on cgiIn and runs the parser that the request selects.
    cgiParseResultType start(const Env &env, const std::string &body = "");
    // Parses URL-encoded text directly into the list.
    cgiParseResultType parseText(const std::string &text);
    // Everything written to cgiOut so far.
    std::string output();
    // The entry list as it stands, checking each entry's invariants.
    std::vector<Field> fields();

    FILE *in_ = nullptr;
    FILE *out_ = nullptr;
    char *outBuf_ = nullptr;
    size_t outLen_ = 0;
};

// Every variable the layer reads, for tests that clear the environment.
extern const char *const kCgiVariables[21];

} // namespace cgitest

#endif // TESTS_FIXTURE_H
