// Single-value field access.
#include <cmath>

#include "fixture.h"

using namespace cgitest;

using Fields = Request;

TEST_F(Fields, StringsNormaliseOrDropLineBreaksAndTruncate) {
    // CR is %0D and LF is %0A; 'n' is sent twice.
    ASSERT_EQ(parseText("hello=hello+world&crlf=a%0D%0Ab&crlfcrlf=a%0D%0A%0D%0Ab&lfcr=a%0A%0Db&crcrlf=a%0D%0D%0Ab"
                        "&trail=x%0D%0A&only=%0D%0A&empty=&n=first&n=second"),
              cgiParseSuccess);
    const struct { const char *name; int max, newlines; std::string expect; cgiFormResultType result; } rows[] = {
        {"hello", 6, 1, "hello", cgiFormTruncated},  {"hello", 12, 1, "hello world", cgiFormSuccess},
        {"hello", 1, 1, "", cgiFormTruncated},       {"empty", 10, 1, "", cgiFormEmpty},
        {"empty", 10, 0, "", cgiFormEmpty},          {"crlf", 10, 1, "a\nb", cgiFormSuccess},
        {"crlf", 10, 0, "ab", cgiFormSuccess},       {"crlfcrlf", 10, 1, "a\n\nb", cgiFormSuccess},
        {"lfcr", 10, 1, "a\nb", cgiFormSuccess},     {"crcrlf", 10, 1, "a\n\nb", cgiFormSuccess},
        {"trail", 10, 1, "x\n", cgiFormSuccess},     {"trail", 10, 0, "x", cgiFormSuccess},
        {"trail", 2, 1, "x", cgiFormTruncated},      {"only", 10, 1, "\n", cgiFormSuccess},
        {"only", 10, 0, "", cgiFormEmpty},           {"only", 1, 1, "", cgiFormTruncated},
        {"crlfcrlf", 3, 1, "a\n", cgiFormTruncated}, {"n", 10, 1, "first", cgiFormSuccess},
        {"missing", 10, 1, "", cgiFormNotFound},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " max " + std::to_string(row.max) + (row.newlines ? "" : " no newlines"));
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        auto read = row.newlines ? cgiFormString : cgiFormStringNoNewlines;
        EXPECT_EQ(read(row.name, buf, row.max), row.result);
        EXPECT_EQ(std::string(buf), row.expect);
        EXPECT_EQ(buf[row.max], '#') << "wrote beyond max";
    }
    // The space needed counts the raw bytes (and the NUL); a checkbox is its field's presence.
    const struct { const char *name; cgiFormResultType result; int space; } others[] = {
        {"crlf", cgiFormSuccess, 5}, {"empty", cgiFormSuccess, 1}, {"n", cgiFormSuccess, 6},
        {"missing", cgiFormNotFound, 1}, {"Empty", cgiFormNotFound, 1}};
    for (const auto &row : others) {
        int n = 99;
        EXPECT_EQ(cgiFormStringSpaceNeeded(row.name, &n), row.result) << row.name;
        EXPECT_EQ(n, row.space) << row.name;
        EXPECT_EQ(cgiFormCheckboxSingle(row.name), row.result) << row.name;
    }
}

// Integers read like atoi, bounded to [0, 10]; doubles like atof, bounded to
// [-1, 1]. The defaults (99 and 9.5) are never bounded.
TEST_F(Fields, NumbersWithDefaultsAndBounds) {
    const struct { std::string value; double read; cgiFormResultType result; double bounded;
                   cgiFormResultType boundedResult; bool isDouble; } rows[] = {
        {"42", 42, cgiFormSuccess, 10, cgiFormConstrained, false},
        {"%2B%207", 0, cgiFormSuccess, 0, cgiFormSuccess, false}, // "+ 7": a sign, then no digit
        {"%2B7", 7, cgiFormSuccess, 7, cgiFormSuccess, false},
        {"%20%0A42", 42, cgiFormSuccess, 10, cgiFormConstrained, false},
        {"12abc", 12, cgiFormSuccess, 10, cgiFormConstrained, false},
        {"3.9", 3, cgiFormSuccess, 3, cgiFormSuccess, false},
        {"-", 0, cgiFormSuccess, 0, cgiFormSuccess, false},
        {"-3", -3, cgiFormSuccess, 0, cgiFormConstrained, false},
        {"abc", 99, cgiFormBadType, 99, cgiFormBadType, false},
        {"+++", 99, cgiFormBadType, 99, cgiFormBadType, false},  // three blanks
        {"%0B5", 99, cgiFormBadType, 99, cgiFormBadType, false}, // vertical tab is not blank here
        {"", 99, cgiFormEmpty, 99, cgiFormEmpty, false},
        {"2147483647", 2147483647, cgiFormSuccess, 10, cgiFormConstrained, false}, // saturated beyond int
        {"2147483648", 2147483647, cgiFormSuccess, 10, cgiFormConstrained, false},
        {"99999999999", 2147483647, cgiFormSuccess, 10, cgiFormConstrained, false},
        {"-2147483648", -2147483648.0, cgiFormSuccess, 0, cgiFormConstrained, false},
        {"-99999999999", -2147483648.0, cgiFormSuccess, 0, cgiFormConstrained, false},
        {".5", 0.5, cgiFormSuccess, 0.5, cgiFormSuccess, true},
        {"-1e3", -1000, cgiFormSuccess, -1, cgiFormConstrained, true},
        {"1%2C5", 1, cgiFormSuccess, 1, cgiFormSuccess, true}, // "1,5"
        {"e3", 9.5, cgiFormBadType, 9.5, cgiFormBadType, true},
        {"nan", 9.5, cgiFormBadType, 9.5, cgiFormBadType, true}, // 'n' can't begin a number
        {"", 9.5, cgiFormEmpty, 9.5, cgiFormEmpty, true},
        {"-nan", NAN, cgiFormSuccess, NAN, cgiFormSuccess, true}, // not a number passes both bounds
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

