// URL-encoded input: pair splitting, decoding, the search cursor and the
// failure of any allocation along the way.
#include <cstring>
#include <string>

#include "fixture.h"

namespace cgitest {
namespace {

using UrlEncoded = Request;

struct ParseRow {
    const char *label;
    std::string input;
    std::vector<Field> fields;
};

TEST_F(UrlEncoded, SplitsAndDecodesPairs) {
    const ParseRow rows[] = {
        {"empty input", "", {}},
        {"two pairs in order", "a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"'&' before '=' belongs to the name", "a=1&&b=2", {{"a", "1"}, {"&b", "2"}}},
        {"name with '&'", "a&b=1", {{"a&b", "1"}}},
        {"trailing name without '=' dropped", "a=1&b", {{"a", "1"}}},
        {"trailing '&'", "a=1&", {{"a", "1"}}},
        {"only a name", "abc", {}},
        {"'=' inside the value", "a=b=c", {{"a", "b=c"}}},
        {"empty name", "=x", {{"", "x"}}},
        {"empty value", "a=", {{"a", ""}}},
        {"empty value before '&'", "a=&b=", {{"a", ""}, {"b", ""}}},
        {"plus, encoded plus and escapes", "x=a+b%2Bc%41", {{"x", "a b+cA"}}},
        {"plus in the name", "a+b=1", {{"a b", "1"}}},
        {"escaped name", "n%61me=1", {{"name", "1"}}},
        {"lower-case hex", "x=%4a%4A", {{"x", "JJ"}}},
        {"non-hex digits count as 0", "x=%zz", {{"x", ""}}},
        {"one bad digit", "x=%4g", {{"x", "@"}}},
        {"final '%' dropped", "x=ab%", {{"x", "ab"}}},
        {"'%' and one digit dropped", "x=ab%4", {{"x", "ab"}}},
        {"'%' at the end of a name", "a%=1", {{"a", "1"}}},
        {"escape cut by '&'", "x=%4&y=1", {{"x", ""}, {"y", "1"}}},
        {"encoded '&' and '=' are data", "x=%26%3D&y=1", {{"x", "&="}, {"y", "1"}}},
        {"'%%' takes the next byte as a digit", "x=%%41", {{"x", "\x04" "1"}}},
        {"high bytes pass", "x=%FF\xc3\xa9", {{"x", "\xff\xc3\xa9"}}},
        {"%00 ends the value for the string readers", "x=a%00b&y=2", {{"x", "a"}, {"y", "2"}}},
        {"repeated names kept", "c=1&c=2&c=3", {{"c", "1"}, {"c", "2"}, {"c", "3"}}},
        {"long value", "v=" + std::string(300, 'q'), {{"v", std::string(300, 'q')}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(parseText(row.input), cgiParseSuccess);
        EXPECT_EQ(fields(), row.fields);
        cgiFreeResources();
    }
}

// Decoding works a word at a time where it can: an escape, a '+' or the end
// of the value at every offset within and across words.
TEST_F(UrlEncoded, EscapesAtEveryOffsetDecode) {
    for (int k = 0; k < 20; ++k) {
        SCOPED_TRACE("offset " + std::to_string(k));
        const std::string pad(static_cast<size_t>(k), 'a');
        const std::string tail(static_cast<size_t>(19 - k), 'b');
        ASSERT_EQ(parseText("x=" + pad + "%41" + tail + "+" + pad + "&p=" + pad + "+++" + tail +
                            "&e=" + pad + "%4" + "&z=" + pad + "%00" + tail),
                  cgiParseSuccess);
        EXPECT_EQ(fields(), (std::vector<Field>{{"x", pad + "A" + tail + " " + pad},
                                                {"p", pad + "   " + tail},
                                                {"e", pad},
                                                {"z", pad}}));
        cgiFreeResources();
    }
}

TEST_F(UrlEncoded, EntriesCarryEmptyFileMembers) {
    ASSERT_EQ(parseText("a=1&b=2"), cgiParseSuccess);
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        EXPECT_STREQ(e->fileName, "");
        EXPECT_STREQ(e->contentType, "");
        EXPECT_STREQ(e->tfileName, "");
    }
}

TEST_F(UrlEncoded, ParsesOnlyTheGivenLength) {
    const char data[] = "a=1&b=2";
    ASSERT_EQ(cgiParseFormInput(data, 5), cgiParseSuccess); // "a=1&b"
    EXPECT_EQ(fields(), (std::vector<Field>{{"a", "1"}}));
}

TEST_F(UrlEncoded, SearchWalksRepeatedFieldsThenStaysExhausted) {
    ASSERT_EQ(parseText("c=1&d=x&c=2&C=9&c=3"), cgiParseSuccess);
    std::string seen;
    for (cgiFormEntry *e = cgiFormEntryFindFirst("c"); e; e = cgiFormEntryFindNext())
        seen += e->value;
    EXPECT_EQ(seen, "123");
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
    // A new search restarts the cursor.
    cgiFormEntry *c = cgiFormEntryFindFirst("c");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->value, "1");
    EXPECT_EQ(cgiFormEntryFindFirst("D"), nullptr) << "letter case matters";
    EXPECT_EQ(cgiFormEntryFindFirst("missing"), nullptr);
}

// Every allocation of a parse fails in turn, until the parse goes through.
// Each failing step must report cgiParseMemory, leave only complete entries
// in input order, and leak nothing once released.
TEST_F(UrlEncoded, EveryAllocationFailureIsCleanAndLinksNoPartialEntry) {
    const std::string input = "a=1&bb=2%32&ccc=&d+d=4";
    const std::vector<Field> all = {{"a", "1"}, {"bb", "22"}, {"ccc", ""}, {"d d", "4"}};
    int failures = sweepAllocations(all, [&] { return parseText(input); }, [&] { return fields(); },
                                    [] { cgiFreeResources(); });
    RecordProperty("failed_steps", failures);
    EXPECT_GT(failures, static_cast<int>(all.size())) << "every entry is an allocation";
}

// A POST body is refused as a memory failure before anything is read when
// its buffer cannot be had, or when it is larger than the input limit.
TEST_F(UrlEncoded, PostBodiesWithinMemoryAndTheInputLimit) {
    const std::string atLimit = "v=" + std::string(static_cast<size_t>(kCgiMaxInput - 2), 'q');
    const struct {
        const char *label;
        long failAt;
        long long length;
        std::string body;
        cgiParseResultType result;
        std::vector<Field> fields;
    } rows[] = {
        {"buffer cannot be allocated", 1, 3, "a=1", cgiParseMemory, {}},
        {"exactly the input limit", 0, kCgiMaxInput, atLimit, cgiParseSuccess, {{"v", atLimit.substr(2)}}},
        {"one byte above the input limit", 0, kCgiMaxInput + 1, atLimit + "&", cgiParseMemory, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        cgiAllocFailAt(row.failAt);
        EXPECT_EQ(start({{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", std::to_string(row.length)}},
                        row.body),
                  row.result);
        cgiAllocFailAt(0);
        EXPECT_EQ(std::ftell(cgiIn), row.result == cgiParseSuccess ? row.length : 0) << "bytes read";
        const std::vector<Field> got = fields();
        EXPECT_TRUE(got == row.fields) << got.size() << " fields"; // without printing megabytes
        cgiFreeResources();
        std::fclose(in_);
        in_ = nullptr;
    }
}

} // namespace
} // namespace cgitest
