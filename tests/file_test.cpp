// Uploaded file access.
#include <unistd.h>

#include "fixture.h"

using namespace cgitest;
using Files = Request;

TEST_F(Files, NamesAndTypesAreCopiedWithTruncationReported) {
    postUploads();
    const struct { const char *field; bool type; int space; std::string expect; cgiFormResultType result; } rows[] = {
        {"f", false, 10, "abcdefghi", cgiFormTruncated}, {"f", false, 11, "abcdefghij", cgiFormSuccess},
        {"f", false, 1, "", cgiFormTruncated},           {"text", false, 16, "", cgiFormNoFileName},
        {"missing", false, 16, "", cgiFormNotFound},     {"f", true, 16, "image/png", cgiFormSuccess},
        {"f", true, 6, "image", cgiFormTruncated},       {"untyped", true, 16, "", cgiFormNoContentType},
        {"missing", true, 16, "", cgiFormNotFound},
        {"f", false, 0, std::string(31, '#'), cgiFormTruncated}, // not even the NUL fits: nothing is written
    };
    for (const auto &row : rows) {
        char buf[32] = {};
        std::memset(buf, '#', 31);
        const auto r = (row.type ? cgiFormFileContentType : cgiFormFileName)(row.field, buf, row.space);
        EXPECT_EQ(std::make_tuple(r, std::string(buf), buf[row.space]), std::make_tuple(row.result, row.expect, '#'))
            << row.field << (row.type ? " type " : " name ") << row.space;
    }
}

TEST_F(Files, SizesAndHandles) {
    postUploads();
    const struct { const char *field; cgiFormResultType result; int size; std::string contents; } rows[] = {
        {"big", cgiFormSuccess, 20000, big_}, {"f", cgiFormSuccess, 5, "first"}, // the first of two under one name
        {"zero", cgiFormSuccess, 0, ""},      {"text", cgiFormNotAFile, 0, ""}, {"missing", cgiFormNotFound, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field);
        int size = -1, n = 0;
        cgiFilePtr a = reinterpret_cast<cgiFilePtr>(1), b = nullptr;
        EXPECT_EQ(cgiFormFileSize(row.field, nullptr), row.result);
        EXPECT_EQ(cgiFormFileSize(row.field, &size), row.result);
        EXPECT_EQ(size, row.size);
        EXPECT_EQ(cgiFormFileOpen(row.field, &a), row.result);
        if (row.result != cgiFormSuccess) {
            EXPECT_EQ(a, nullptr);
            continue;
        }
        ASSERT_EQ(cgiFormFileOpen(row.field, &b), cgiFormSuccess); // from the beginning again
        std::string got;
        char buf[1024];
        while (cgiFormFileRead(a, buf, sizeof buf, &n) == cgiFormSuccess)
            got.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(cgiFormFileRead(b, buf, 0, &n), cgiFormEOF);
        EXPECT_EQ(cgiFormFileRead(b, buf, 3, &(n = 0)), row.size ? cgiFormSuccess : cgiFormEOF);
        EXPECT_EQ(got + "|" + std::string(buf, static_cast<size_t>(n)), row.contents + "|" + row.contents.substr(0, 3));
        EXPECT_EQ(cgiFormFileClose(a), cgiFormSuccess);
        EXPECT_EQ(cgiFormFileClose(b), cgiFormSuccess);
    }
    // An open that fails leaves a null handle: no memory, or the file is gone.
    cgiFilePtr h = reinterpret_cast<cgiFilePtr>(1);
    cgiAllocFailAt(1);
    EXPECT_EQ(cgiFormFileOpen("big", &h), cgiFormMemory);
    cgiAllocFailAt(0);
    EXPECT_EQ(h, nullptr);
    unlink(cgiFormEntryFindFirst("big")->tfileName);
    EXPECT_EQ(cgiFormFileOpen("big", &(h = reinterpret_cast<cgiFilePtr>(1))), cgiFormIO);
    EXPECT_EQ(h, nullptr);
    int n = 7;
    EXPECT_EQ(cgiFormFileRead(nullptr, nullptr, 1, &n), cgiFormOpenFailed);
    EXPECT_EQ(n, 7) << "no count on a failed read";
    EXPECT_EQ(cgiFormFileClose(nullptr), cgiFormOpenFailed);
}
