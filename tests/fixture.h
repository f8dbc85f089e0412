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

// The strings of a string array, in order.
inline std::vector<std::string> strings(char **a) {
    std::vector<std::string> out;
    for (char **p = a; *p; ++p)
        out.push_back(*p);
    return out;
}

// Every variable the layer reads, for tests that clear the environment.
extern const char *const kCgiVariables[21];

// Fails the 1st, 2nd, ... allocation of `parse` until it succeeds. Each
// failing step must return cgiParseMemory and leave only complete entries, a
// prefix of `all` as `snapshot` sees them; `release` runs after every step,
// which must then leave nothing allocated. Returns the failing steps.
template <typename T, typename Parse, typename Snapshot, typename Release>
int sweepAllocations(const std::vector<T> &all, Parse parse, Snapshot snapshot, Release release) {
    int failures = 0;
    for (long n = 1; n < 1000; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        cgiAllocFailAt(n);
        cgiParseResultType r = parse();
        cgiAllocFailAt(0);
        std::vector<T> got = snapshot();
        EXPECT_LE(got.size(), all.size());
        EXPECT_TRUE(got.size() <= all.size() && std::equal(got.begin(), got.end(), all.begin()));
        release();
        EXPECT_EQ(cgiAllocLive(), 0);
        if (r == cgiParseSuccess) {
            EXPECT_EQ(got, all);
            return failures;
        }
        EXPECT_EQ(r, cgiParseMemory);
        if (r != cgiParseMemory)
            return failures;
        ++failures;
    }
    ADD_FAILURE() << "the parse never succeeds";
    return failures;
}

} // namespace cgitest

#endif // TESTS_FIXTURE_H
