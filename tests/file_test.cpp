// Uploaded file access.
#include <string>
#include <unistd.h>

#include "fixture.h"

namespace cgitest {
namespace {

class Files : public Request {
protected:
    void SetUp() override {
        Request::SetUp();
        auto part = [](const std::string &disposition, const std::string &type, const std::string &body) {
            return "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n" +
                   (type.empty() ? "" : "Content-Type: " + type + "\r\n") + "\r\n" + body + "\r\n";
        };
        big_.clear();
        for (int i = 0; i < 2 * 1024 + 452; ++i)
            big_ += static_cast<char>(i * 31);
        const std::string body =
            part("name=f; filename=\"abcdefghij\"", "image/png", "first") +
            part("name=f; filename=second", "", "second file") +
            part("name=big; filename=big.bin", "application/octet-stream", big_) +
            part("name=zero; filename=zero.txt", "", "") + part("name=text", "text/plain", "plain") +
            part("name=untyped", "", "x") + "--XyZ--\r\n";
        ASSERT_EQ(start({{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"},
                         {"CONTENT_LENGTH", std::to_string(body.size())}},
                        body),
                  cgiParseSuccess);
    }
    std::string big_;
};

TEST_F(Files, NamesAndTypesAreCopiedWithTruncationReported) {
    struct Row {
        const char *field;
        bool type; // cgiFormFileContentType rather than cgiFormFileName
        int space;
        std::string expect;
        cgiFormResultType result;
    } rows[] = {
        {"f", false, 10, "abcdefghi", cgiFormTruncated},
        {"f", false, 11, "abcdefghij", cgiFormSuccess},
        {"f", false, 1, "", cgiFormTruncated},
        {"text", false, 16, "", cgiFormNoFileName},
        {"missing", false, 16, "", cgiFormNotFound},
        {"f", true, 16, "image/png", cgiFormSuccess},
        {"f", true, 6, "image", cgiFormTruncated},
        {"text", true, 16, "text/plain", cgiFormSuccess},
        {"untyped", true, 16, "", cgiFormNoContentType},
        {"missing", true, 16, "", cgiFormNotFound},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.field) + (row.type ? " type " : " name ") + std::to_string(row.space));
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        cgiFormResultType r = row.type ? cgiFormFileContentType(row.field, buf, row.space)
                                       : cgiFormFileName(row.field, buf, row.space);
        EXPECT_EQ(r, row.result);
        EXPECT_EQ(std::string(buf), row.expect);
        EXPECT_EQ(buf[row.space], '#') << "wrote beyond the buffer";
    }
    char untouched = '#';
    EXPECT_EQ(cgiFormFileName("f", &untouched, 0), cgiFormTruncated);
    EXPECT_EQ(untouched, '#');
}

TEST_F(Files, SizesAndHandles) {
    int size = -1;
    EXPECT_EQ(cgiFormFileSize("big", &size), cgiFormSuccess);
    EXPECT_EQ(size, 2 * 1024 + 452);
    EXPECT_EQ(cgiFormFileSize("zero", &size), cgiFormSuccess);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(cgiFormFileSize("text", &size), cgiFormNotAFile);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(cgiFormFileSize("missing", nullptr), cgiFormNotFound);

    // 2 x 1024 + 452 bytes through a 1024-byte buffer, and a second handle
    // that starts again from the beginning.
    cgiFilePtr a = nullptr, b = nullptr;
    ASSERT_EQ(cgiFormFileOpen("big", &a), cgiFormSuccess);
    ASSERT_EQ(cgiFormFileOpen("big", &b), cgiFormSuccess);
    std::string got;
    char buf[1024];
    int n = -1;
    for (int expect : {1024, 1024, 452}) {
        ASSERT_EQ(cgiFormFileRead(a, buf, sizeof buf, &n), cgiFormSuccess);
        EXPECT_EQ(n, expect);
        got.append(buf, static_cast<size_t>(n));
    }
    n = -1;
    EXPECT_EQ(cgiFormFileRead(a, buf, sizeof buf, &n), cgiFormEOF);
    EXPECT_EQ(n, -1) << "left unchanged at the end";
    EXPECT_EQ(got, big_);
    ASSERT_EQ(cgiFormFileRead(b, buf, 10, &n), cgiFormSuccess);
    EXPECT_EQ(std::string(buf, 10), big_.substr(0, 10));
    EXPECT_EQ(cgiFormFileRead(b, buf, 0, &n), cgiFormEOF);
    EXPECT_EQ(cgiFormFileClose(a), cgiFormSuccess);
    EXPECT_EQ(cgiFormFileClose(b), cgiFormSuccess);

    // Two files under one name: the first one counts. A 0-byte file opens
    // and reads as the end at once.
    cgiFilePtr f = nullptr;
    ASSERT_EQ(cgiFormFileOpen("f", &f), cgiFormSuccess);
    ASSERT_EQ(cgiFormFileRead(f, buf, sizeof buf, &n), cgiFormSuccess);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "first");
    cgiFormFileClose(f);
    ASSERT_EQ(cgiFormFileOpen("zero", &f), cgiFormSuccess);
    EXPECT_EQ(cgiFormFileRead(f, buf, sizeof buf, &n), cgiFormEOF);
    cgiFormFileClose(f);
}

TEST_F(Files, FailedOpensLeaveANullHandle) {
    cgiFilePtr h = reinterpret_cast<cgiFilePtr>(1);
    EXPECT_EQ(cgiFormFileOpen("text", &h), cgiFormNotAFile);
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<cgiFilePtr>(1);
    EXPECT_EQ(cgiFormFileOpen("missing", &h), cgiFormNotFound);
    EXPECT_EQ(h, nullptr);
    cgiAllocFailAt(1);
    EXPECT_EQ(cgiFormFileOpen("big", &h), cgiFormMemory);
    cgiAllocFailAt(0);
    EXPECT_EQ(h, nullptr);
    // The temporary file is gone: the open fails with an I/O error.
    unlink(cgiFormEntryFindFirst("big")->tfileName);
    h = reinterpret_cast<cgiFilePtr>(1);
    EXPECT_EQ(cgiFormFileOpen("big", &h), cgiFormIO);
    EXPECT_EQ(h, nullptr);
    int n = 7;
    char buf[4];
    EXPECT_EQ(cgiFormFileRead(nullptr, buf, sizeof buf, &n), cgiFormOpenFailed);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(cgiFormFileClose(nullptr), cgiFormOpenFailed);
    // The fixture's release finds any handle block a failed open kept.
}

} // namespace
} // namespace cgitest
