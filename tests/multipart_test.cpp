// multipart/form-data input: header lines, header values, the driver, and
// bodies recorded from real clients.
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "fixture.h"
#include "test_files.h"

namespace cgitest {
namespace {

// What a test compares of one entry; `file` holds the temporary file's
// contents, or "-" for an in-memory entry.
struct Got {
    std::string name, value, fileName, contentType, file;
    bool operator==(const Got &o) const {
        return name == o.name && value == o.value && fileName == o.fileName &&
               contentType == o.contentType && file == o.file;
    }
};
// Long contents are shown by their size and first bytes.
std::string shown(const std::string &s) {
    if (s.size() <= 64)
        return ::testing::PrintToString(s);
    return std::to_string(s.size()) + " bytes " + ::testing::PrintToString(s.substr(0, 32)) + "...";
}
void PrintTo(const Got &g, std::ostream *os) {
    *os << "{" << shown(g.name) << ", " << shown(g.value) << ", " << shown(g.fileName) << ", "
        << shown(g.contentType) << ", " << shown(g.file) << "}";
}

class Multipart : public Request {
protected:
    cgiParseResultType post(const std::string &body, const std::string &type = "multipart/form-data; boundary=XyZ",
                            int length = -1) {
        return start({{"REQUEST_METHOD", "POST"},
                      {"CONTENT_TYPE", type},
                      {"CONTENT_LENGTH", std::to_string(length < 0 ? body.size() : size_t(length))}},
                     body);
    }
    // The entries, with each temporary file checked and remembered.
    std::vector<Got> entries() {
        std::vector<Got> out;
        for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
            std::string file = "-";
            if (*e->tfileName) {
                file = slurp(e->tfileName);
                temps_.push_back(e->tfileName);
                struct stat st;
                EXPECT_EQ(stat(e->tfileName, &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0600u);
                EXPECT_EQ(std::string(e->tfileName).rfind("/tmp/cgic", 0), 0u);
                EXPECT_EQ(std::strlen(e->tfileName), 15u);
                EXPECT_EQ(static_cast<size_t>(e->valueLength), file.size());
                EXPECT_STREQ(e->value, "");
            }
            // An upload's value is empty; its valueLength is the file's size.
            std::string value = *e->tfileName ? std::string(e->value)
                                              : std::string(e->value, static_cast<size_t>(e->valueLength));
            out.push_back({e->attr, value, e->fileName, e->contentType, file});
        }
        return out;
    }
    // Releases the request; every temporary file seen must be gone, and no
    // other "/tmp/cgic" file may have appeared.
    void release() {
        cgiFreeResources();
        for (const auto &t : temps_)
            EXPECT_NE(access(t.c_str(), F_OK), 0) << t << " left behind";
        temps_.clear();
        EXPECT_EQ(tmpFiles(), before_) << "a temporary file was left in /tmp";
        if (in_) {
            std::fclose(in_);
            in_ = nullptr;
        }
    }
    void SetUp() override {
        Request::SetUp();
        before_ = tmpFiles();
    }
    void TearDown() override {
        release();
        Request::TearDown();
    }

