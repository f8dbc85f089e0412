// Cookies: the two readings of the cookie header, and Set-Cookie lines.
#include <ctime>

#include "fixture.h"

using namespace cgitest;

using Cookies = Request;

TEST_F(Cookies, ValuesIntegersAndNames) {
    // The value of `name` in `space` bytes, its reading as an integer (the default is 5), and every name.
    const struct { std::string header; const char *name; int space; std::string value; cgiFormResultType result;
                   int integer; std::vector<std::string> all; } rows[] = {
        {"a=1; b=2", "b", 16, "2", cgiFormSuccess, 2, {"a", "b"}},
        {"ab=1", "a", 16, "", cgiFormNotFound, 5, {"ab"}},
        {"a=hello", "a", 3, "he", cgiFormTruncated, 0, {"a"}},
        {"a=hello", "a", 1, "", cgiFormTruncated, 0, {"a"}},
        {"a=", "a", 16, "", cgiFormSuccess, 0, {"a"}},
        {"a=1; a=2", "a", 16, "1", cgiFormSuccess, 1, {"a", "a"}},
        {" a=1", "a", 16, "", cgiFormNotFound, 5, {"a"}},
        {"x=1; y", "y", 16, "#", cgiFormNotFound, 5, {"x", "y"}}, // the header ends with the name: value untouched
        {"", "a", 1, "", cgiFormNotFound, 5, {}},
        {"a = 1", "a", 16, "", cgiFormNotFound, 5, {"a "}},
        {"k=12v=w x;z=1", "k", 16, "12v=w x", cgiFormSuccess, 12, {"k", "z"}},
        {"p;q=-7", "q", 16, "-7", cgiFormSuccess, -7, {"p;q"}},
        {"=x; b=\t2", "b", 16, "\t2", cgiFormSuccess, 2, {"b"}},
        {"a=1;\t\r\n b=2", "b", 16, "2", cgiFormSuccess, 2, {"a", "b"}},
        {"big=" + std::string(300, '9'), "big", 16, std::string(15, '9'), cgiFormTruncated, 5, {"big"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.header);
        cgiCookie = const_cast<char *>(row.header.c_str());
        char value[16] = "#", **a = nullptr;
        int n = -1;
        EXPECT_EQ(cgiCookieString(row.name, value, row.space), row.result);
        EXPECT_EQ(std::string(value), row.value);
        cgiCookieInteger(row.name, &n, 5);
        EXPECT_EQ(n, row.integer);
        ASSERT_EQ(cgiCookies(&a), cgiFormSuccess);
        EXPECT_EQ(strings(a), row.all);
        cgiStringArrayFree(a);
    }
}

TEST_F(Cookies, SetCookieLines) {
    const struct { const char *label; long long moment; const char *expires; } moments[] = {
        {"the epoch", 0, "Thu, 01-Jan-1970 00:00:00"},
        {"beyond 2038, where 32 bits of seconds wrap", 2556144000LL, "Sun, 01-Jan-2051 00:00:00"},
    };
    for (const auto &m : moments) {
        std::string line;
        // secondsToLive that lands on the moment; again if the clock ticked.
        for (std::time_t now = 0; now != std::time(nullptr);) {
            now = std::time(nullptr);
            cgiHeaderCookieSetString("id", "42", static_cast<int>(m.moment - now), "/", "");
            line = fresh();
        }
        EXPECT_EQ(line, "Set-Cookie: id=42; domain=; expires=" + std::string(m.expires) + " GMT; path=/\r\n")
            << m.label;
    }
    cgiHeaderCookieSetInteger("n", -5, 3600, "/p", "example.org");
    std::string line = fresh();
    EXPECT_EQ(line.rfind("Set-Cookie: n=-5; domain=example.org; expires=", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 11), "; path=/p\r\n") << line;
    cgiHeaderCookieSetString("a\r\nX-Injected: 1", "v\n", 0, "/\r", "d\r\n");
    line = fresh();
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "a line break from the arguments was written";
    EXPECT_EQ(line.find("Set-Cookie: aX-Injected: 1=v; domain=d; expires="), 0u) << line;
}

