// Drives one request in-process the way the web server does: environment
// variables, a body on cgiIn, the response captured from cgiOut.
#ifndef TESTS_FIXTURE_H
#define TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include "support.h"

namespace cgitest {

// Every test's temporary files go to a directory of its process.
inline const std::string kTempDir = privateTempDir();

// The twenty string variables of a request, in the order of the globals in
// cgiEnvironmentStrings.
inline const char *const kVariables[20] = {
    "SERVER_SOFTWARE", "SERVER_NAME", "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT", "REQUEST_METHOD",
    "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_NAME", "QUERY_STRING", "REMOTE_HOST", "REMOTE_ADDR", "AUTH_TYPE",
    "REMOTE_USER", "REMOTE_IDENT", "CONTENT_TYPE", "HTTP_ACCEPT", "HTTP_USER_AGENT", "HTTP_REFERER", "HTTP_COOKIE"};

inline void PrintTo(const Field &f, std::ostream *os) {
    const std::string file = f.file.size() > 64 ? std::to_string(f.file.size()) + " bytes" : f.file;
    *os << ::testing::PrintToString(std::vector<std::string>{f.name, f.value, f.fileName, f.contentType, file});
}

using Env = std::vector<std::pair<const char *, std::string>>;
using Parsed = std::pair<cgiParseResultType, std::vector<Field>>;

class Request : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void TearDown() override {
        cgiAllocFailAt(0);
        cgiFreeResources();
        EXPECT_EQ(cgiAllocLive(), 0) << "blocks of the layer still allocated after release";
        EXPECT_EQ(tmpFiles(kTempDir), std::vector<std::string>()) << "temporary files left behind";
        start({}); // unsets the variables
        std::fclose(std::exchange(cgiIn, stdin));
        std::fclose(std::exchange(cgiOut, stdout));
        std::free(outBuf_);
    }
    // Sets exactly these CGI variables (all others unset), runs start-up,
    // puts `body` on cgiIn and runs the parser that the request selects.
    cgiParseResultType start(const Env &env, const std::string &body = "") {
        for (const char *v : kVariables)
            unsetenv(v);
        unsetenv("CONTENT_LENGTH");
        for (const auto &kv : env)
            setenv(kv.first, kv.second.c_str(), 1);
        cgiSetupRequest();
        cgiOut = out_ ? out_ : (out_ = open_memstream(&outBuf_, &outLen_));
        if (in_)
            std::fclose(in_);
        in_ = feed(body);
        return cgiParseRequest();
    }
    // A POST of `body` whose CONTENT_LENGTH announces `owed` bytes more.
    cgiParseResultType post(const std::string &body, long long owed = 0,
                            const std::string &type = "multipart/form-data; boundary=XyZ", Env env = {}) {
        env.insert(env.end(), {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type},
                               {"CONTENT_LENGTH", std::to_string(body.size() + owed)}});
        return start(env, body);
    }
    // A multipart request with uploads (one of them big_, two under "f",
    // two after a value under "mix"), a value holding a NUL, a cookie and a
    // server name.
    void postUploads() {
        for (int i = 0; i < 20000; ++i)
            big_ += static_cast<char>(i * 31 + i / 256);
        ASSERT_EQ(post(field("f", "first", "; filename=\"abcdefghij\"", "image/png") + field("f", "2", "; filename=2") +
                           field("big", big_, "; filename=big.bin", "application/octet-stream") +
                           field("zero", "", "; filename=zero.txt") + field("text", "plain", "", "text/plain") +
                           field("nul", std::string("a\0b", 3)) + field("untyped", "x") + field("mix", "v") +
                           field("mix", "one", "; filename=m") + field("mix", "four", "; filename=n") + kEnd,
                       0, "multipart/form-data; boundary=XyZ", {{"HTTP_COOKIE", "c=1"}, {"SERVER_NAME", "device"}}),
                  cgiParseSuccess);
    }
    cgiParseResultType parseText(const std::string &text) {
        return cgiParseFormInput(text.data(), static_cast<int>(text.size()));
    }
    // A parse's result and the entries it left, which are then released.
    static Parsed parsed(cgiParseResultType r) {
        Parsed out{r, snapshot()};
        cgiFreeResources();
        return out;
    }
    // `body` on cgiIn for the multipart stream s_, over `length` bytes (-1: all).
    void stream(const std::string &body, int length = -1, const char *boundary = "XyZ") {
        start({}, body);
        cgiContentLength = length < 0 ? static_cast<int>(body.size()) : length;
        cgiMultipartBoundary = &(boundary_ = boundary)[0];
        mpInit(&s_);
    }
    // Up to `n` bytes from s_.
    std::string read(int n) {
        std::string out(static_cast<size_t>(n), '\0');
        return out.substr(0, static_cast<size_t>(std::max(mpRead(&s_, &out[0], n), 0)));
    }
    // Scans s_ to the next boundary into memory: the part's body, or "#fail".
    std::string scan(int first, cgiParseResultType expect = cgiParseSuccess) {
        char *out = reinterpret_cast<char *>(1);
        int len = -1;
        EXPECT_EQ(afterNextBoundary(&s_, -1, &out, &len, first), expect);
        EXPECT_TRUE(expect == cgiParseSuccess ? out && !out[len] : !out && !len);
        return expect == cgiParseSuccess ? std::string(out, static_cast<size_t>(len)) : "#fail";
    }
    // What went to cgiOut since the last call.
    std::string fresh() {
        std::fflush(out_);
        const size_t from = std::exchange(seen_, outLen_);
        return std::string(outBuf_ + from, outLen_ - from);
    }

    FILE *in_ = nullptr, *out_ = nullptr;
    char *outBuf_ = nullptr;
    size_t outLen_ = 0, seen_ = 0;
    std::string big_, boundary_;
    mpStream s_;
};

