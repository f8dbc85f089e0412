// Multi-value and choice field access.
#include "fixture.h"

namespace cgitest {
namespace {

using Choices = Request;

const char *const kColors[] = {"red", "green", "blue", "red"};

TEST_F(Choices, EveryValueAndEveryName) {
    ASSERT_EQ(parseText("color=red&size=L&color=blue&note=a%0D%0Ab&color=&Color=x"), cgiParseSuccess);
    char **a = nullptr;
    EXPECT_EQ(cgiFormStringMultiple("color", &a), cgiFormSuccess);
    EXPECT_EQ(strings(a), (std::vector<std::string>{"red", "blue", ""}));
    cgiStringArrayFree(a);
    EXPECT_EQ(cgiFormStringMultiple("note", &a), cgiFormSuccess);
    EXPECT_EQ(strings(a), (std::vector<std::string>{"a\nb"}));
    cgiStringArrayFree(a);
    EXPECT_EQ(cgiFormStringMultiple("missing", &a), cgiFormNotFound);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[0], nullptr);
    cgiStringArrayFree(a);
    EXPECT_EQ(cgiFormEntries(&a), cgiFormSuccess);
    EXPECT_EQ(strings(a), (std::vector<std::string>{"color", "size", "note", "Color"}));
    cgiStringArrayFree(a);
}

TEST_F(Choices, NamesOfManyFieldsKeepTheirFirstOrder) {
    std::string input;
    std::vector<std::string> expect;
    for (int i = 0; i < 500; ++i) {
        input += "f" + std::to_string(i % 300) + "=x&";
        if (i < 300)
            expect.push_back("f" + std::to_string(i));
    }
    ASSERT_EQ(parseText(input), cgiParseSuccess);
    char **a = nullptr;
    ASSERT_EQ(cgiFormEntries(&a), cgiFormSuccess);
    EXPECT_EQ(strings(a), expect);
    cgiStringArrayFree(a);
    cgiFreeResources();
    ASSERT_EQ(cgiFormEntries(&a), cgiFormSuccess) << "no fields at all";
    EXPECT_EQ(a[0], nullptr);
    cgiStringArrayFree(a);
}

TEST_F(Choices, SingleAndMultipleChoices) {
    ASSERT_EQ(parseText("one=green&one=blue&cap=Red&many=red&many=red&many=purple&many=blue&bad=purple"),
              cgiParseSuccess);
    int index = -1;
    EXPECT_EQ(cgiFormSelectSingle("one", kColors, 4, &index, 9), cgiFormSuccess);
    EXPECT_EQ(index, 1) << "the first value only";
    EXPECT_EQ(cgiFormRadio("cap", kColors, 4, &index, 9), cgiFormNoSuchChoice);
    EXPECT_EQ(index, 9) << "letter case matters";
    EXPECT_EQ(cgiFormSelectSingle("missing", kColors, 4, &index, 7), cgiFormNotFound);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(cgiFormSelectSingle("one", kColors, 0, &index, 5), cgiFormNoSuchChoice);
    ASSERT_EQ(parseText("dup=red"), cgiParseSuccess);
    EXPECT_EQ(cgiFormSelectSingle("dup", kColors, 4, &index, 5), cgiFormSuccess);
    EXPECT_EQ(index, 0) << "the lower of two equal choices";

    int flags[4] = {7, 7, 7, 7};
    int invalid = -1;
    EXPECT_EQ(cgiFormSelectMultiple("many", kColors, 4, flags, &invalid), cgiFormSuccess);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_EQ(invalid, 1);
    EXPECT_EQ(cgiFormCheckboxMultiple("bad", kColors, 4, flags, &invalid), cgiFormNotFound);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(invalid, 1);
    invalid = -1;
    EXPECT_EQ(cgiFormSelectMultiple("missing", kColors, 4, flags, &invalid), cgiFormNotFound);
    EXPECT_EQ(invalid, 0);
}

// Every allocation of the array builders fails in turn: the result is
// cgiFormMemory with a null array, and nothing stays allocated.
TEST_F(Choices, ArrayBuildersReleaseEverythingWhenMemoryRunsOut) {
    ASSERT_EQ(parseText("c=1&d=2&c=3&e=4&c=5"), cgiParseSuccess);
    cgiHeaderContentType("x/y"); // no allocation; keeps the output stream in use
    for (int which = 0; which < 2; ++which) {
        int failures = 0;
        for (long n = 1; n < 50; ++n) {
            SCOPED_TRACE(std::to_string(which) + " failing allocation " + std::to_string(n));
            long before = cgiAllocLive();
            char **a = reinterpret_cast<char **>(1);
            cgiAllocFailAt(n);
            cgiFormResultType r = which == 0 ? cgiFormStringMultiple("c", &a) : cgiFormEntries(&a);
            cgiAllocFailAt(0);
            if (r == cgiFormSuccess) {
                cgiStringArrayFree(a);
                EXPECT_EQ(cgiAllocLive(), before);
                break;
            }
            EXPECT_EQ(r, cgiFormMemory);
            EXPECT_EQ(a, nullptr);
            EXPECT_EQ(cgiAllocLive(), before);
            ++failures;
        }
        EXPECT_GE(failures, 4);
    }
}

} // namespace
} // namespace cgitest
