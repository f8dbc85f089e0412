// Escaping for HTML content and attribute values, and a response stream
// that refuses output.
#include <cstdio>

#include "fixture.h"

namespace cgitest {
namespace {

using Escape = Request;

TEST_F(Escape, ContentAndAttributeTables) {
    struct Row {
        std::string in;
        std::string content, attribute;
    } rows[] = {
        {"a<b&c>d", "a&lt;b&amp;c&gt;d", "a<b&c>d"},
        {"&amp;", "&amp;amp;", "&amp;"},
        {"say \"hi\" 'x'", "say \"hi\" 'x'", "say &#34;hi&#34; 'x'"},
        {"", "", ""},
        {"\xe9<\xff", "\xe9&lt;\xff", "\xe9<\xff"},
        {std::string("a\0<", 3), std::string("a\0&lt;", 6), std::string("a\0<", 3)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.in);
        size_t before = output().size();
        EXPECT_EQ(cgiHtmlEscapeData(row.in.data(), static_cast<int>(row.in.size())), cgiFormSuccess);
        EXPECT_EQ(output().substr(before), row.content);
        before = output().size();
        EXPECT_EQ(cgiValueEscapeData(row.in.data(), static_cast<int>(row.in.size())), cgiFormSuccess);
        EXPECT_EQ(output().substr(before), row.attribute);
    }
    size_t before = output().size();
    EXPECT_EQ(cgiHtmlEscape("a\0<b"), cgiFormSuccess) << "the string form stops at the NUL";
    EXPECT_EQ(cgiValueEscape("\"<"), cgiFormSuccess);
    EXPECT_EQ(output().substr(before), "a&#34;<");
}

// An unbuffered stream that takes `budget` bytes and then refuses.
struct Refusing {
    size_t budget;
    std::string taken;
};
ssize_t refusingWrite(void *cookie, const char *buf, size_t size) {
    auto *r = static_cast<Refusing *>(cookie);
    size_t n = size < r->budget ? size : r->budget;
    r->taken.append(buf, n);
    r->budget -= n;
    return n ? static_cast<ssize_t>(n) : -1;
}

TEST_F(Escape, RefusedOutputIsAnIOError) {
    for (size_t budget : {0u, 1u, 3u, 5u}) {
        SCOPED_TRACE(budget);
        for (int attribute = 0; attribute < 2; ++attribute) {
            Refusing r{budget, ""};
            FILE *f = fopencookie(&r, "w", {nullptr, refusingWrite, nullptr, nullptr});
            ASSERT_NE(f, nullptr);
            setvbuf(f, nullptr, _IONBF, 0);
            FILE *saved = cgiOut;
            cgiOut = f;
            cgiFormResultType result = attribute ? cgiValueEscape("ab\"cd\"ef") : cgiHtmlEscape("ab<cd>ef");
            cgiOut = saved;
            std::fclose(f);
            EXPECT_EQ(result, cgiFormIO);
            const std::string full = attribute ? "ab&#34;cd&#34;ef" : "ab&lt;cd&gt;ef";
            EXPECT_EQ(r.taken, full.substr(0, budget)) << "output goes on after the refusal";
        }
    }
}

} // namespace
} // namespace cgitest
