// Single-value field access.
#include <cmath>

#include "fixture.h"

using Fields = Request;

// The file name of the i-th upload of a name, as a reader by name.
template <int i> auto FAt(const char *n, char *r, int m) noexcept { return cgiFormFileNameAt(n, i, r, m); }

// A field's value, and an upload's file name and content type, copied into
// a buffer of `max` bytes: line breaks normalised (or dropped), cut to fit,
// and never a byte beyond the buffer.
TEST_F(Fields, StringsAndUploadNamesAreCutToTheirBuffers) {
    ASSERT_EQ(post(field("hello", "hello world") + field("crlf", "a\r\nb") + field("crlfcrlf", "a\r\n\r\nb") +
                   field("lfcr", "a\n\rb") + field("crcrlf", "a\r\r\nb") + field("trail", "x\r\n") +
                   field("only", "\r\n") + field("empty", "") + field("n", "first") + field("n", "second") +
                   field("f", "x", "; filename=\"abcdefghij\"", "image/png") + field("hello", "", "; filename=h") +
                   field("f", "y", "; filename=\"0123456789\"", "text/plain") + kEnd),
              cgiParseSuccess);
    // The readers: a value, a value without line breaks, an upload's file name and its content type.
    const auto S = cgiFormString, N = cgiFormStringNoNewlines, F = cgiFormFileName, T = cgiFormFileContentType;
    const struct { decltype(S) read; const char *name; int max; std::string expect; cgiFormResultType result; }
        rows[] = {
        {S, "hello", 6, "hello", cgiFormTruncated},     {S, "hello", 12, "hello world", cgiFormSuccess},
        {S, "hello", 1, "", cgiFormTruncated},          {S, "empty", 10, "", cgiFormEmpty},
        {S, "crlf", 10, "a\nb", cgiFormSuccess},        {N, "crlf", 10, "ab", cgiFormSuccess},
        {S, "crlfcrlf", 10, "a\n\nb", cgiFormSuccess},  {S, "lfcr", 10, "a\nb", cgiFormSuccess},
        {S, "crcrlf", 10, "a\n\nb", cgiFormSuccess},    {S, "trail", 10, "x\n", cgiFormSuccess},
        {S, "trail", 2, "x", cgiFormTruncated},         {S, "only", 10, "\n", cgiFormSuccess},
        {N, "only", 10, "", cgiFormEmpty},              {S, "crlfcrlf", 3, "a\n", cgiFormTruncated},
        {S, "missing", 10, "", cgiFormNotFound},        {F, "f", 10, "abcdefghi", cgiFormTruncated},
        {F, "f", 11, "abcdefghij", cgiFormSuccess},     {F, "f", 1, "", cgiFormTruncated},
        {F, "hello", 16, "", cgiFormNoFileName},        {F, "missing", 16, "", cgiFormNotFound},
        {T, "f", 16, "image/png", cgiFormSuccess},      {T, "hello", 16, "", cgiFormNoContentType},
        {F, "f", 0, std::string(31, '#'), cgiFormTruncated}, // not even the NUL fits: nothing is written
        // The file name of the index-th upload: uploads alone count, in input order (F sees hello's first field).
        {FAt<1>, "f", 10, "012345678", cgiFormTruncated}, {FAt<0>, "hello", 16, "h", cgiFormSuccess},
    };
    for (const auto &row : rows) {
        std::string buf(31, '#');
        const cgiFormResultType r = row.read(row.name, &buf[0], row.max);
        EXPECT_EQ(std::make_tuple(r, buf.c_str(), buf[row.max]), std::make_tuple(row.result, row.expect, '#'))
            << row.name << " in " << row.max << " bytes";
    }
    // The space needed counts the raw bytes (and the NUL); a checkbox is its field's presence.
    const struct { const char *name; cgiFormResultType result; int space; } others[] = {
        {"crlf", cgiFormSuccess, 5}, {"empty", cgiFormSuccess, 1}, {"n", cgiFormSuccess, 6},
        {"missing", cgiFormNotFound, 1}};
    for (const auto &row : others) {
        int n = 99;
        const cgiFormResultType r = cgiFormStringSpaceNeeded(row.name, &n), checkbox = cgiFormCheckboxSingle(row.name);
        EXPECT_EQ(std::make_tuple(r, n, checkbox), std::make_tuple(row.result, row.space, row.result)) << row.name;
    }
}

// Integers read like atoi, bounded to [0, 10]; doubles like atof, bounded to
// [-1, 1]. The defaults (99 and 9.5) are never bounded.
TEST_F(Fields, NumbersWithDefaultsAndBounds) {
    const bool I = false, D = true; // read as an integer, as a double
    const auto moved = cgiFormConstrained, bad = cgiFormBadType, empty = cgiFormEmpty;
    const struct { bool isDouble; std::string value; double read, bounded;
                   cgiFormResultType boundedResult = cgiFormSuccess, result = cgiFormSuccess; } rows[] = {
        {I, "%2B%207", 0, 0}, // "+ 7": a sign, then no digit
        {I, "%2B7", 7, 7}, {I, "%20%0A42", 42, 10, moved}, {I, "12abc", 12, 10, moved}, {I, "-3", -3, 0, moved},
        {I, "%0B5", 99, 99, bad, bad}, // vertical tab is not blank here
        {I, "", 99, 99, empty, empty}, {I, "2147483648", 2147483647, 10, moved}, // saturated beyond int
        {I, "99999999999", 2147483647, 10, moved}, {I, "-2147483648", -2147483648.0, 0, moved},
        {I, "-99999999999", -2147483648.0, 0, moved}, {I, "3.9", 3, 3}, {I, "1e3", 1, 1}, // digits up to the first other byte
        {D, ".5", 0.5, 0.5}, {D, "0x10", 16, 1, moved}, {D, "-inf", -INFINITY, -1, moved}, {D, "-1e3", -1000, -1, moved}, {D, "1%2C5", 1, 1}, // "1,5"
        {D, "nan", 9.5, 9.5, bad, bad}, // 'n' can't begin a number
        {D, "-nan", NAN, NAN}, // not a number passes both bounds
    };
    auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value + (row.isDouble ? " as a double" : ""));
        ASSERT_EQ(parseText("v=" + row.value + "&v=1"), cgiParseSuccess);
        int i = -1;
        double d = -7;
        EXPECT_EQ(row.isDouble ? cgiFormDouble("v", &d, 9.5) : cgiFormInteger("v", &i, 99), row.result);
        EXPECT_PRED2(same, row.isDouble ? d : i, row.read);
        EXPECT_EQ(row.isDouble ? cgiFormDoubleBounded("v", &d, -1, 1, 9.5) : cgiFormIntegerBounded("v", &i, 0, 10, 99),
                  row.boundedResult);
        EXPECT_PRED2(same, row.isDouble ? d : i, row.bounded);
        cgiFreeResources();
    }
}

