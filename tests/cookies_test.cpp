// Cookies: the two readings of the cookie header, and Set-Cookie lines.
#include <ctime>

#include "fixture.h"

namespace cgitest {
namespace {

using Cookies = Request;

TEST_F(Cookies, ValuesAndNames) {
    struct Row {
        const char *header;
        const char *name;
        int space;
        std::string value;
        cgiFormResultType result;
        std::vector<std::string> all;
    } rows[] = {
        {"a=1; b=2", "b", 16, "2", cgiFormSuccess, {"a", "b"}},
        {"a=1;b=2", "b", 16, "2", cgiFormSuccess, {"a", "b"}},
        {"ab=1", "a", 16, "", cgiFormNotFound, {"ab"}},
        {"a=hello", "a", 3, "he", cgiFormTruncated, {"a"}},
        {"a=hello", "a", 1, "", cgiFormTruncated, {"a"}},
        {"a=", "a", 16, "", cgiFormSuccess, {"a"}},
        {"a=1; a=2", "a", 16, "1", cgiFormSuccess, {"a", "a"}},
        {" a=1", "a", 16, "", cgiFormNotFound, {"a"}},
        {"x=1; y", "y", 16, "#", cgiFormNotFound, {"x", "y"}}, // the last piece is the name: value untouched
        {"", "a", 16, "", cgiFormNotFound, {}},
        {"a = 1", "a", 16, "", cgiFormNotFound, {"a "}},
        {"k=v=w x;z=1", "k", 16, "v=w x", cgiFormSuccess, {"k", "z"}},
        {"p;q=1", "q", 16, "1", cgiFormSuccess, {"p;q"}},
        {"=x; b=\t2", "b", 16, "\t2", cgiFormSuccess, {"b"}},
        {"a=1;\r\n b=2", "b", 16, "2", cgiFormSuccess, {"a", "b"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.header);
        cgiCookie = const_cast<char *>(row.header);
        char value[16] = "#";
        EXPECT_EQ(cgiCookieString(row.name, value, row.space), row.result);
        EXPECT_EQ(std::string(value), row.value);
        char **a = nullptr;
        ASSERT_EQ(cgiCookies(&a), cgiFormSuccess);
        EXPECT_EQ(strings(a), row.all);
        cgiStringArrayFree(a);
    }
    // The header is the name itself: the value is left as it was.
    cgiCookie = const_cast<char *>("a");
    char value[4] = "old";
    EXPECT_EQ(cgiCookieString("a", value, sizeof value), cgiFormNotFound);
    EXPECT_STREQ(value, "old");
}

TEST_F(Cookies, Integers) {
    int v = 0;
    cgiCookie = const_cast<char *>("n=12abc; e=; m=-7");
    EXPECT_EQ(cgiCookieInteger("n", &v, 5), cgiFormSuccess);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(cgiCookieInteger("e", &v, 5), cgiFormSuccess);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(cgiCookieInteger("m", &v, 5), cgiFormSuccess);
    EXPECT_EQ(v, -7);
    EXPECT_EQ(cgiCookieInteger("x", &v, 5), cgiFormNotFound);
    EXPECT_EQ(v, 5);
    const std::string longHeader = "big=" + std::string(300, '9');
    cgiCookie = const_cast<char *>(longHeader.c_str());
    EXPECT_EQ(cgiCookieInteger("big", &v, 5), cgiFormTruncated);
    EXPECT_EQ(v, 5);
}

TEST_F(Cookies, SetCookieLines) {
    // secondsToLive that lands on a known moment; retried if the clock ticks.
    const struct {
        const char *label;
        long long moment;
        const char *expires;
    } moments[] = {
        {"the epoch", 0, "Thu, 01-Jan-1970 00:00:00"},
        {"beyond 2038, where 32 bits of seconds wrap", 2556144000LL, "Sun, 01-Jan-2051 00:00:00"},
    };
    std::string line;
    for (const auto &m : moments) {
        SCOPED_TRACE(m.label);
        for (int attempt = 0; attempt < 5; ++attempt) {
            size_t before = output().size();
            std::time_t now = std::time(nullptr);
            cgiHeaderCookieSetString("id", "42", static_cast<int>(m.moment - now), "/", "");
            line = output().substr(before);
            if (std::time(nullptr) == now)
                break;
        }
        EXPECT_EQ(line, std::string("Set-Cookie: id=42; domain=; expires=") + m.expires + " GMT; path=/\r\n");
    }
    size_t before = output().size();
    cgiHeaderCookieSetInteger("n", -5, 3600, "/p", "example.org");
    line = output().substr(before);
    EXPECT_EQ(line.rfind("Set-Cookie: n=-5; domain=example.org; expires=", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 11), "; path=/p\r\n") << line;
    before = output().size();
    cgiHeaderCookieSetString("a\r\nX-Injected: 1", "v\n", 0, "/\r", "d\r\n");
    line = output().substr(before);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "a line break from the arguments was written";
    EXPECT_NE(line.find("Set-Cookie: aX-Injected: 1=v; domain=d; expires="), std::string::npos) << line;
}

TEST_F(Cookies, NamesReleaseEverythingWhenMemoryRunsOut) {
    cgiCookie = const_cast<char *>("a=1; b=2; c=3");
    int failures = 0;
    for (long n = 1; n < 20; ++n) {
        char **a = reinterpret_cast<char **>(1);
        cgiAllocFailAt(n);
        cgiFormResultType r = cgiCookies(&a);
        cgiAllocFailAt(0);
        if (r == cgiFormSuccess) {
            EXPECT_EQ(strings(a), (std::vector<std::string>{"a", "b", "c"}));
            cgiStringArrayFree(a);
            break;
        }
        EXPECT_EQ(r, cgiFormMemory);
        EXPECT_EQ(a, nullptr);
        EXPECT_EQ(cgiAllocLive(), 0);
        ++failures;
    }
    EXPECT_EQ(failures, 4) << "the array and three names";
}

} // namespace
} // namespace cgitest
