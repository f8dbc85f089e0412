// Escaping for HTML content and attribute values, and a response stream
// that refuses output.
#include "fixture.h"

using Escape = Request;

TEST_F(Escape, ContentAndAttributeTables) {
    const struct { std::string in, content, attribute; } rows[] = {
        {"a<b&c>d", "a&lt;b&amp;c&gt;d", "a<b&c>d"}, {"say \"hi\" 'x'", "say \"hi\" 'x'", "say &#34;hi&#34; 'x'"},
        {"", "", ""}, {std::string("a\0<", 3), std::string("a\0&lt;", 6), std::string("a\0<", 3)},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(cgiHtmlEscapeData(row.in.data(), static_cast<int>(row.in.size())), cgiFormSuccess);
        EXPECT_EQ(fresh(), row.content);
        EXPECT_EQ(cgiValueEscapeData(row.in.data(), static_cast<int>(row.in.size())), cgiFormSuccess);
        EXPECT_EQ(fresh(), row.attribute);
    }
    EXPECT_EQ(cgiHtmlEscape("a\0<b"), cgiFormSuccess) << "the string form stops at the NUL";
    EXPECT_EQ(cgiValueEscape("\"<"), cgiFormSuccess);
    EXPECT_EQ(fresh(), "a&#34;<");
}

// An unbuffered stream that takes `budget` bytes and then refuses: output
// stops at the refusal, which is an I/O error.
TEST_F(Escape, RefusedOutputIsAnIOError) {
    struct Refusing { size_t budget; std::string taken; };
    auto refuse = [](void *cookie, const char *buf, size_t size) -> ssize_t {
        auto &r = *static_cast<Refusing *>(cookie);
        const size_t n = std::min(size, r.budget - r.taken.size());
        r.taken.append(buf, n);
        return n ? static_cast<ssize_t>(n) : -1;
    };
    for (size_t budget : {0u, 1u, 3u, 5u})
        for (bool attribute : {false, true}) {
            Refusing r{budget, ""};
            ASSERT_NE(cgiOut = fopencookie(&r, "w", {nullptr, refuse, nullptr, nullptr}), nullptr);
            setvbuf(cgiOut, nullptr, _IONBF, 0);
            const cgiFormResultType result = attribute ? cgiValueEscape("ab\"cd\"ef") : cgiHtmlEscape("ab<cd>ef");
            std::fclose(std::exchange(cgiOut, out_));
            const std::string whole = attribute ? "ab&#34;cd&#34;ef" : "ab&lt;cd&gt;ef";
            EXPECT_EQ(std::make_pair(result, r.taken), std::make_pair(cgiFormIO, whole.substr(0, budget)));
        }
}
