// Request capture and replay.
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "fixture.h"
#include "test_files.h"

namespace cgitest {
namespace {

void spit(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string le(int v) {
    unsigned u = static_cast<unsigned>(v);
    return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                       static_cast<char>(u >> 24)};
}

class Capture : public Request {
protected:
    void SetUp() override {
        Request::SetUp();
        before_ = tmpFiles();
        path_ = "/tmp/capture_test." + std::to_string(getpid());
        big_.clear();
        for (int i = 0; i < 2 * 1024 + 452; ++i)
            big_ += static_cast<char>(i * 7 + 1);
    }
    void TearDown() override {
        cgiFreeResources();
        EXPECT_EQ(tmpFiles(), before_) << "temporary files left behind";
        unlink(path_.c_str());
        unlink((path_ + ".2").c_str());
        Request::TearDown();
    }
    // A multipart request with plain fields, a value holding a NUL, two
    // uploads under one name, a 0-byte upload and one of 2 x 1024 + 452 bytes.
    void startUploads() {
        auto part = [](const std::string &disposition, const std::string &body) {
            return "--B\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + body + "\r\n";
        };
        const std::string body = part("name=plain", "text") + part("name=nul", std::string("a\0b", 3)) +
                                 part("name=f; filename=one.txt", "first") +
                                 part("name=f; filename=two.txt", "second!") +
                                 part("name=zero; filename=z", "") + part("name=big; filename=b.bin", big_) +
                                 "--B--\r\n";
        ASSERT_EQ(start({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=B"},
                         {"CONTENT_LENGTH", std::to_string(body.size())}, {"HTTP_COOKIE", "c=1"},
                         {"SERVER_NAME", "device"}},
                        body),
                  cgiParseSuccess);
    }
    // Each entry as name, value bytes, file name, and file contents or "-".
    std::vector<std::string> snapshot() {
        std::vector<std::string> out;
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
            std::string value = *e->tfileName ? e->value : std::string(e->value, size_t(e->valueLength));
            out.push_back(std::string(e->attr) + "|" + value + "|" + e->fileName + "|" +
                          (*e->tfileName ? slurp(e->tfileName) : "-"));
        }
        return out;
    }

    std::vector<std::string> before_;
    std::string path_;
    std::string big_;
};

TEST_F(Capture, AnEmptyRequestIs95Bytes) {
    start({});
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    std::string expect = le(7) + "CGIC2.0";
    for (int i = 0; i < 21; ++i)
        expect += le(0);
    EXPECT_EQ(slurp(path_), expect);
    EXPECT_EQ(expect.size(), 95u);
    ASSERT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
    EXPECT_EQ(cgiRestored, 1);
    for (char **s : cgiEnvironmentStrings)
        EXPECT_STREQ(*s, "");
}

TEST_F(Capture, CaptureReplayCaptureGivesTheSameFile) {
    startUploads();
    const auto live = snapshot();
    ASSERT_EQ(live.size(), 6u);
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    ASSERT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiRestored, 1);
    EXPECT_STREQ(cgiServerName, "device");
    EXPECT_STREQ(cgiContentType, "multipart/form-data");
    auto replayed = snapshot();
    // A value is stored up to its first NUL, and comes back that long.
    EXPECT_EQ(replayed[1], "nul|a||-");
    replayed[1] = live[1];
    EXPECT_EQ(replayed, live);
    char name[32];
    EXPECT_EQ(cgiFormFileName("f", name, sizeof name), cgiFormSuccess);
    EXPECT_STREQ(name, "one.txt");
    cgiFilePtr plain = reinterpret_cast<cgiFilePtr>(1);
    EXPECT_EQ(cgiFormFileOpen("plain", &plain), cgiFormNotAFile);
    ASSERT_EQ(cgiWriteEnvironment((path_ + ".2").c_str()), cgiEnvironmentSuccess);
    // The same bytes but for the shorter value length of "nul".
    std::string first = slurp(path_);
    const std::string nulLength = le(3);
    const size_t at = first.find(std::string("\x03\0\0\0nul", 7));
    ASSERT_NE(at, std::string::npos);
    const size_t lengthAt = at + 7 + 5 + 4 + 4; // name, value "a", two empty strings
    ASSERT_EQ(first.substr(lengthAt, 4), nulLength);
    first.replace(lengthAt, 4, le(1));
    EXPECT_EQ(slurp(path_ + ".2"), first);
}

TEST_F(Capture, ReplayRefusesOtherFilesAndKeepsTheLiveEnvironment) {
    startUploads();
    spit(path_, le(7) + "CGIC2.1" + std::string(84, '\0'));
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentWrongVersion);
    EXPECT_EQ(cgiFormEntryFirst, nullptr) << "the live entries are released first";
    EXPECT_STREQ(cgiServerName, "device");
    spit(path_, le(8) + "CGIC2.0x");
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentWrongVersion);
    spit(path_, "");
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentIO);
    EXPECT_EQ(cgiReadEnvironment("/nonexistent/capture"), cgiEnvironmentIO);
    EXPECT_STREQ(cgiServerName, "device");
    EXPECT_EQ(cgiWriteEnvironment("/nonexistent/capture"), cgiEnvironmentIO);
}

