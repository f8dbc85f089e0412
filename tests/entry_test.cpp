// Start-up, the content type cut, the choice of parser, release, the
// case-blind comparisons and the response headers.
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "fixture.h"

namespace cgitest {
namespace {

using Entry = Request;

TEST_F(Entry, NoVariablesAtAllGivesEmptyStringsAndParsesNothing) {
    EXPECT_EQ(start({}, "a=1"), cgiParseSuccess);
    char **strings[] = {&cgiServerSoftware, &cgiServerName, &cgiGatewayInterface,
                        &cgiServerProtocol, &cgiServerPort, &cgiRequestMethod,
                        &cgiPathInfo,       &cgiPathTranslated, &cgiScriptName,
                        &cgiQueryString,    &cgiRemoteHost, &cgiRemoteAddr,
                        &cgiAuthType,       &cgiRemoteUser, &cgiRemoteIdent,
                        &cgiContentType,    &cgiAccept,     &cgiUserAgent,
                        &cgiReferrer,       &cgiCookie,     &cgiMultipartBoundary};
    for (char **s : strings) {
        ASSERT_NE(*s, nullptr);
        EXPECT_STREQ(*s, "");
    }
    EXPECT_EQ(cgiContentLength, 0);
    EXPECT_TRUE(fields().empty());
    EXPECT_EQ(std::ftell(cgiIn), 0) << "the body was read though nothing is parsed";
}

TEST_F(Entry, EachVariableLandsInItsGlobal) {
    const std::pair<const char *, char **> rows[] = {
        {"SERVER_SOFTWARE", &cgiServerSoftware}, {"SERVER_NAME", &cgiServerName},
        {"GATEWAY_INTERFACE", &cgiGatewayInterface}, {"SERVER_PROTOCOL", &cgiServerProtocol},
        {"SERVER_PORT", &cgiServerPort},         {"REQUEST_METHOD", &cgiRequestMethod},
        {"PATH_INFO", &cgiPathInfo},             {"PATH_TRANSLATED", &cgiPathTranslated},
        {"SCRIPT_NAME", &cgiScriptName},         {"QUERY_STRING", &cgiQueryString},
        {"REMOTE_HOST", &cgiRemoteHost},         {"REMOTE_ADDR", &cgiRemoteAddr},
        {"AUTH_TYPE", &cgiAuthType},             {"REMOTE_USER", &cgiRemoteUser},
        {"REMOTE_IDENT", &cgiRemoteIdent},       {"CONTENT_TYPE", &cgiContentType},
        {"HTTP_ACCEPT", &cgiAccept},             {"HTTP_USER_AGENT", &cgiUserAgent},
        {"HTTP_REFERER", &cgiReferrer},          {"HTTP_COOKIE", &cgiCookie},
    };
    Env env;
    for (const auto &row : rows)
        env.push_back({row.first, std::string("v-") + row.first});
    ASSERT_EQ(start(env), cgiParseSuccess);
    for (const auto &row : rows)
        EXPECT_EQ(*row.second, std::string("v-") + row.first) << row.first;
}

struct ContentTypeRow {
    const char *label;
    std::string contentType;
    std::string expectType;
    std::string expectBoundary;
};

TEST_F(Entry, ContentTypeIsCutAtTheFirstSemicolonAndTheBoundaryTaken) {
    const ContentTypeRow rows[] = {
        {"parameters dropped", "Application/X-WWW-Form-Urlencoded; charset=UTF-8",
         "Application/X-WWW-Form-Urlencoded", ""},
        {"blank before ';' kept", "text/plain ; charset=x", "text/plain ", ""},
        {"boundary", "multipart/form-data; boundary=----XyZ", "multipart/form-data", "----XyZ"},
        {"prefix without case, blanks skipped, ended by a blank",
         "multipart/form-data;charset=x;  BOUNDARY=abc def", "multipart/form-data", "abc"},
        {"a ';' after the boundary belongs to it", "multipart/form-data; boundary=abc;x=1",
         "multipart/form-data", "abc;x=1"},
        {"quotes kept", "multipart/form-data; boundary=\"q\"", "multipart/form-data", "\"q\""},
        {"only the first boundary counts", "m; boundary=one ; boundary=two", "m", "one"},
        {"empty boundary", "m; boundary=", "m", ""},
        {"near miss", "m; boundary:x; xboundary=y", "m", ""},
        {"no parameters", "multipart/form-data", "multipart/form-data", ""},
        {"tab before the boundary", "m;\tboundary=t", "m", "t"},
        {"cut at 1023 bytes", std::string(2000, 'c'), std::string(1023, 'c'), ""},
        {"1023 bytes kept whole", std::string(1023, 'd'), std::string(1023, 'd'), ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ASSERT_EQ(start({{"CONTENT_TYPE", row.contentType}}), cgiParseSuccess);
        EXPECT_EQ(cgiContentType, row.expectType);
        EXPECT_EQ(cgiMultipartBoundary, row.expectBoundary);
    }
}

TEST_F(Entry, ContentLengthReadsLikeAtoiAndSaturates) {
    const std::pair<const char *, int> rows[] = {
        {"42", 42},         {" \t+7", 7},         {"-5", -5},
        {"abc", 0},         {"", 0},              {"12abc", 12},
        {"2147483647", INT_MAX},                  {"2147483648", INT_MAX},
        {"4294967297", INT_MAX},                  {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},                 {"-99999999999", INT_MIN},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        start({{"CONTENT_LENGTH", row.first}});
        EXPECT_EQ(cgiContentLength, row.second);
    }
}

struct DispatchRow {
    const char *label;
    Env env;
    std::string body;
    cgiParseResultType result;
    std::vector<Field> fields;
};

TEST_F(Entry, DispatchOnMethodAndContentType) {
    const char *form = "application/x-www-form-urlencoded";
    const DispatchRow rows[] = {
        {"POST", {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {{"b", "2"}}},
        {"post", {{"REQUEST_METHOD", "post"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {{"b", "2"}}},
        {"Post with a mixed-case type and charset",
         {{"REQUEST_METHOD", "Post"},
          {"CONTENT_TYPE", "Application/X-WWW-Form-Urlencoded; charset=UTF-8"},
          {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {{"b", "2"}}},
        {"POST ignores its query string",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "3"},
          {"QUERY_STRING", "q=1"}},
         "b=2", cgiParseSuccess, {{"b", "2"}}},
        {"POST reads no more than CONTENT_LENGTH",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "3"}},
         "b=2&c=3", cgiParseSuccess, {{"b", "2"}}},
        {"POST with length 0",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "0"}}, "b=2",
         cgiParseSuccess, {}},
        {"POST body shorter than its length",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "8"}},
         "b=2&c=3", cgiParseIO, {}},
        {"POST with a length beyond int that would wrap to 3",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "4294967299"}},
         "b=2", cgiParseMemory, {}}, // capped, then above the input limit
        {"POST with a negative length",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "-3"}}, "b=2",
         cgiParseMemory, {}},
        {"POST with a blank before ';' parses nothing",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded ; a=b"},
          {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {}},
        {"POST of another type", {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "text/plain"},
                                  {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {}},
        {"POST without a type", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}}, "b=2",
         cgiParseSuccess, {}},
        {"GET", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1&r=2"}}, "", cgiParseSuccess,
         {{"q", "1"}, {"r", "2"}}},
        {"get ignores type and body",
         {{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "q=1"}, {"CONTENT_TYPE", form},
          {"CONTENT_LENGTH", "3"}},
         "b=2", cgiParseSuccess, {{"q", "1"}}},
        {"HEAD parses nothing", {{"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "q=1"}}, "",
         cgiParseSuccess, {}},
        {"PUT parses nothing",
         {{"REQUEST_METHOD", "PUT"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "3"}}, "b=2",
         cgiParseSuccess, {}},
        {"GETS is not GET", {{"REQUEST_METHOD", "GETS"}, {"QUERY_STRING", "q=1"}}, "",
         cgiParseSuccess, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(start(row.env, row.body), row.result);
        EXPECT_EQ(fields(), row.fields);
        cgiFreeResources();
        std::fclose(in_);
        in_ = nullptr;
    }
    EXPECT_EQ(output(), "") << "parsing writes nothing";
}

TEST_F(Entry, GetSetsTheContentLengthToTheQueryLength) {
    start({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "abc=def"}, {"CONTENT_LENGTH", "50"}});
    EXPECT_EQ(cgiContentLength, 7);
}

