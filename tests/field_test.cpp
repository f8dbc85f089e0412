// Single-value field access.
#include <cmath>
#include <cstring>

#include "fixture.h"

namespace cgitest {
namespace {

class Fields : public Request {
protected:
    void SetUp() override {
        Request::SetUp();
        // CR is %0D and LF is %0A; 'n' is sent twice.
        ASSERT_EQ(parseText("hello=hello+world&crlf=a%0D%0Ab&crlfcrlf=a%0D%0A%0D%0Ab"
                            "&lfcr=a%0A%0Db&crcrlf=a%0D%0D%0Ab&trail=x%0D%0A&only=%0D%0A"
                            "&empty=&blanks=+++&n=first&n=second&file=z"),
                  cgiParseSuccess);
    }
};

struct StringRow {
    const char *name;
    int max;
    int newlines;
    std::string expect;
    cgiFormResultType result;
};

TEST_F(Fields, StringsNormaliseOrDropLineBreaksAndTruncate) {
    const StringRow rows[] = {
        {"hello", 6, 1, "hello", cgiFormTruncated},
        {"hello", 11, 1, "hello worl", cgiFormTruncated},
        {"hello", 12, 1, "hello world", cgiFormSuccess},
        {"hello", 1, 1, "", cgiFormTruncated},
        {"empty", 1, 1, "", cgiFormEmpty},
        {"empty", 10, 0, "", cgiFormEmpty},
        {"crlf", 10, 1, "a\nb", cgiFormSuccess},
        {"crlf", 10, 0, "ab", cgiFormSuccess},
        {"crlfcrlf", 10, 1, "a\n\nb", cgiFormSuccess},
        {"lfcr", 10, 1, "a\nb", cgiFormSuccess},
        {"crcrlf", 10, 1, "a\n\nb", cgiFormSuccess},
        {"trail", 10, 1, "x\n", cgiFormSuccess},
        {"trail", 10, 0, "x", cgiFormSuccess},
        {"trail", 2, 1, "x", cgiFormTruncated},
        {"only", 10, 1, "\n", cgiFormSuccess},
        {"only", 10, 0, "", cgiFormEmpty},
        {"only", 1, 1, "", cgiFormTruncated},
        {"crlfcrlf", 3, 1, "a\n", cgiFormTruncated},
        {"n", 10, 1, "first", cgiFormSuccess},
        {"missing", 10, 1, "", cgiFormNotFound},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " max " + std::to_string(row.max));
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        cgiFormResultType r = row.newlines ? cgiFormString(row.name, buf, row.max)
                                           : cgiFormStringNoNewlines(row.name, buf, row.max);
        EXPECT_EQ(r, row.result);
        EXPECT_EQ(std::string(buf), row.expect);
        EXPECT_EQ(buf[row.max], '#') << "wrote beyond max";
    }
}

TEST_F(Fields, SpaceNeededCountsTheRawValue) {
    int n = 0;
    EXPECT_EQ(cgiFormStringSpaceNeeded("crlf", &n), cgiFormSuccess);
    EXPECT_EQ(n, 5) << "a CR LF b: 4 bytes and the NUL, before normalisation";
    char buf[5];
    EXPECT_EQ(cgiFormString("crlf", buf, n), cgiFormSuccess);
    EXPECT_EQ(cgiFormStringSpaceNeeded("empty", &n), cgiFormSuccess);
    EXPECT_EQ(n, 1);
    n = 99;
    EXPECT_EQ(cgiFormStringSpaceNeeded("missing", &n), cgiFormNotFound);
    EXPECT_EQ(n, 1);
}

TEST_F(Fields, IntegersReadLikeAtoiWithDefaultsAndBounds) {
    struct Row {
        const char *value;
        int expect;
        cgiFormResultType result;
        int boundedExpect;
        cgiFormResultType boundedResult;
    } rows[] = {
        // value, cgiFormInteger (default 99), then bounded to [0, 10]
        {"42", 42, cgiFormSuccess, 10, cgiFormConstrained},
        {"%2B%207", 0, cgiFormSuccess, 0, cgiFormSuccess}, // "+ 7": a sign, then no digit
        {"%2B7", 7, cgiFormSuccess, 7, cgiFormSuccess}, // "+7"
        {"%20%0A42", 42, cgiFormSuccess, 10, cgiFormConstrained},
        {"12abc", 12, cgiFormSuccess, 10, cgiFormConstrained},
        {"3.9", 3, cgiFormSuccess, 3, cgiFormSuccess},
        {"-", 0, cgiFormSuccess, 0, cgiFormSuccess},
        {"-3", -3, cgiFormSuccess, 0, cgiFormConstrained},
        {"abc", 99, cgiFormBadType, 99, cgiFormBadType},
        {"+++", 99, cgiFormBadType, 99, cgiFormBadType}, // three blanks
        {"%0B5", 99, cgiFormBadType, 99, cgiFormBadType}, // vertical tab is not blank here
        {"", 99, cgiFormEmpty, 99, cgiFormEmpty},
        {"99999999999", 2147483647, cgiFormSuccess, 10, cgiFormConstrained},
        {"-99999999999", -2147483647 - 1, cgiFormSuccess, 0, cgiFormConstrained},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        cgiFreeResources();
        ASSERT_EQ(parseText(std::string("i=") + row.value + "&i=1"), cgiParseSuccess);
        int v = -1;
        EXPECT_EQ(cgiFormInteger("i", &v, 99), row.result);
        EXPECT_EQ(v, row.expect);
        v = -1;
        EXPECT_EQ(cgiFormIntegerBounded("i", &v, 0, 10, 99), row.boundedResult);
        EXPECT_EQ(v, row.boundedExpect);
    }
    int v = -1;
    EXPECT_EQ(cgiFormInteger("missing", &v, 5), cgiFormNotFound);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(cgiFormIntegerBounded("missing", &v, 0, 3, 50), cgiFormNotFound);
    EXPECT_EQ(v, 50) << "the default is not clamped";
}

TEST_F(Fields, DoublesReadLikeAtof) {
    struct Row {
        const char *value;
        double expect;
        cgiFormResultType result;
        double boundedExpect;
        cgiFormResultType boundedResult;
    } rows[] = {
        // value, cgiFormDouble (default 9.5), then bounded to [-1, 1]
        {".5", 0.5, cgiFormSuccess, 0.5, cgiFormSuccess},
        {"-1e3", -1000, cgiFormSuccess, -1, cgiFormConstrained},
        {"1%2C5", 1, cgiFormSuccess, 1, cgiFormSuccess}, // "1,5"
        {"2.5", 2.5, cgiFormSuccess, 1, cgiFormConstrained},
        {"e3", 9.5, cgiFormBadType, 9.5, cgiFormBadType},
        {"", 9.5, cgiFormEmpty, 9.5, cgiFormEmpty},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        cgiFreeResources();
        ASSERT_EQ(parseText(std::string("d=") + row.value), cgiParseSuccess);
        double v = -7;
        EXPECT_EQ(cgiFormDouble("d", &v, 9.5), row.result);
        EXPECT_DOUBLE_EQ(v, row.expect);
        v = -7;
        EXPECT_EQ(cgiFormDoubleBounded("d", &v, -1, 1, 9.5), row.boundedResult);
        EXPECT_DOUBLE_EQ(v, row.boundedExpect);
    }
    // Not-a-number passes both bound tests.
    cgiFreeResources();
    ASSERT_EQ(parseText("d=nan"), cgiParseSuccess);
    double v = 0;
    EXPECT_EQ(cgiFormDouble("d", &v, 0), cgiFormBadType) << "'n' is not a number's first character";
    cgiFreeResources();
    ASSERT_EQ(parseText("d=-nan"), cgiParseSuccess);
    EXPECT_EQ(cgiFormDoubleBounded("d", &v, -1, 1, 0), cgiFormSuccess);
    EXPECT_TRUE(std::isnan(v));
}

TEST_F(Fields, CheckboxIsPresenceAndRepeatedFieldsReadTheFirst) {
    EXPECT_EQ(cgiFormCheckboxSingle("empty"), cgiFormSuccess);
    EXPECT_EQ(cgiFormCheckboxSingle("missing"), cgiFormNotFound);
    EXPECT_EQ(cgiFormCheckboxSingle("Empty"), cgiFormNotFound);
    int n = 0;
    EXPECT_EQ(cgiFormStringSpaceNeeded("n", &n), cgiFormSuccess);
    EXPECT_EQ(n, 6);
    char buf[16];
    EXPECT_EQ(cgiFormStringNoNewlines("n", buf, sizeof buf), cgiFormSuccess);
    EXPECT_STREQ(buf, "first");
}

TEST(FirstNonspace, SkipsOnlySpaceTabCrLf) {
    EXPECT_EQ(cgiFirstNonspaceChar(" \t\r\nx"), 'x');
    EXPECT_EQ(cgiFirstNonspaceChar(" \v1"), '\v');
    EXPECT_EQ(cgiFirstNonspaceChar("  "), 0);
    EXPECT_EQ(cgiFirstNonspaceChar("\xe9"), 0xe9);
}

} // namespace
} // namespace cgitest
