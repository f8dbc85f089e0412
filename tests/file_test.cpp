// Uploaded file access.
#include <unistd.h>

#include "fixture.h"

using Files = Request;

// A file's size and contents, through two handles that read independently
// from the beginning; a failed open leaves a null handle.
TEST_F(Files, SizesAndHandles) {
    postUploads();
    auto open = [](const char *field) {
        cgiFilePtr h = reinterpret_cast<cgiFilePtr>(1);
        const cgiFormResultType r = cgiFormFileOpen(field, &h);
        return std::make_pair(r, h);
    };
    const struct { const char *field; cgiFormResultType result; int size; std::string contents; } rows[] = {
        {"big", cgiFormSuccess, 20000, big_}, {"f", cgiFormSuccess, 5, "first"}, // the first of two under one name
        {"zero", cgiFormSuccess, 0, ""},      {"text", cgiFormNotAFile, 0, ""}, {"missing", cgiFormNotFound, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field);
        int size = -1, n = 0;
        const cgiFormResultType bare = cgiFormFileSize(row.field, nullptr), sized = cgiFormFileSize(row.field, &size);
        const auto [opened, a] = open(row.field);
        EXPECT_EQ(std::make_tuple(bare, sized, size, opened, !a),
                  std::make_tuple(row.result, row.result, row.size, row.result, row.result != cgiFormSuccess));
        if (row.result != cgiFormSuccess)
            continue;
        const cgiFilePtr b = open(row.field).second;
        std::string got;
        char buf[1024];
        while (cgiFormFileRead(a, buf, sizeof buf, &n) == cgiFormSuccess)
            got.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(cgiFormFileRead(b, buf, 0, &n), cgiFormEOF);
        EXPECT_EQ(cgiFormFileRead(b, buf, 3, &(n = 0)), row.size ? cgiFormSuccess : cgiFormEOF);
        EXPECT_EQ(got + "|" + std::string(buf, static_cast<size_t>(n)), row.contents + "|" + row.contents.substr(0, 3));
        EXPECT_TRUE(cgiFormFileClose(a) == cgiFormSuccess && cgiFormFileClose(b) == cgiFormSuccess);
    }
    cgiAllocFailAt(1);
    EXPECT_EQ(open("big"), std::make_pair(cgiFormMemory, cgiFilePtr())) << "no memory";
    cgiAllocFailAt(0);
    unlink(cgiFormEntryFindFirst("big")->tfileName);
    EXPECT_EQ(open("big"), std::make_pair(cgiFormIO, cgiFilePtr())) << "the file is gone";
    int n = 7;
    const cgiFormResultType readNull = cgiFormFileRead(nullptr, nullptr, 1, &n), closeNull = cgiFormFileClose(nullptr);
    EXPECT_EQ(std::make_tuple(readNull, n, closeNull), std::make_tuple(cgiFormOpenFailed, 7, cgiFormOpenFailed))
        << "no count on a failed read";
}
