// Uploaded file access.
#include <unistd.h>

#include "fixture.h"

using Files = Request;

// A file's size and contents, through two handles that read independently
// from the beginning; a failed open leaves a null handle. By name alone (the
// first field of the name), or the index-th upload of a name.
TEST_F(Files, SizesAndHandles) {
    postUploads();
    auto open = [](const char *field, std::optional<int> at = {}) {
        cgiFilePtr h = reinterpret_cast<cgiFilePtr>(1);
        const cgiFormResultType r = at ? cgiFormFileOpenAt(field, *at, &h) : cgiFormFileOpen(field, &h);
        return std::make_pair(r, h);
    };
    auto size = [](auto f, auto i, int *n) { return i ? cgiFormFileSizeAt(f, *i, n) : cgiFormFileSize(f, n); };
    const auto found = cgiFormSuccess, none = cgiFormNotFound, notFile = cgiFormNotAFile;
    const struct { const char *field; cgiFormResultType result; int size; std::string contents;
                   std::optional<int> at = {}; } rows[] = {
        {"big", found, 20000, big_}, {"f", found, 5, "first"}, {"f", found, 1, "2", 1}, // the two under one name
        {"zero", found, 0, ""},      {"text", notFile, 0, ""},  {"missing", none, 0, ""}, {"f", none, 0, "", 2},
        // "mix": a value, then two uploads; by name alone, the value.
        {"mix", notFile, 0, ""}, {"mix", found, 3, "one", 0}, {"mix", found, 4, "four", 1}, {"f", none, 0, "", -1},
    };
    // How many uploads a name has.
    auto count = [](const char *field) { int n = -1; return std::make_pair(cgiFormFileCount(field, &n), n); };
    EXPECT_EQ(std::vector({count("f"), count("mix"), count("text"), count("missing")}),
              std::vector({std::pair(found, 2), std::pair(found, 2), std::pair(notFile, 0), std::pair(none, 0)}));
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.field) + (row.at ? " #" + std::to_string(*row.at) : ""));
        int n = -1;
        const cgiFormResultType bare = size(row.field, row.at, nullptr), sized = size(row.field, row.at, &n);
        const auto [opened, a] = open(row.field, row.at);
        EXPECT_EQ(std::make_tuple(bare, sized, n, opened, !a),
                  std::make_tuple(row.result, row.result, row.size, row.result, row.result != cgiFormSuccess));
        if (row.result != cgiFormSuccess)
            continue;
        const cgiFilePtr b = open(row.field, row.at).second;
        std::string got;
        char buf[1024];
        while (cgiFormFileRead(a, buf, sizeof buf, &n) == cgiFormSuccess)
            got.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(cgiFormFileRead(b, buf, 0, &n), cgiFormEOF);
        EXPECT_EQ(cgiFormFileRead(b, buf, 3, &(n = 0)), row.size ? cgiFormSuccess : cgiFormEOF);
        EXPECT_EQ(got + "|" + std::string(buf, static_cast<size_t>(n)), row.contents + "|" + row.contents.substr(0, 3));
        EXPECT_TRUE(cgiFormFileClose(a) == cgiFormSuccess && cgiFormFileClose(b) == cgiFormSuccess);
    }
    cgiAllocFailAt(1); // no memory for a handle, by name or by index
    EXPECT_EQ(std::vector({open("big"), open("f", 1)}), std::vector(2, std::pair(cgiFormMemory, cgiFilePtr())));
    cgiAllocFailAt(0);
    unlink(cgiFormEntryFindFirst("big")->tfileName);
    EXPECT_EQ(open("big"), std::make_pair(cgiFormIO, cgiFilePtr())) << "the file is gone";
    int n = 7;
    const cgiFormResultType readNull = cgiFormFileRead(nullptr, nullptr, 1, &n), closeNull = cgiFormFileClose(nullptr);
    EXPECT_EQ(std::make_tuple(readNull, n, closeNull), std::make_tuple(cgiFormOpenFailed, 7, cgiFormOpenFailed))
        << "no count on a failed read";
}