// The strings of a string array, in order (none for a null array).
inline std::vector<std::string> strings(char **a) {
    std::vector<std::string> out;
    for (char **p = a; p && *p; ++p)
        out.push_back(*p);
    return out;
}

// Runs `run` once whole, then fails its 1st, 2nd, ... allocation until it
// returns `ok` again. Each failing step must return one of `failures` and
// leave a prefix of what the whole run left, as `snap` sees it; after
// `release`, exactly the blocks live before the sweep may be. Returns the
// number of failing steps.
template <typename R, typename Run, typename Snap, typename Release>
int sweep(R ok, std::initializer_list<R> failures, Run run, Snap snap, Release release) {
    const long base = cgiAllocLive();
    EXPECT_EQ(run(), ok) << "without failures";
    const auto all = snap();
    release();
    for (long n = 1;; ++n) {
        cgiAllocFailAt(n);
        const R r = run();
        cgiAllocFailAt(0);
        const auto got = snap();
        release();
        EXPECT_EQ(cgiAllocLive(), base) << "failing allocation " << n;
        EXPECT_TRUE(got.size() <= all.size() && std::equal(got.begin(), got.end(), all.begin()))
            << "failing allocation " << n << " left " << testing::PrintToString(got);
        if (r == ok || std::find(failures.begin(), failures.end(), r) == failures.end() || n == 1000) {
            EXPECT_TRUE(r == ok && got == all && n > 1) << "failing allocation " << n << " ends the sweep with " << r;
            return static_cast<int>(n - 1);
        }
    }
}

// What an array builder returns and the strings of its array, which is
// there even when empty. Then its allocations are swept: a failing one
// returns cgiFormMemory and leaves the array null (an array left on failure
// would stay allocated).
template <typename Build>
std::pair<cgiFormResultType, std::vector<std::string>> buildArray(Build build) {
    char **a = nullptr;
    cgiFormResultType r = build(&a);
    EXPECT_TRUE(a) << "no array";
    const auto whole = std::make_pair(r, strings(a));
    auto release = [&] {
        EXPECT_TRUE(r != cgiFormMemory || !a) << "an array left after a failure";
        if (a)
            cgiStringArrayFree(std::exchange(a, nullptr));
    };
    release();
    sweep(r, {cgiFormMemory}, [&] { return r = build(&a); }, [&] { return strings(a); }, release);
    return whole;
}

} // namespace cgitest

// The unit tests are written in terms of these helpers alone.
using namespace cgitest;

#endif // TESTS_FIXTURE_H
