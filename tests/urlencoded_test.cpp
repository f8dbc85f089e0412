// URL-encoded input: pair splitting, decoding, the search cursor and the
// failure of any allocation along the way.
#include <cctype>

#include "fixture.h"

using UrlEncoded = Request;

TEST_F(UrlEncoded, SplitsAndDecodesPairs) {
    // "%4" before every byte that is no hex digit (but '&', which ends the pair): each counts as 0.
    std::string noHex, ats;
    for (int b = 1; b < 256; ++b)
        if (!std::isxdigit(b) && b != '&')
            noHex += std::string("%4") + static_cast<char>(b), ats += '@';
    const struct { const char *label; std::string input; std::vector<Field> fields; } rows[] = {
        {"pairs in order, '=' inside a value", "a=1&b=2=3", {{"a", "1"}, {"b", "2=3"}}},
        {"'&' before '=' belongs to the name", "a=1&&b=2&c&d=3", {{"a", "1"}, {"&b", "2"}, {"c&d", "3"}}},
        {"trailing '&', trailing name without '='", "a=1&b&", {{"a", "1"}}},
        {"empty name and empty values", "=x&a=&b=", {{"", "x"}, {"a", ""}, {"b", ""}}},
        {"plus, encoded plus and escapes, lower-case hex", "x=a+b%2Bc%41%4a", {{"x", "a b+cAJ"}}},
        {"a name is decoded too", "n%61me+x=1", {{"name x", "1"}}},
        {"a byte that is no hex digit counts as 0", "x=" + noHex, {{"x", ats}}},
        {"final '%' and '%' with one digit dropped", "x=ab%&y=ab%4", {{"x", "ab"}, {"y", "ab"}}},
        {"encoded '&' and '=' are data", "x=%26%3D&y=1", {{"x", "&="}, {"y", "1"}}},
        {"'%%' takes the next byte as a digit", "x=%%41", {{"x", "\x04" "1"}}},
        {"high bytes pass", "x=%FF\xc3\xa9", {{"x", "\xff\xc3\xa9"}}},
        {"%00 ends the value for the string readers", "x=a%00b&y=2", {{"x", "a"}, {"y", "2"}}},
    };
    // Each input also runs out of memory at every allocation in turn, as a
    // query string (copied) and as a POST body (read into a buffer): each
    // entry is an allocation of its own, and a failing one leaves the
    // entries before it, whole and in order. (The input limit is tried end
    // to end, against the limit of the programs under test.)
    const std::string form = "application/x-www-form-urlencoded";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(parsed(parseText(row.input)), Parsed(cgiParseSuccess, row.fields));
        sweep(cgiParseSuccess, {cgiParseMemory}, [&] { return parseText(row.input); }, snapshot, cgiFreeResources);
        sweep(cgiParseSuccess, {cgiParseMemory}, [&] { return post(row.input, 0, form); }, snapshot, cgiFreeResources);
    }
    // Decoding works a word at a time where it can: an escape, a '+' or the
    // end of a value at every offset within and across words.
    for (size_t k = 0; k < 20; ++k) {
        const std::string pad(k, 'a'), tail(19 - k, 'b');
        EXPECT_EQ(parsed(parseText("x=" + pad + "%41" + tail + "+" + pad + "&p=" + pad + "+++" + tail + "&e=" + pad +
                                   "%4" + "&z=" + pad + "%00" + tail)),
                  Parsed(cgiParseSuccess, {{"x", pad + "A" + tail + " " + pad}, {"p", pad + "   " + tail}, {"e", pad},
                                           {"z", pad}})) << "offset " << k;
    }
    // Only the given length is parsed; a search walks the repeated names (as
    // they are written), then stays done. A long list is searched through a
    // name index, made at its first search and forgotten when the list grows,
    // or walked when there is no memory for the index.
    std::string filler, crafted, blocks[3][8];
    for (int i = 0; i < 20; ++i)
        filler += "&f" + std::to_string(i) + "=";
    // 512 names on which an unkeyed FNV-1a agrees in its low 14 bits, all
    // for one slot: those bits of its state hang on nothing above them, so
    // three sets of blocks, each taking one state to one next, chain into them.
    std::uint32_t from = 2166136261u;
    for (auto &set : blocks) {
        std::uint32_t to = 0;
        for (std::uint32_t i = 0, n = 0; n < 8; ++i) {
            std::uint32_t h = from;
            for (char c : "x" + std::to_string(i))
                h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
            if (n == 0 || ((h ^ to) & 0x3fff) == 0)
                set[n++] = "x" + std::to_string(i), to = h;
        }
        from = to;
    }
    for (auto &a : blocks[0])
        for (auto &b : blocks[1])
            for (auto &c : blocks[2])
                crafted += "&" + a + b + c + "=";
    const struct { const char *label; std::string more; long failAt; } lists[] = {
        {"a short list", "", 0},
        {"a long list", filler, 0},
        {"a long list without memory for the index", filler, 1},
        {"a long list of names crafted for one slot of an unkeyed hash", crafted, 0},
    };
    for (const auto &list : lists) {
        cgiFreeResources();
        const std::string input = "c=1&d=x&c=2&C=9&cc=8&c=3" + list.more + "&e=5";
        ASSERT_EQ(cgiParseFormInput(input.c_str(), static_cast<int>(input.size()) - 4), cgiParseSuccess);
        cgiAllocFailAt(list.failAt);
        auto values = [](const char *name) {
            std::string seen;
            for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext())
                seen += e->value;
            return seen;
        };
        EXPECT_EQ(values("c"), "123") << list.label;
        EXPECT_LT(cgiNameIndexLongestRun(), 64u) << list.label << ": slots a search may look at";
        EXPECT_EQ(cgiFormEntryFindNext(), nullptr) << list.label;
        EXPECT_STREQ(cgiFormEntryFindFirst("c")->value, "1") << list.label << ": a new search starts over";
        EXPECT_EQ(cgiFormEntryFindFirst("e"), nullptr) << list.label;
        cgiAllocFailAt(0);
        ASSERT_EQ(cgiParseFormInput("c=4&e=6", 7), cgiParseSuccess);
        EXPECT_EQ(values("c") + values("e"), "12346") << list.label << ": the list grew";
    }
}