    std::vector<std::string> temps_;
    std::vector<std::string> before_;
};

// A part with the given header lines and body, then the next delimiter.
std::string part(const std::string &headers, const std::string &body) {
    return "--XyZ\r\n" + headers + "\r\n" + body + "\r\n";
}
const std::string kEnd = "--XyZ--\r\n";
std::string field(const std::string &name, const std::string &body) {
    return part("Content-Disposition: form-data; name=\"" + name + "\"\r\n", body);
}

struct Row {
    const char *label;
    std::string body;
    cgiParseResultType result;
    std::vector<Got> entries;
    int owed = 0; // bytes CONTENT_LENGTH announces beyond the body: the client went away
};

TEST_F(Multipart, PartsBecomeEntries) {
    const Got a = {"a", "hello", "", "", "-"};
    const Row rows[] = {
        {"one field", field("a", "hello") + kEnd, cgiParseSuccess, {a}},
        {"an uploaded file",
         part("Content-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n",
              "hello") + kEnd,
         cgiParseSuccess, {{"f", "", "x.txt", "text/plain", "hello"}}},
        {"an empty file", part("Content-Disposition: form-data; name=f; filename=e\r\n", "") + kEnd,
         cgiParseSuccess, {{"f", "", "e", "", ""}}},
        {"an empty filename is an in-memory field",
         part("Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n", "") + kEnd,
         cgiParseSuccess, {{"f", "", "", "", "-"}}},
        {"names without regard to case",
         part("content-disposition: FORM-DATA; NAME=a\r\nCONTENT-type: x/y\r\n", "hello") + kEnd,
         cgiParseSuccess, {{"a", "hello", "", "x/y", "-"}}},
        {"preamble ignored", "preamble\r\n" + field("a", "hello") + kEnd, cgiParseSuccess, {a}},
        {"no delimiter at all", "just text\r\n", cgiParseSuccess, {}},
        {"closing without CR LF", field("a", "hello") + "--XyZ--", cgiParseSuccess, {a}},
        {"input ends after a delimiter's line end", field("a", "hello") + "--XyZ\r\n", cgiParseSuccess, {a}},
        {"input ends after the last body", field("a", "hello"), cgiParseIO, {}},
        {"input ends inside a body", field("a", "hello") + part("Content-Disposition: form-data; name=b\r\n", "cut").substr(0, 52),
         cgiParseIO, {a}},
        {"nothing after the delimiter ending a part", field("a", "hello") + "--XyZ\r\nContent-Disposition: form-data; name=b\r\n\r\nx\r\n--XyZ",
         cgiParseIO, {a}},
        {"delimiter followed by LF alone skips the part",
         "--XyZ\nContent-Disposition: form-data; name=a\r\n\r\nhello\r\n" + field("b", "2") + kEnd,
         cgiParseSuccess, {{"b", "2", "", "", "-"}}},
        {"a skipped part that never ends", field("a", "hello") + part("Content-Disposition: attachment\r\n", "x").substr(0, 40),
         cgiParseIO, {a}},
        {"attachment and missing disposition skipped",
         part("Content-Disposition: attachment; name=a\r\n", "1") + part("X-Other: 1\r\n", "2") +
             field("c", "3") + kEnd,
         cgiParseSuccess, {{"c", "3", "", "", "-"}}},
        {"every colon of a value dropped with its white space",
         part("Content-Disposition: form-data; name=f; filename=\"D:\\dir\\x.txt\"\r\n", "z") + kEnd,
         cgiParseSuccess, {{"f", "", "D\\dir\\x.txt", "", "z"}}},
        {"a header line without a colon ends the block",
         part("Content-Disposition: form-data; name=a\r\nno colon here\r\nContent-Type: x/y\r\n", "body") + kEnd,
         cgiParseSuccess, {{"a", "Content-Type: x/y\r\n\r\nbody", "", "", "-"}}},
        {"a colon with only white space crosses the line end",
         part("Content-Disposition: form-data; name=a\r\nContent-Type:   \r\n", "first\r\nsecond\r\nthird") + kEnd,
         cgiParseSuccess, {{"a", "third", "", "first", "-"}}},
        {"unknown parameters skipped, a malformed one ends the list",
         part("Content-Disposition: form-data; size=10; name=a; filename*=UTF-8''x; filename=y\r\n", "v") + kEnd,
         cgiParseSuccess, {{"a", "v", "", "", "-"}}},
        {"the second disposition decides",
         part("Content-Disposition: form-data; name=a; filename=x\r\nContent-Disposition: form-data; name=b\r\n", "v") + kEnd,
         cgiParseSuccess, {{"b", "v", "", "", "-"}}},
        {"repeated names in body order", field("c", "1") + field("c", "2") + kEnd, cgiParseSuccess,
         {{"c", "1", "", "", "-"}, {"c", "2", "", "", "-"}}},
        {"NUL bytes count", field("n", std::string("a\0b", 3)) + kEnd, cgiParseSuccess,
         {{"n", std::string("a\0b", 3), "", "", "-"}}},
        {"LF-only header lines", "--XyZ\r\nContent-Disposition: form-data; name=a\n\nhello\r\n" + kEnd,
         cgiParseSuccess, {a}},
        {"input cut after a delimiter line", field("a", "hello") + "--XyZ\r\n", cgiParseIO, {a}, 57},
        {"input cut before the first delimiter", "preamble\r\n", cgiParseIO, {}, 100},
        {"input cut after an upload's closing delimiter",
         part("Content-Disposition: form-data; name=f; filename=x\r\n", "up") + "--XyZ--", cgiParseIO,
         {{"f", "", "x", "", "up"}}, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(post(row.body, "multipart/form-data; boundary=XyZ", static_cast<int>(row.body.size()) + row.owed),
                  row.result);
        EXPECT_EQ(entries(), row.entries);
        release();
    }
}

TEST_F(Multipart, LengthBoundsTheBody) {
    const std::string body = field("a", "hello") + kEnd + "trailing bytes";
    ASSERT_EQ(post(body, "multipart/form-data; boundary=XyZ", static_cast<int>(body.size() - 14)),
              cgiParseSuccess);
    EXPECT_EQ(entries().size(), 1u);
    EXPECT_LE(std::ftell(cgiIn), static_cast<long>(body.size() - 14)) << "read beyond CONTENT_LENGTH";
    release();
    // A zero or negative length reads nothing.
    for (const char *length : {"0", "-5"}) {
        SCOPED_TRACE(length);
        start({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"},
               {"CONTENT_LENGTH", length}},
              body);
        EXPECT_TRUE(entries().empty());
        EXPECT_EQ(std::ftell(cgiIn), 0);
        release();
    }
}

TEST_F(Multipart, HeaderLines) {
    struct HeaderRow {
        std::string line;
        int result;
        std::string attr, value, rest;
    } rows[] = {
        {"Content-Type: text/plain\r\nX", 1, "Content-Type", "text/plain", "X"},
        {" Na me :  v a l \nX", 1, "Name", "v a l ", "X"},
        {"A: b:c: d\rX", 1, "A", "bcd", "X"},
        {":x: y\r\n", 1, ":x", "y", ""},
        {"\r\nX", 0, "", "", "X"},
        {"NoColon\r\nX", 0, "NoColon", "", "X"},
        {"A:\r\n\r\nbody\r\n", 1, "A", "body", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        start({});
        in_ = std::tmpfile();
        std::fwrite(row.line.data(), 1, row.line.size(), in_);
        std::rewind(in_);
        cgiIn = in_;
        cgiContentLength = static_cast<int>(row.line.size());
        mpStream s;
        mpInit(&s);
        char attr[16], value[16];
        EXPECT_EQ(readHeaderLine(&s, attr, sizeof attr, value, sizeof value), row.result);
        EXPECT_EQ(std::string(attr), row.attr);
        EXPECT_EQ(std::string(value), row.value);
        char rest[64];
        int n = mpRead(&s, rest, sizeof rest);
        EXPECT_EQ(std::string(rest, n > 0 ? size_t(n) : 0), row.rest);
        std::fclose(in_);
        in_ = nullptr;
    }
    // Long names and values are cut to the buffer.
    mpStream s;
    std::string line = std::string(40, 'n') + ": " + std::string(40, 'v') + "\r\n";
    in_ = std::tmpfile();
    std::fwrite(line.data(), 1, line.size(), in_);
    std::rewind(in_);
    cgiIn = in_;
    cgiContentLength = static_cast<int>(line.size());
    mpInit(&s);
    char attr[8], value[6];
    EXPECT_EQ(readHeaderLine(&s, attr, sizeof attr, value, sizeof value), 1);
    EXPECT_STREQ(attr, "nnnnnnn");
    EXPECT_STREQ(value, "vvvvv");
}

// The temporary-file factory that replay also relies on: a new, empty,
// closed file "/tmp/cgic" and six characters, mode 0600, every time another.
TEST(TempFiles, NewEmptyPrivateFiles) {
    char a[1024], b[1024];
    ASSERT_EQ(getTempFileName(a), cgiParseSuccess);
    ASSERT_EQ(getTempFileName(b), cgiParseSuccess);
    EXPECT_STRNE(a, b);
    for (const char *path : {a, b}) {
        struct stat st;
        ASSERT_EQ(stat(path, &st), 0);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(std::string(path).rfind("/tmp/cgic", 0), 0u);
        EXPECT_EQ(std::strlen(path), 15u);
        unlink(path);
    }
}

TEST(HeaderValues, SplitIntoMainValueAndParameters) {
    struct Row {
        const char *value;
        std::string main, name, filename;
    } rows[] = {
        {"form-data; name=\"a\"; filename=\"x.txt\"", "form-data", "a", "x.txt"},
        {"  form-data ;name=a;filename=b", "form-data ", "a", "b"},
        {"\"quoted main\" junk; NAME = \"n;m\"", "quoted main", "n;m", ""},
        {"form-data; name=\"a\\\"; filename=x", "form-data", "a\\", "x"},
        {"form-data; size=10; name=a", "form-data", "a", ""},
        {"form-data; name=a; filename*=x; filename=y", "form-data", "a", ""},
        {"form-data; name=\"unterminated", "form-data", "unterminat", ""},
        {"", "", "", ""},
        {"form-data; name=0123456789abcdef", "form-data", "0123456789", ""},
    };
    const char *const names[] = {"name", "filename", nullptr};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        char mvalue[16] = "#", name[11] = "#", filename[11] = "#";
        char *values[] = {name, filename};
        decomposeValue(row.value, mvalue, sizeof mvalue, names, values, sizeof name);
        EXPECT_EQ(std::string(mvalue), row.main);
        EXPECT_EQ(std::string(name), row.name);
        EXPECT_EQ(std::string(filename), row.filename);
    }
}

// Bodies as curl, Chromium and Python's email package send them
// (tests/data/capture.py).
TEST_F(Multipart, BodiesFromRealClients) {
    const std::string upload = slurp(TEST_DATA_DIR "/upload.bin");
    ASSERT_EQ(upload.size(), 3000u);
    struct Client {
        const char *name;
        std::vector<Got> entries;
    } clients[] = {
        {"curl",
         {{"name", "Operator One", "", "", "-"},
          {"note", "Gr\xc3\xbc\xc3\x9f" "e; \"quoted\" & more\r\nline 2", "", "", "-"},
          {"upload", "", "upload.bin", "application/octet-stream", upload},
          {"empty", "", "empty.txt", "text/plain", ""}}},
        {"chromium",
         {{"name", "Operator One", "", "", "-"},
          {"note", "first line\r\nsecond line", "", "", "-"},
          {"opt", "on", "", "", "-"},
          {"step", "1", "", "", "-"},
          {"step", "5", "", "", "-"},
          {"upload", "", "hello.txt", "text/plain", "hello\r\n--not a boundary\r\nbye"},
          {"empty", "", "", "application/octet-stream", "-"}}},
        {"python-email",
         {{"greeting", "aGVsbG8NCndvcmxk\r\n", "", "text/plain", "-"},
          {"upload", "", "notes.txt", "application/octet-stream",
           "first line\r\nsecond line\r\n--not a boundary\r\n"}}},
    };
    for (const auto &c : clients) {
        SCOPED_TRACE(c.name);
        std::string type = slurp(std::string(TEST_DATA_DIR "/") + c.name + ".type");
        type.erase(type.find_last_not_of("\r\n") + 1);
        EXPECT_EQ(post(slurp(std::string(TEST_DATA_DIR "/") + c.name + ".body"), type), cgiParseSuccess);
        EXPECT_EQ(entries(), c.entries);
        release();
    }
}

// Every allocation of a parse with two uploads and two fields fails in turn:
// each step reports cgiParseMemory, keeps only complete entries, and leaves
// no temporary file and no block behind.
TEST_F(Multipart, EveryAllocationFailureIsClean) {
    const std::string body =
        field("a", std::string(300, 'a')) +
        part("Content-Disposition: form-data; name=f; filename=one\r\nContent-Type: x/y\r\n", "111") +
        field("b", "2") + part("Content-Disposition: form-data; name=g; filename=two\r\n", "22") + kEnd;
    ASSERT_EQ(post(body), cgiParseSuccess);
    const std::vector<Got> all = entries();
    ASSERT_EQ(all.size(), 4u);
    release();
    int failures = sweepAllocations(all, [&] { return post(body); }, [&] { return entries(); },
                                    [&] { release(); });
    RecordProperty("failed_steps", failures);
    EXPECT_GE(failures, 4);
}

} // namespace
} // namespace cgitest