// A capture cut at every length replays successfully exactly when the cut
// falls before an entry's name is complete; otherwise it fails, and no
// temporary file outlives the request.
TEST_F(Capture, TruncatedCapturesAtEveryLength) {
    startUploads();
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    const std::string whole = slurp(path_);
    // Walk the format to find where each entry's parts begin.
    auto intAt = [&](size_t at) {
        return static_cast<int>(static_cast<unsigned char>(whole[at]) |
                                static_cast<unsigned char>(whole[at + 1]) << 8 |
                                static_cast<unsigned char>(whole[at + 2]) << 16 |
                                static_cast<unsigned char>(whole[at + 3]) << 24);
    };
    size_t at = 0;
    for (int i = 0; i < 21; ++i)
        at += 4 + static_cast<size_t>(intAt(at));
    const size_t headerEnd = at + 4;
    struct Bounds {
        size_t name, nameEnd, contents, end;
    };
    std::vector<Bounds> entries;
    at = headerEnd;
    while (at < whole.size()) {
        Bounds b;
        b.name = at;
        b.nameEnd = at + 4 + static_cast<size_t>(intAt(at));
        at = b.nameEnd;
        for (int i = 0; i < 3; ++i)
            at += 4 + static_cast<size_t>(intAt(at));
        const int valueLength = intAt(at);
        const int flag = intAt(at + 4);
        b.contents = at + 8;
        b.end = b.contents + (flag ? static_cast<size_t>(valueLength) : 0);
        at = b.end;
        entries.push_back(b);
    }
    ASSERT_EQ(entries.size(), 6u);
    ASSERT_EQ(at, whole.size());
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        spit(path_, whole.substr(0, cut));
        cgiEnvironmentResultType expect = cgiEnvironmentIO;
        size_t complete = 0;
        if (cut >= headerEnd) {
            expect = cgiEnvironmentSuccess;
            for (const Bounds &b : entries) {
                if (cut < b.nameEnd)
                    break;
                if (cut < b.contents) {
                    expect = cgiEnvironmentMemory;
                    break;
                }
                if (cut < b.end) {
                    expect = cgiEnvironmentIO;
                    break;
                }
                ++complete;
            }
        }
        ASSERT_EQ(cgiReadEnvironment(path_.c_str()), expect);
        size_t n = 0;
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
            ++n;
        EXPECT_EQ(n, expect == cgiEnvironmentSuccess ? complete : 0u);
        cgiFreeResources();
        ASSERT_EQ(tmpFiles(), before_);
    }
}

TEST_F(Capture, LengthsAreNeverTrusted) {
    const std::string head = le(7) + "CGIC2.0";
    std::string env;
    for (int i = 0; i < 20; ++i)
        env += le(1) + "v";
    // Negative and huge string lengths are unreadable, without a huge block.
    spit(path_, head + le(-1));
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentIO);
    spit(path_, head + le(0x7fffffff) + "abc");
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentIO);
    for (char **s : cgiEnvironmentStrings)
        EXPECT_NE(*s, nullptr);
    // An in-memory value's length beyond its bytes is their count; a
    // negative one is unreadable.
    const std::string entryHead = le(1) + "n" + le(1) + "v" + le(0) + le(0);
    spit(path_, head + env + le(0x7fffffff) + entryHead + le(0x7fffffff) + le(0));
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    ASSERT_NE(cgiFormEntryFirst, nullptr);
    EXPECT_EQ(cgiFormEntryFirst->valueLength, 1);
    spit(path_, head + env + le(10) + entryHead + le(-4) + le(0));
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentMemory);
    // File contents longer than the file: the copy meets its end.
    spit(path_, head + env + le(10) + entryHead + le(0x7fffffff) + le(1) + "xyz");
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentIO);
}

TEST_F(Capture, AFailedReplayLeavesValidEnvironmentStrings) {
    std::string file = le(7) + "CGIC2.0";
    for (int i = 0; i < 20; ++i)
        file += le(2) + "r" + std::to_string(i % 10);
    file += le(0);
    spit(path_, file);
    ASSERT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    // Cut inside the fifth string: four are replayed again, the rest held
    // strings that the replay released.
    spit(path_, file.substr(0, 11 + 4 * 6 + 5));
    EXPECT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentIO);
    EXPECT_EQ(cgiRestored, 0);
    for (int i = 0; i < 20; ++i) {
        const char *s = *cgiEnvironmentStrings[i];
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), i < 4 ? "r" + std::to_string(i) : "") << i;
    }
}

TEST_F(Capture, CaptureChecksUploadLengths) {
    startUploads();
    // The upload's file no longer holds valueLength bytes.
    cgiFormEntry *e = cgiFormEntryFindFirst("big");
    ASSERT_EQ(truncate(e->tfileName, 10), 0);
    EXPECT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentIO);
    EXPECT_NE(access(path_.c_str(), F_OK), 0) << "a failed capture left its file";
}

// Every allocation of a replay with uploads fails in turn: each step fails
// (success would be a request with entries missing), nothing stays allocated
// and no temporary file stays behind.
TEST_F(Capture, ReplayUnderEveryAllocationFailure) {
    startUploads();
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    cgiFreeResources();
    for (long n = 1;; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        cgiAllocFailAt(n);
        cgiEnvironmentResultType r = cgiReadEnvironment(path_.c_str());
        cgiAllocFailAt(0);
        size_t entries = 0;
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next)
            ++entries;
        cgiFreeResources();
        EXPECT_EQ(cgiAllocLive(), 0);
        ASSERT_EQ(tmpFiles(), before_);
        if (r == cgiEnvironmentSuccess && entries == 6) {
            RecordProperty("failed_steps", static_cast<int>(n - 1));
            break;
        }
        EXPECT_TRUE(r == cgiEnvironmentIO || r == cgiEnvironmentMemory) << r << " with " << entries << " entries";
        ASSERT_LT(n, 500);
    }
}

} // namespace
} // namespace cgitest