TEST_F(Entry, ReleaseDeletesTemporaryFilesAndReplayedStrings) {
    char path[] = "/tmp/cgitestXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    char plain[] = "plain";
    // Two entries, one owning a temporary file.
    cgiFormEntry *withFile = cgiNewEntry(cgiPoolStrndup("f", 1), cgiPoolStrndup("", 0), 0);
    ASSERT_NE(withFile, nullptr);
    withFile->tfileName = cgiPoolStrndup(path, std::strlen(path));
    withFile->fileName = cgiPoolStrndup(plain, 5);
    cgiFormEntry *noFile = cgiNewEntry(cgiPoolStrndup("g", 1), cgiPoolStrndup("1", 1), 1);
    ASSERT_NE(noFile, nullptr);
    withFile->next = noFile;
    cgiFormEntryFirst = withFile;
    cgiRestored = 1;
    cgiServerName = cgiPoolStrndup("replayed", 8);
    cgiContentType = cgiPoolStrndup("text/plain", 10);

    cgiFreeResources();
    EXPECT_EQ(access(path, F_OK), -1) << "temporary file left behind";
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
    EXPECT_EQ(cgiRestored, 0);
    EXPECT_EQ(cgiAllocLive(), 0);
    EXPECT_STREQ(cgiServerName, "") << "a released replay string must read as empty";
    EXPECT_STREQ(cgiContentType, "");
    cgiFreeResources(); // a second call does nothing
    EXPECT_EQ(cgiAllocLive(), 0);
}

