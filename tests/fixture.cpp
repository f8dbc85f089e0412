#include "fixture.h"

#include <cstdlib>
#include <cstring>

namespace cgitest {

const char *const kCgiVariables[21] = {
    "SERVER_SOFTWARE", "SERVER_NAME",  "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
    "REQUEST_METHOD",  "PATH_INFO",    "PATH_TRANSLATED",   "SCRIPT_NAME",     "QUERY_STRING",
    "REMOTE_HOST",     "REMOTE_ADDR",  "AUTH_TYPE",         "REMOTE_USER",     "REMOTE_IDENT",
    "CONTENT_TYPE",    "CONTENT_LENGTH", "HTTP_ACCEPT",     "HTTP_USER_AGENT", "HTTP_REFERER",
    "HTTP_COOKIE"};

void PrintTo(const Field &f, std::ostream *os) {
    *os << '{' << ::testing::PrintToString(f.name) << ", " << ::testing::PrintToString(f.value)
        << '}';
}

void Request::SetUp() {
    for (const char *v : kCgiVariables)
        unsetenv(v);
    cgiAllocFailAt(0);
    cgiSetupRequest();
    out_ = open_memstream(&outBuf_, &outLen_);
    ASSERT_NE(out_, nullptr);
    cgiOut = out_;
}

void Request::TearDown() {
    cgiAllocFailAt(0);
    cgiFreeResources();
    EXPECT_EQ(cgiAllocLive(), 0) << "blocks of the layer still allocated after release";
    if (in_)
        std::fclose(in_);
    std::fclose(out_);
    std::free(outBuf_);
    for (const char *v : kCgiVariables)
        unsetenv(v);
    cgiIn = stdin;
    cgiOut = stdout;
}

cgiParseResultType Request::start(const Env &env, const std::string &body) {
    for (const char *v : kCgiVariables)
        unsetenv(v);
    for (const auto &kv : env)
        setenv(kv.first, kv.second.c_str(), 1);
    cgiSetupRequest();
    cgiOut = out_;
    in_ = std::tmpfile();
    EXPECT_NE(in_, nullptr);
    std::fwrite(body.data(), 1, body.size(), in_);
    std::rewind(in_);
    cgiIn = in_;
    return cgiParseRequest();
}

cgiParseResultType Request::parseText(const std::string &text) {
    return cgiParseFormInput(text.data(), static_cast<int>(text.size()));
}

std::string Request::output() {
    std::fflush(out_);
    return std::string(outBuf_, outLen_);
}

std::vector<Field> Request::fields() {
    std::vector<Field> result;
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        EXPECT_NE(e->attr, nullptr);
        EXPECT_NE(e->value, nullptr);
        EXPECT_NE(e->fileName, nullptr);
        EXPECT_NE(e->contentType, nullptr);
        EXPECT_NE(e->tfileName, nullptr);
        EXPECT_GE(e->valueLength, 0);
        result.push_back({e->attr, std::string(e->value, static_cast<size_t>(e->valueLength))});
    }
    return result;
}

} // namespace cgitest
