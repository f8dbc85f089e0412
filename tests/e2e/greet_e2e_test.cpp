// The reference's example application: the source shown in docs/api.md is
// the one built, and it answers as documented.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "process.h"
#include "../test_files.h"

namespace cgitest {
namespace {

TEST(GreetE2E, TheDocumentShowsTheBuiltSource) {
    const std::string source = slurp(SOURCE_DIR "/examples/greet.c");
    ASSERT_FALSE(source.empty());
    EXPECT_NE(slurp(SOURCE_DIR "/docs/api.md").find("```c\n" + source + "```"), std::string::npos)
        << "docs/api.md no longer shows examples/greet.c as it is";
}

TEST(GreetE2E, FormCookieAndEscapedAnswer) {
    const std::string body = "name=%3Cb%3E+%22Ann%22&colour=blue&colour=red&colour=pink";
    Outcome o = runCgi(GREET_CGI, {{"REQUEST_METHOD", "POST"},
                                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                   {"CONTENT_LENGTH", std::to_string(body.size())}},
                       body);
    EXPECT_EQ(o.exitStatus, 0);
    const size_t blank = o.output.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    const std::string head = o.output.substr(0, blank + 4), page = o.output.substr(blank + 4);
    EXPECT_EQ(head.rfind("Set-Cookie: name=<b> \"Ann\"; domain=; expires=", 0), 0u) << head;
    EXPECT_NE(head.find("; path=/\r\nContent-type: text/html\r\n\r\n"), std::string::npos) << head;
    EXPECT_EQ(page, "<!doctype html>\n<p>Hello, &lt;b&gt; \"Ann\"!</p>\n"
                    "<form method=\"post\"><input name=\"name\" value=\"<b> &#34;Ann&#34;\"></form>\n"
                    "<ul>\n<li>red</li>\n<li>blue</li>\n</ul>\n<p>1 unknown colour(s) ignored.</p>\n");

    // No form: the name comes from the cookie.
    o = runCgi(GREET_CGI, {{"REQUEST_METHOD", "GET"}, {"HTTP_COOKIE", "theme=dark; name=Bob"}});
    EXPECT_NE(o.output.find("<p>Hello, Bob!</p>"), std::string::npos) << o.output;
}

} // namespace
} // namespace cgitest
