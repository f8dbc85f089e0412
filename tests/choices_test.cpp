// Multi-value and choice field access; the array builders under every
// allocation failure.
#include "fixture.h"

using Choices = Request;

TEST_F(Choices, EveryValueAndEveryName) {
    const std::string few = "color=red&size=L&color=blue&note=a%0D%0Ab&color=&Color=x";
    std::string many;
    std::vector<std::string> names;
    for (int i = 0; i < 500; ++i)
        many += "f" + std::to_string(i % 300) + "=x&";
    for (int i = 0; i < 300; ++i)
        names.push_back("f" + std::to_string(i));
    // Every name (no name given) of no fields, of many (a table of names that grows), of a few.
    const struct { std::string input; const char *name; std::vector<std::string> all;
                   cgiFormResultType result = cgiFormSuccess; } rows[] = {
        {"", nullptr, {}}, {many, nullptr, names}, {few, nullptr, {"color", "size", "note", "Color"}},
        {few, "note", {"a\nb"}}, {few, "color", {"red", "blue", ""}},
        {few, "missing", {}, cgiFormNotFound}, // still an (empty) array
    };
    for (const auto &row : rows) {
        ASSERT_EQ(parseText(row.input), cgiParseSuccess);
        auto build = [&](char ***a) { return row.name ? cgiFormStringMultiple(row.name, a) : cgiFormEntries(a); };
        EXPECT_EQ(buildArray(build), std::make_pair(row.result, row.all)) << (row.name ? row.name : "every name");
        cgiFreeResources();
    }
}

TEST_F(Choices, SingleAndMultipleChoices) {
    const char *const colors[] = {"red", "green", "blue", "red"};
    ASSERT_EQ(parseText("one=green&one=blue&cap=Red&many=red&many=red&many=purple&many=blue&dup=red"), cgiParseSuccess);
    // The choice of the first value (the default is 9), then of every value.
    const struct { const char *name; int total, index; cgiFormResultType single, multiple; std::vector<int> flags;
                   int invalid; } rows[] = {
        {"one", 4, 1, cgiFormSuccess, cgiFormSuccess, {0, 1, 1, 0}, 0},
        {"cap", 4, 9, cgiFormNoSuchChoice, cgiFormNotFound, {0, 0, 0, 0}, 1}, // letter case matters
        {"dup", 4, 0, cgiFormSuccess, cgiFormSuccess, {1, 0, 0, 0}, 0},       // the lower of two equal choices
        {"many", 4, 0, cgiFormSuccess, cgiFormSuccess, {1, 0, 1, 0}, 1},
        {"one", 0, 9, cgiFormNoSuchChoice, cgiFormNotFound, {}, 2},
        {"missing", 4, 9, cgiFormNotFound, cgiFormNotFound, {0, 0, 0, 0}, 0},
    };
    // A select list and a group of radio buttons or checkboxes read alike.
    const auto forms = {std::make_pair(cgiFormSelectSingle, cgiFormSelectMultiple),
                        std::make_pair(cgiFormRadio, cgiFormCheckboxMultiple)};
    for (const auto &row : rows)
        for (const auto &[single, multiple] : forms) {
            int index = -1, flags[4] = {7, 7, 7, 7}, invalid = -1;
            const cgiFormResultType one = single(row.name, colors, row.total, &index, 9),
                                    every = multiple(row.name, colors, row.total, flags, &invalid);
            EXPECT_EQ(std::make_tuple(one, index, every, std::vector<int>(flags, flags + row.total), invalid),
                      std::make_tuple(row.single, row.index, row.multiple, row.flags, row.invalid))
                << row.name << " of " << row.total << (single == cgiFormRadio ? " as buttons" : " as a list");
        }
}
