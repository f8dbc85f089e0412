// Cookies: the two readings of the cookie header, and Set-Cookie lines.
#include <cstdio>
#include <ctime>

#include "fixture.h"

using Cookies = Request;

TEST_F(Cookies, ValuesIntegersAndNames) {
    // The value of `name` in `space` bytes, its reading as an integer (the default is 5), and every name.
    const struct { std::string header; const char *name; std::string value; cgiFormResultType result; int integer;
                   std::vector<std::string> all; int space = 16; } rows[] = {
        {"a=1; b=2", "b", "2", cgiFormSuccess, 2, {"a", "b"}}, {"ab=1", "a", "", cgiFormNotFound, 5, {"ab"}},
        {"a=", "a", "", cgiFormSuccess, 0, {"a"}}, {"a=1; a=2", "a", "1", cgiFormSuccess, 1, {"a", "a"}},
        {" a=1", "a", "", cgiFormNotFound, 5, {"a"}}, {"", "a", "", cgiFormNotFound, 5, {}, 1},
        {"x=1; y", "y", "#", cgiFormNotFound, 5, {"x", "y"}}, // the header ends with the name: value untouched
        {"k=12v=w x;z=1", "k", "12v=w x", cgiFormSuccess, 12, {"k", "z"}},
        {"p;q=-7", "q", "-7", cgiFormSuccess, -7, {"p;q"}}, {"=x; b=\t2", "b", "\t2", cgiFormSuccess, 2, {"b"}},
        {"a=1;\t\r\n b=2", "b", "2", cgiFormSuccess, 2, {"a", "b"}},
        {"big=" + std::string(300, '9'), "big", std::string(15, '9'), cgiFormTruncated, 5, {"big"}},
    };
    for (const auto &row : rows) {
        cgiCookie = const_cast<char *>(row.header.c_str());
        char value[16] = "#";
        int n = -1;
        const cgiFormResultType r = cgiCookieString(row.name, value, row.space);
        cgiCookieInteger(row.name, &n, 5);
        EXPECT_EQ(std::make_tuple(r, std::string(value), n, buildArray(cgiCookies)),
                  std::make_tuple(row.result, row.value, row.integer, std::make_pair(cgiFormSuccess, row.all)))
            << row.header;
    }
}

// The expiry is now plus secondsToLive, in GMT; no argument can break the
// line or add an attribute.
TEST_F(Cookies, SetCookieLines) {
    // What `write` sends with the secondsToLive that lands on `moment`; again if the clock ticked.
    auto at = [&](long long moment, void (*write)(int)) {
        std::string line;
        for (std::time_t now = 0; now != std::time(nullptr);) {
            now = std::time(nullptr);
            write(static_cast<int>(moment - now));
            line = fresh();
        }
        return line;
    };
    EXPECT_EQ(at(0, [](int s) { cgiHeaderCookieSetString("id", "42", s, "/", ""); }),
              "Set-Cookie: id=42; domain=; expires=Thu, 01-Jan-1970 00:00:00 GMT; path=/\r\n");
    EXPECT_EQ(at(2556144000LL, [](int s) { cgiHeaderCookieSetInteger("n", -5, s, "/p", "example.org"); }),
              "Set-Cookie: n=-5; domain=example.org; expires=Sun, 01-Jan-2051 00:00:00 GMT; path=/p\r\n")
        << "beyond 2038, where 32 bits of seconds wrap";
    EXPECT_EQ(at(0, [](int s) {
                  cgiHeaderCookieSetString("a\r\nX: 1;\x01", "v; Domain=evil\t\x7f\xc3\xa9~", s, "/\r; Secure", "d\r\n;");
              }),
              "Set-Cookie: aX: 1=v Domain=evil\xc3\xa9~; domain=d; expires=Thu, 01-Jan-1970 00:00:00 GMT; path=/ Secure\r\n");
    // The writer with options; %s in `line` stands for the date of its Expires, as strftime writes it.
    const struct { const char *label, *name, *value; int maxAge; const char *path, *domain; int flags;
                   const char *line; } rows[] = {
        {"a session cookie: no Max-Age, no Expires", "sid", "abc", -1, "/", "",
         cgiCookieHttpOnly | cgiCookieSameSiteLax, "Set-Cookie: sid=abc; Path=/; HttpOnly; SameSite=Lax\r\n"},
        {"a day, every flag: the strictest SameSite", "n", "1", 86400, nullptr, "example.org", 31,
         "Set-Cookie: n=1; Max-Age=86400; Expires=%s; Domain=example.org; Secure; HttpOnly; SameSite=Strict\r\n"},
        {"expires now", "n", "", 0, "", nullptr, cgiCookieSameSiteNone,
         "Set-Cookie: n=; Max-Age=0; Expires=%s; SameSite=None\r\n"},
        {"no argument adds an attribute or ends the line", "a=b;\r\n", "v; Domain=evil\r\n", -1, "/; Secure",
         "d;\r\n", 0, "Set-Cookie: ab=v Domain=evil; Path=/ Secure; Domain=d\r\n"},
    };
    for (const auto &row : rows) {
        std::string line;
        char date[64], expected[256];
        for (std::time_t now = 0; now != std::time(nullptr);) {
            now = std::time(nullptr);
            cgiHeaderCookieSet(row.name, row.value, row.maxAge, row.path, row.domain, row.flags);
            line = fresh();
            const std::time_t when = now + row.maxAge;
            std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
            std::snprintf(expected, sizeof expected, row.line, date);
        }
        EXPECT_EQ(line, expected) << row.label;
    }
}