TEST(Comparisons, IgnoreLetterCaseOnly) {
    struct Row {
        const char *s1, *s2;
        int eq, begins;
    } rows[] = {
        {"", "", 1, 1},           {"post", "POST", 1, 1},     {"POST", "post", 1, 1},
        {"post", "posts", 0, 0},  {"posts", "post", 0, 1},    {"", "a", 0, 0},
        {"abc", "", 0, 1},        {"[", "{", 0, 0},           {"a-b", "A-B", 1, 1},
        {"Boundary=x", "boundary=", 0, 1}, {"\xc4", "\xe4", 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.s1) + " / " + r.s2);
        EXPECT_EQ(cgiStrEqNc(r.s1, r.s2), r.eq);
        EXPECT_EQ(cgiStrBeginsNc(r.s1, r.s2), r.begins);
    }
}

TEST_F(Entry, HeadersCloseTheBlockAndDropLineBreaksFromArguments) {
    cgiHeaderStatus(404, "Not Found");
    EXPECT_EQ(output(), "Status: 404 Not Found\r\n\r\n");
    const std::pair<void (*)(), const char *> rows[] = {
        {[] { cgiHeaderContentType("text/html"); }, "Content-type: text/html\r\n\r\n"},
        {[] { cgiHeaderLocation("/x?a=1"); }, "Location: /x?a=1\r\n\r\n"},
        {[] { cgiHeaderContentType("text/html\r\nSet-Cookie: a=b"); },
         "Content-type: text/htmlSet-Cookie: a=b\r\n\r\n"},
        {[] { cgiHeaderLocation("/\nX: y\r"); }, "Location: /X: y\r\n\r\n"},
        {[] { cgiHeaderStatus(-1, "\r\n\r\nbody"); }, "Status: -1 body\r\n\r\n"},
    };
    for (const auto &row : rows) {
        std::fflush(out_);
        size_t before = outLen_;
        row.first();
        EXPECT_EQ(output().substr(before), row.second);
    }
}

} // namespace
} // namespace cgitest
