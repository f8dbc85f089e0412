// The example programs run as real CGI processes: what the web server hands
// them, what they answer, and how they exit.
#include <gtest/gtest.h>

#include <map>

#include "process.h"

namespace cgitest {
namespace {

const std::string kHeader = "Content-type: text/plain\r\n\r\n";
const char *const kForm = "application/x-www-form-urlencoded", *const kMultipart = "multipart/form-data; boundary=XyZ";

// The field lines of the inspector's answer. An upload's hash shows as #1,
// #2, ... in the order of first appearance: equal contents, equal numbers.
std::string fieldLines(const std::string &output) {
    std::string lines;
    std::map<std::string, size_t> hashes;
    for (size_t at = output.find("\nfield "); at != std::string::npos; at = output.find("\nfield ", at + 1)) {
        std::string line = output.substr(at + 1, output.find('\n', at + 1) - at);
        if (line.find(" (file ") != std::string::npos)
            line.replace(line.size() - 18, 16,
                         "#" + std::to_string(hashes.emplace(line.substr(line.size() - 18, 16), hashes.size() + 1).first->second));
        lines += line;
    }
    return lines;
}

EnvList post(const std::string &type, size_t length) {
    return {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type}, {"CONTENT_LENGTH", std::to_string(length)}};
}

TEST(RequestE2E, WhatTheInspectorMakesOfARequest) {
    const std::string cut = field("hc_submit", "1") + field("chang", "5") + "--XyZ\r\n";
    const std::string two = field("a", "x", "; filename=a") + field("up", std::string(200000, 'u'), "; filename=u") + kEnd;
    // The same bytes twice, at different places in the body's blocks, with
    // near-miss delimiters in them.
    std::string data;
    for (unsigned x = 12345; data.size() < 2u << 20; x = x * 1103515245u + 12345u)
        data += data.size() % 100000 ? std::string(1, static_cast<char>(x >> 24)) : "\r\n--Xy\r\n--X";
    const std::string big = field("a", "1") + field("up", data, "; filename=d") + field("up", data, "; filename=copy") +
                            field("b", "2") + kEnd;
    const std::string n = std::to_string(data.size());
    EnvList loud = post(kMultipart, two.size());
    loud.push_back({"QUERY_STRING", std::string(20000, 'q')});
    const auto dump = cgi(DUMP_CGI);
    const struct { const char *label; Call call; int exit; std::string fields; } rows[] = {
        {"body shorter than CONTENT_LENGTH", {dump, post(kForm, 10), "a=1"}, 255, ""},
        {"URL-encoded body above the input limit",
         {dump, post(kForm, CGI_MAX_INPUT + 1LL), "v=" + std::string(CGI_MAX_INPUT - 1LL, 'q')}, 255, ""},
        {"sethc's multipart submit cut after the chang part: hang never came",
         {cgi(SETHC_CGI), post(kMultipart, cut.size() + 50), cut}, 255, ""},
        {"large uploads arrive whole", {dump, post(kMultipart, big.size()), big}, 0,
         "field a 1 1\nfield up " + n + " (file d  " + n + " #1)\nfield up " + n + " (file copy  " + n + " #1)\nfield b 1 2\n"},
        // A complete upload, then one that the file-size limit cuts: the
        // request fails as a whole and both temporary files go.
        {"file-size limit 0", {dump, post(kMultipart, two.size()), two, 0}, 255, ""},
        {"file-size limit at a block's end", {dump, post(kMultipart, two.size()), two, 65536}, 255, ""},
        {"file-size limit a byte short", {dump, post(kMultipart, two.size()), two, 199999}, 255, ""},
        {"file-size limit that fits", {dump, post(kMultipart, two.size()), two, 200000}, 0,
         "field a 1 (file a  1 #1)\nfield up 200000 (file u  200000 #2)\n"},
        // The program writes while the uploads exist (a long query string);
        // its writes fail, and it still ends normally and deletes them.
        {"the client went away", {dump, loud, two, -1, true}, 0, ""},
        {"an upload with /tmp read-only", {dump, post(kMultipart, two.size()), two, -1, false, 0, true}, 255, ""},
        {"URL-encoded input with /tmp read-only",
         {dump, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, "", -1, false, 0, true}, 0, "field a 1 1\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        if (row.call.readOnlyTmp && !privateTmp(row.call.argv))
            continue; // /tmp can be made read-only only for a program of its own
        const Outcome o = run(row.call);
        EXPECT_EQ(o.exitStatus, row.exit);
        EXPECT_EQ(o.output.substr(0, kHeader.size()), row.exit || row.call.clientGone ? "" : kHeader);
        EXPECT_EQ(fieldLines(o.output), row.fields);
    }
}

// The source shown in docs/api.md is the one built, and it answers as
// documented.
TEST(RequestE2E, TheDocumentedExampleAnswers) {
    const std::string source = slurp(SOURCE_DIR "/examples/greet.c");
    ASSERT_FALSE(source.empty());
    EXPECT_NE(slurp(SOURCE_DIR "/docs/api.md").find("```c\n" + source + "```"), std::string::npos)
        << "docs/api.md no longer shows examples/greet.c as it is";
    const std::string body = "name=%3Cb%3E+%22Ann%22&colour=blue&colour=red&colour=pink";
    std::string out = run({cgi(GREET_CGI), post(kForm, body.size()), body}).output;
    const size_t date = out.find("expires=") + 8;
    out.erase(date, out.find(';', date) - date); // a day from now
    EXPECT_EQ(out, "Set-Cookie: name=<b> \"Ann\"; domain=; expires=; path=/\r\nContent-type: text/html\r\n\r\n"
                   "<!doctype html>\n<p>Hello, &lt;b&gt; \"Ann\"!</p>\n"
                   "<form method=\"post\"><input name=\"name\" value=\"<b> &#34;Ann&#34;\"></form>\n"
                   "<ul>\n<li>red</li>\n<li>blue</li>\n</ul>\n<p>1 unknown colour(s) ignored.</p>\n");
    // No form: the name comes from the cookie.
    out = run({cgi(GREET_CGI), {{"REQUEST_METHOD", "GET"}, {"HTTP_COOKIE", "theme=dark; name=Bob"}}}).output;
    EXPECT_NE(out.find("<p>Hello, Bob!</p>"), std::string::npos) << out;
}

} // namespace
} // namespace cgitest
