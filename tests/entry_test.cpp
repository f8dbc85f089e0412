// Start-up, the content type cut and the choice of parser, the case-blind
// comparisons and the response headers.
#include "fixture.h"

using Entry = Request;

// The globals are read through cgiEnvironmentStrings, which holds them in
// the order of kVariables.
TEST_F(Entry, EachVariableLandsInItsGlobalAndUnsetOnesAreEmpty) {
    Env env;
    for (int i = 0; i < 20; ++i) {
        EXPECT_STREQ(*cgiEnvironmentStrings[i], "") << kVariables[i];
        env.push_back({kVariables[i], std::string("v-") + kVariables[i]});
    }
    EXPECT_TRUE(!*cgiMultipartBoundary && !cgiContentLength);
    ASSERT_EQ(start(env), cgiParseSuccess);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(*cgiEnvironmentStrings[i], env[i].second);
    EXPECT_EQ(std::string(cgiServerSoftware) + cgiCookie, "v-SERVER_SOFTWAREv-HTTP_COOKIE");
}

TEST_F(Entry, DispatchOnMethodAndContentType) {
    const std::string form = "application/x-www-form-urlencoded";
    auto env = [](const char *method, const std::string &type, const std::string &length, const char *query = "") {
        return Env{{"REQUEST_METHOD", method}, {"CONTENT_TYPE", type}, {"CONTENT_LENGTH", length},
                   {"QUERY_STRING", query}};
    };
    const std::vector<Field> b2 = {{"b", "2"}}, none;
    const std::string mp = field("b", "2") + kEnd, length = std::to_string(mp.size());
    const long n = static_cast<long>(mp.size());
    const auto ok = cgiParseSuccess;
    auto type = [](const std::string &t) { return Env{{"CONTENT_TYPE", t}}; };
    // The parse, the bytes of the body it read and, where given, the content type as cut and the boundary.
    const struct { const char *label; Env env; std::string body; cgiParseResultType result; std::vector<Field> fields;
                   long read; std::string typeAndBoundary = ""; } rows[] = {
        {"parameters dropped", type("Application/X-Www; charset=UTF-8"), "", ok, none, 0, "Application/X-Www|"},
        {"boundary prefix without case, blanks skipped, ended by a blank", type("m;c=x;  BOUNDARY=abc def"), "", ok,
         none, 0, "m|abc"},
        {"a ';' after the boundary belongs to it", type("m; boundary=abc;x=1"), "", ok, none, 0, "m|abc;x=1"},
        {"only the first boundary counts", type("m; boundary=one ; boundary=two"), "", ok, none, 0, "m|one"},
        {"near misses", type("m; boundary:x; xboundary=y"), "", ok, none, 0, "m|"},
        {"tab before the boundary", type("m;\tboundary=t"), "", ok, none, 0, "m|t"},
        {"cut at 1023 bytes", type(std::string(2000, 'c')), "", ok, none, 0, std::string(1023, 'c') + "|"},
        {"Post, a mixed-case type with a charset", env("Post", "Application/X-WWW-Form-urlencoded; x=y", "3"), "b=2",
         ok, b2, 3},
        {"POST reads no more than CONTENT_LENGTH, no query", env("POST", form, "3", "q=1"), "b=2&c=3", ok, b2, 3},
        {"POST body shorter than its length", env("POST", form, "8"), "b=2&c=3", cgiParseIO, none, 7},
        {"POST of one byte: an empty name and value", env("POST", form, "1"), "=&", ok, {{"", ""}}, 1},
        {"POST with a length beyond int: capped, beyond the limit", env("POST", form, "4294967299"), "b=2",
         cgiParseMemory, none, 0},
        {"POST with a negative length", env("POST", form, "-3"), "b=2", cgiParseMemory, none, 0},
        {"POST with blanks before ';'", env("POST", form + " \t; a=b", "3"), "b=2", ok, b2, 3},
        {"POST of another type", env("POST", form + "x", "3"), "b=2", ok, none, 0},
        {"multipart, a parameter after the boundary", env("POST", "multipart/form-data; boundary=XyZ; charset=UTF-8",
         length), mp, ok, b2, n},
        {"multipart, a quoted boundary", env("POST", "multipart/form-data; boundary=\"XyZ\"", length), mp, ok, b2, n},
        {"get ignores type and body", env("get", form, "3", "q=1&r=2"), "b=2", ok, {{"q", "1"}, {"r", "2"}}, 0},
        {"PUT parses nothing", env("PUT", form, "3", "q=1"), "b=2", ok, none, 0},
        {"GETS is not GET", env("GETS", "", "", "q=1"), "", ok, none, 0},
        {"a name that differs in its last letter is another variable",
         {{"REQUEST_METHOd", "GET"}, {"QUERY_STRING", "q=1"}}, "", ok, none, 0},
    };
    for (const auto &row : rows) {
        const cgiParseResultType r = start(row.env, row.body);
        EXPECT_EQ(std::ftell(cgiIn), row.read) << row.label;
        const std::string typeAndBoundary = cgiContentType + std::string("|") + cgiMultipartBoundary;
        EXPECT_EQ(row.typeAndBoundary.empty() ? "" : typeAndBoundary, row.typeAndBoundary) << row.label;
        EXPECT_EQ(parsed(r), Parsed(row.result, row.fields)) << row.label;
    }
    unsetenv("REQUEST_METHOd");
    EXPECT_EQ(fresh(), "") << "parsing writes nothing";
    start(env("GET", "", "50", "abc=def"));
    EXPECT_EQ(cgiContentLength, 7) << "a GET's length is its query string's";
}

TEST(Comparisons, IgnoreLetterCaseOnly) {
    const struct { const char *s1, *s2; int eq, begins; } rows[] = {
        {"", "", 1, 1}, {"post", "POST", 1, 1}, {"POST", "post", 1, 1}, {"post", "posts", 0, 0}, {"", "a", 0, 0},
        {"posts", "post", 0, 1}, {"abc", "", 0, 1}, {"[", "{", 0, 0}, {"z-b", "Z-B", 1, 1}, {"\xc4", "\xe4", 0, 0}};
    for (const auto &r : rows)
        EXPECT_EQ(std::make_pair(cgiStrEqNc(r.s1, r.s2), cgiStrBeginsNc(r.s1, r.s2)), std::make_pair(r.eq, r.begins))
            << r.s1 << " / " << r.s2;
}

TEST_F(Entry, HeaderLinesDropLineBreaksFromArguments) {
    const std::pair<void (*)(), const char *> rows[] = {
        {[] { cgiHeaderContentType("text/html\r\nSet-Cookie: a"); }, "Content-type: text/htmlSet-Cookie: a\r\n\r\n"},
        {[] { cgiHeaderLocation("/\nX: y\r"); }, "Location: /X: y\r\n\r\n"},
        {[] { cgiHeaderStatus(-1, "\r\n\r\nbody"); }, "Status: -1 body\r\n\r\n"},
        // Lines that leave the block open, before the one that ends it.
        {[] {
             cgiHeaderStatusLine(303, "See\r\nOther");
             cgiHeaderLocation("/done");
         },
         "Status: 303 SeeOther\r\nLocation: /done\r\n\r\n"},
        {[] {
             cgiHeaderLine("X-A:\r\n\tb", "1\r\nSet-Cookie: x\t");
             cgiHeaderEnd();
         },
         "X-Ab: 1Set-Cookie: x\t\r\n\r\n"},
    };
    for (const auto &row : rows) {
        row.first();
        EXPECT_EQ(fresh(), row.second);
    }
}
