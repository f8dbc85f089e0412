// multipart/form-data input: parts, their header lines and values, and
// bodies recorded from real clients.
#include "fixture.h"

using namespace cgitest;

using Multipart = Request;

TEST_F(Multipart, PartsBecomeEntries) {
    const std::string cd = "Content-Disposition: form-data; ", ct = "Content-Type: x/y\r\n", a = field("a", "hello");
    const std::string x(2000, 'x');
    const std::vector<Field> onlyA = {{"a", "hello"}}, v = {{"a", "v"}}, vxy = {{"a", "v", "", "x/y"}};
    const auto ok = cgiParseSuccess, io = cgiParseIO;
    const auto up = [](const char *name, const std::string &fileName, const char *type, const char *contents) {
        return std::vector<Field>{{name, "", fileName, type, contents}};
    };
    // `owed`: bytes CONTENT_LENGTH announces beyond the body, as when the client went away.
    const struct { const char *label; std::string body; cgiParseResultType result; std::vector<Field> fields;
                   int owed = 0; } rows[] = {
        {"an upload", field("f", "hi", "; filename=\"x.txt\"", "x/y; charset=utf-8") + kEnd, ok,
         up("f", "x.txt", "x/y", "hi")},
        {"an empty upload", field("f", "", "; filename=e") + kEnd, ok, up("f", "e", "", "")},
        {"an empty filename is a field", field("f", "", "; filename=\"\"") + kEnd, ok, {{"f", ""}}},
        {"names in any case", part("content-disposition: FORM-DATA; NAME=a\r\nCONTENT-type: x/y\r\n", "v") + kEnd, ok,
         vxy},
        {"blanks in names dropped, a CR ends a line",
         part("Content - Disposition : form-data; name=a\r" + ct, "v") + kEnd, ok, vxy},
        {"a header value beyond its buffer is cut", field("f", "z", "; filename=" + x) + kEnd, ok,
         up("f", x.substr(0, 993), "", "z")},
        {"preamble ignored", "preamble\r\n" + a + kEnd, ok, onlyA},
        {"no delimiter at all", "just text\r\n", ok, {}},
        {"closing without CR LF", a + "--XyZ--", ok, onlyA},
        {"input ends after a delimiter's line end", a + "--XyZ\r\n", ok, onlyA},
        {"input ends inside a body", a + field("b", "cut").substr(0, 52), io, onlyA},
        {"nothing after the delimiter ending a part", a + field("b", "x") + "--XyZ", io, onlyA},
        {"delimiter and LF alone: the part is skipped", "--XyZ\n" + cd + "name=b\r\n\r\nv\r\n" + a + kEnd, ok, onlyA},
        {"a skipped part that never ends", a + part("Content-Disposition: attachment\r\n", "x"), io, onlyA},
        {"attachment and no disposition skipped",
         part("Content-Disposition: attachment; name=b\r\n", "1") + part(ct, "2") + a + kEnd, ok, onlyA},
        {"every colon of a value dropped with its blanks", field("f", "z", "; filename=\"D: \\x:.txt\"") + kEnd, ok,
         up("f", "D\\x.txt", "", "z")},
        {"a line without a colon ends the headers", part(cd + "name=a\r\nno colon\r\n" + ct, "v") + kEnd, ok,
         {{"a", ct + "\r\nv"}}},
        {"a colon and blanks cross the line end", part(cd + "name=a\r\nContent-Type:   \r\n", "x/y\r\n\r\nv") + kEnd,
         ok, vxy},
        {"unknown parameters skipped, a malformed one ends the list",
         part(cd + "size=10; name=a; filename*=UTF-8''x; filename=y\r\n", "v") + kEnd, ok, v},
        {"a quoted main value, quoted ';', blanks around '='",
         part("Content-Disposition: \"form-data\" junk; NAME = \"n;m\"\r\n", "v") + kEnd, ok, {{"n;m", "v"}}},
        {"no escapes in quotes; an unterminated quote", part(cd + "filename=\"a\\\"; name=\"b\r\n", "v") + kEnd, ok,
         up("b", "a\\", "", "v")},
        {"the second disposition decides", part(cd + "name=b; filename=x\r\n" + cd + "name=a\r\n", "v") + kEnd, ok, v},
        {"NUL bytes count", field("n", std::string("a\0b", 3)) + kEnd, ok, {{"n", std::string("a\0b", 3)}}},
        {"LF-only header lines", "--XyZ\r\n" + cd + "name=a\n\nhello\r\n" + kEnd, ok, onlyA},
        {"input cut after a delimiter line", a + "--XyZ\r\n", io, onlyA, 57},
        {"input cut before the first delimiter", "preamble\r\n", io, {}, 100},
        {"input cut after an upload's closing delimiter", field("f", "up", "; filename=x") + "--XyZ--", io,
         up("f", "x", "", "up"), 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(post(row.body, "multipart/form-data; boundary=XyZ", row.owed), row.result);
        EXPECT_EQ(snapshot(), row.fields);
        cgiFreeResources();
    }
}

// A header line's name and value, and then the value's parameters, are cut
// to their buffers.
TEST_F(Multipart, HeaderLinesAndValuesAreCutToTheirBuffers) {
    static mpStream stream;
    const std::string line = "Content-Disposition: form-data; name=\"abcdefgh\"; filename=xyz\r\n";
    start({}, line);
    cgiContentLength = static_cast<int>(line.size());
    mpInit(&stream);
    const char *const names[] = {"name", "filename", nullptr};
    char attr[8], value[40], mvalue[8], name[6], filename[6], *values[] = {name, filename};
    EXPECT_EQ(readHeaderLine(&stream, attr, sizeof attr, value, sizeof value), 1);
    decomposeValue(value, mvalue, sizeof mvalue, names, values, sizeof name);
    EXPECT_EQ(std::vector<std::string>({attr, value, mvalue, name, filename}),
              std::vector<std::string>({"Content", value, "form-da", "abcde", "xy"}));
    EXPECT_STREQ(value, "form-data; name=\"abcdefgh\"; filename=xy");
}

// Bodies as curl, Chromium and Python's email package send them
// (tests/data/capture.py).
TEST_F(Multipart, BodiesFromRealClients) {
    const std::string upload = slurp(TEST_DATA_DIR "/upload.bin"), dir = TEST_DATA_DIR "/";
    ASSERT_EQ(upload.size(), 3000u);
    const std::pair<std::string, std::vector<Field>> clients[] = {
        {"curl",
         {{"name", "Operator One"}, {"note", "Gr\xc3\xbc\xc3\x9f" "e; \"quoted\" & more\r\nline 2"},
          {"upload", "", "upload.bin", "application/octet-stream", upload},
          {"empty", "", "empty.txt", "text/plain", ""}}},
        {"chromium",
         {{"name", "Operator One"}, {"note", "first line\r\nsecond line"}, {"opt", "on"}, {"step", "1"}, {"step", "5"},
          {"upload", "", "hello.txt", "text/plain", "hello\r\n--not a boundary\r\nbye"},
          {"empty", "", "", "application/octet-stream"}}},
        {"python-email",
         {{"greeting", "aGVsbG8NCndvcmxk\r\n", "", "text/plain"},
          {"upload", "", "notes.txt", "application/octet-stream", "first line\r\nsecond line\r\n--not a boundary\r\n"}},
        },
    };
    for (const auto &c : clients) {
        SCOPED_TRACE(c.first);
        const std::string type = slurp(dir + c.first + ".type");
        EXPECT_EQ(post(slurp(dir + c.first + ".body"), type.substr(0, type.find('\n'))), cgiParseSuccess);
        EXPECT_EQ(snapshot(), c.second);
        cgiFreeResources();
    }
}

// A parse with two uploads and two fields (one that grows its block) that
// runs out of memory anywhere reports cgiParseMemory and keeps only
// complete entries.
TEST_F(Multipart, EveryAllocationFailureIsClean) {
    const std::string body = field("a", std::string(300, 'a')) + field("f", "111", "; filename=one", "x/y") +
                             field("b", "2") + field("g", "22", "; filename=two") + kEnd;
    EXPECT_GE(sweep(cgiParseSuccess, {cgiParseMemory}, [&] { return post(body); }, snapshot, cgiFreeResources), 4);
}

