// multipart/form-data input: parts, their header lines and values, and
// bodies recorded from real clients.
#include "fixture.h"

using Multipart = Request;

TEST_F(Multipart, PartsBecomeEntries) {
    const std::string cd = "Content-Disposition: form-data; ", ct = "Content-Type: x/y\r\n", a = field("a", "hello");
    const std::string x(2000, 'x'), nul = std::string(299, 'a') + std::string("\0b", 2);
    const std::vector<Field> onlyA = {{"a", "hello"}}, v = {{"a", "v"}}, vxy = {{"a", "v", "", "x/y"}};
    const auto up = [](const char *name, const std::string &fileName, const char *type, const char *contents) {
        return std::vector<Field>{{name, "", fileName, type, contents}};
    };
    // A skipped part that ends where the next part's first header line crosses the end of the first block read.
    std::string skip = part("Content-Disposition: attachment\r\n", "");
    skip.insert(skip.size() - 2, kMpBlock - 10 - (skip.size() + 7), 's');
    // `owed`: bytes CONTENT_LENGTH announces beyond the body, as when the client went away.
    const struct { const char *label; std::string body; std::vector<Field> fields;
                   cgiParseResultType result = cgiParseSuccess; int owed = 0; } rows[] = {
        {"an upload", field("f", "hi", "; filename=\"x.txt\"", "x/y; q=1") + kEnd, up("f", "x.txt", "x/y", "hi")},
        {"an empty filename is a field", field("f", "", "; filename=\"\"") + kEnd, {{"f", ""}}},
        {"names in any case", part("content-disposition: FORM-DATA; NAME=a\r\nCONTENT-type: x/y\r\n", "v") + kEnd, vxy},
        {"names lose blanks, a CR ends a line", part("Content - Disposition : form-data; name=a\r" + ct, "v") + kEnd,
         vxy},
        {"a header value beyond its buffer is cut", field("f", "z", "; filename=" + x) + kEnd,
         up("f", x.substr(0, 993), "", "z")},
        {"no delimiter at all", "just text\r\n", {}},
        {"input ends after a delimiter's line end", a + "--XyZ\r\n", onlyA},
        {"input ends right after a delimiter", a + "--XyZ", onlyA},
        {"input ends inside a body", a + field("b", "cut").substr(0, 52), onlyA, cgiParseIO},
        {"a skipped part that never ends", a + part("Content-Disposition: attachment\r\n", "x"), onlyA, cgiParseIO},
        {"attachment and no disposition skipped",
         part("Content-Disposition: attachment; name=b\r\n", "1") + part(ct, "2") + a + kEnd, onlyA},
        {"every colon of a value dropped with its blanks", field("f", "z", "; filename=\"D: \\x:.txt\"") + kEnd,
         up("f", "D\\x.txt", "", "z")},
        {"a line without a colon ends the headers", part(cd + "name=a\r\nno colon\r\n" + ct, "v") + kEnd,
         {{"a", ct + "\r\nv"}}},
        {"a colon and blanks cross the line end", part(cd + "name=a\r\nContent-Type:   \r\n", "x/y\r\n\r\nv") + kEnd,
         vxy},
        {"unknown parameters skipped, a malformed one ends the list",
         part(cd + "size=10; name=a; filename*=UTF-8''x; filename=y\r\n", "v") + kEnd, v},
        {"a quoted main value, quoted ';', blanks around '='",
         part("Content-Disposition: \"form-data\" junk; NAME = \"n;m\"\r\n", "v") + kEnd, {{"n;m", "v"}}},
        {"no escapes in quotes; an unterminated quote", part(cd + "filename=\"a\\\"; name=\"b\r\n", "v") + kEnd,
         up("b", "a\\", "", "v")},
        {"the second disposition decides", part(cd + "name=b; filename=x\r\n" + cd + "name=a\r\n", "v") + kEnd, v},
        {"NUL bytes count, in a value that grows its block", field("n", nul) + kEnd, {{"n", nul}}},
        {"a header line across two blocks", skip + a + kEnd, onlyA},
        {"LF-only header lines", "--XyZ\r\n" + cd + "name=a\n\nhello\r\n" + kEnd, onlyA},
        {"input cut before the first delimiter", "preamble\r\n", {}, cgiParseIO, 100},
        {"input cut after an upload's closing delimiter", field("f", "up", "; filename=x") + "--XyZ--",
         up("f", "x", "", "up"), cgiParseIO, 2},
    };
    // Each parse runs out of memory at every allocation in turn too: then it
    // reports cgiParseMemory and keeps only complete entries.
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(parsed(post(row.body, row.owed)), Parsed(row.result, row.fields));
        if (!row.fields.empty()) // a parse that keeps nothing allocates nothing
            sweep(row.result, {cgiParseMemory}, [&] { return post(row.body, row.owed); }, snapshot, cgiFreeResources);
    }
}

// A header line's name and value, and then the value's parameters, are cut
// to their buffers; a one-byte buffer holds the terminator alone. A line
// that the input cuts short, before its line end, is not used at all.
TEST_F(Multipart, HeaderLinesAndValuesAreCutToTheirBuffers) {
    const struct { const char *label; std::string line; int attrSpace, valueSpace, result; std::string got; } rows[] = {
        {"name and value cut", "Content-Disposition: form-data; name=\"abcdefgh\"; filename=xyz\r\n", 8, 40, 1,
         "Content|form-data; name=\"abcdefgh\"; filename=xy"},
        {"one-byte buffers hold only the terminator", "Content-Type: x/y\r\n", 1, 1, 0, "|"},
        {"the input ends inside the value", "Content-Type: x/y", 8, 40, 0, ""},
        {"the input ends in the blanks after the colon", "Content-Type:  ", 8, 40, 0, ""},
    };
    // As large as the widest spaces, so that a sanitizer sees any write beyond them; read up to a NUL or their end.
    char attr[8], value[40];
    auto text = [](const auto &buffer) { return std::string(buffer, strnlen(buffer, sizeof buffer)); };
    for (const auto &row : rows) {
        stream(row.line);
        std::memset(attr, '#', sizeof attr);
        std::memset(value, '#', sizeof value);
        EXPECT_EQ(readHeaderLine(&s_, attr, row.attrSpace, value, row.valueSpace), row.result) << row.label;
        // No terminator is promised for a line not used.
        EXPECT_EQ(row.got.empty() ? "" : text(attr) + "|" + text(value), row.got) << row.label;
    }
    const char *const names[] = {"name", "filename", nullptr};
    char mvalue[8], name[6], filename[6], *values[] = {name, filename};
    decomposeValue("form-data; name=\"abcdefgh\"; filename=xy", mvalue, sizeof mvalue, names, values, sizeof name);
    EXPECT_EQ(std::vector<std::string>({mvalue, name, filename}), std::vector<std::string>({"form-da", "abcde", "xy"}));
}

// Bodies as curl, Chromium and Python's email package send them
// (recorded by scripts/capture-bodies).
TEST_F(Multipart, BodiesFromRealClients) {
    const std::string upload = slurp(TEST_DATA_DIR "/upload.bin"), dir = TEST_DATA_DIR "/";
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
        const std::string type = slurp(dir + c.first + ".type");
        EXPECT_EQ(parsed(post(slurp(dir + c.first + ".body"), 0, type.substr(0, type.find('\n')))),
                  Parsed(cgiParseSuccess, c.second)) << c.first;
    }
}
