// The example programs run as real CGI processes: what the web server hands
// them, what they answer, and how they exit.
#include <map>
#include <regex>

#include "process.h"

namespace {

const std::string kHeader = "Content-type: text/plain\r\n\r\n";
const char *const kForm = "application/x-www-form-urlencoded", *const kMultipart = "multipart/form-data; boundary=XyZ";

// The field lines of dump.cgi's answer. An upload's hash shows as #1,
// #2, ... in the order of first appearance: equal contents, equal numbers.
// Or the field and file rows of the inspector's page, their cells as words.
std::string fieldLines(const std::string &output) {
    std::string lines;
    std::map<std::string, std::string> seen;
    for (size_t at = output.find("\nfield "); at != std::string::npos; at = output.find("\nfield ", at + 1)) {
        std::string line = output.substr(at + 1, output.find('\n', at + 1) - at);
        const size_t h = line.size() - 18; // where an upload's hash begins
        if (line.find(" (file ") != std::string::npos)
            line.replace(h, 16, seen.emplace(line.substr(h), "#" + std::to_string(seen.size() + 1)).first->second);
        lines += line;
    }
    for (size_t at = output.find("\n<tr class=\"fi"); at != output.npos; at = output.find("\n<tr class=\"fi", at + 1))
        lines += std::regex_replace(output.substr(at, output.find('\n', at + 1) - at), std::regex("(<[^>]*>)+"), " ");
    return lines;
}

// A POST as the web server passes it on; the query string is empty unless given.
EnvList post(const std::string &type, size_t length, const std::string &query = "") {
    return {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type}, {"CONTENT_LENGTH", std::to_string(length)},
            {"QUERY_STRING", query}};
}

TEST(RequestE2E, WhatTheInspectorMakesOfARequest) {
    const std::string u(200000, 'u'), two = field("a", "x", "; filename=a") + field("up", u, "; filename=u") + kEnd;
    // The upload limit of the programs under test (0: none), and two uploads at it and a byte past it.
    const size_t upload = PROGRAMS_MAX_UPLOAD < 0 ? 0 : PROGRAMS_MAX_UPLOAD;
    const std::string atUpload = field("a", "x", "; filename=a") + field("u", std::string(upload ? upload - 1 : 0, 'u'),
                                 "; filename=u") + kEnd, pastUpload = field("a", "xy", "; filename=a") +
                                 atUpload.substr(atUpload.find("--XyZ\r\n", 5));
    // The same bytes twice, at different places in the body's blocks, with
    // near-miss delimiters in them; within the upload limit.
    std::string data;
    for (unsigned x = 12345; data.size() < (upload ? upload / 2 - 16 : 2u << 20); x = x * 1103515245u + 12345u)
        data += data.size() % 100000 ? std::string(1, static_cast<char>(x >> 24)) : "\r\n--Xy\r\n--X";
    const std::string big = field("a", "1") + field("up", data, "; filename=d") + field("up", data, "; filename=copy") +
                            field("b", "2") + kEnd;
    const std::string n = std::to_string(data.size()), m = std::to_string(upload - 1);
    // The input limit of the programs under test, which may be another build's; "=&" makes an entry of 2 bytes.
    const size_t limit = PROGRAMS_MAX_INPUT;
    const std::string atLimit = "v=" + std::string(limit - 2, 'q'), twoFifths(limit / 5 * 2, 'v');
    std::string emptyPairs, values = field("a", twoFifths) + field("b", twoFifths) + field("c", twoFifths) + kEnd;
    while (emptyPairs.size() < limit)
        emptyPairs += "=&";
    const auto dump = command(DUMP_CGI), inspect = command(INSPECT_CGI);
    auto multipart = [&](const std::string &body, long fileSizeLimit = -1, const std::vector<std::string> &to = {}) {
        return Call{to.empty() ? dump : to, post(kMultipart, body.size()), body, fileSizeLimit};
    };
    // A request that ends before the program's own code runs: the line on
    // standard error after the program's name, and the status the client gets.
    const std::string input = ": request refused with 413: the input passes the input limit of " +
                              std::to_string(limit) + " bytes\n", noFile = ": request failed: an upload could not be "
                              "stored in a temporary file\n", open = ": request refused with 400: the multipart body "
                              "ended inside a part\n";
    // A client that stalls inside an upload, past the first block that the program reads whole (64 KiB).
    auto stalled = [&](const std::string &done, int sig) {
        const std::string body = done + field("up", std::string(100000, 'u'), "; filename=u");
        return Call{dump, post(kMultipart, body.size() + 1), body, -1, false, 0, false, sig, 1 + !done.empty()};
    };
    const std::string owed = std::to_string(stalled("", 0).body.size() + 1);
    // `killedBy`: the signal that ends the program, which then writes nothing.
    const struct { const char *label; Call call; std::string error, fields = ""; bool bounded = false;
                   int killedBy = 0; } rows[] = {
        {"URL-encoded body at the input limit", {dump, post(kForm, limit), atLimit}, "",
         "field v " + std::to_string(limit - 2) + " " + atLimit.substr(2) + "\n"},
        {"URL-encoded body above the input limit", {dump, post(kForm, limit + 1), atLimit + "q"}, input, ""},
        {"URL-encoded body shorter than its length", {dump, post(kForm, 10), "a=1"},
         ": request refused with 400: the body ended before its CONTENT_LENGTH of 10 bytes\n", ""},
        {"a negative length", {dump, {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", kForm}, {"CONTENT_LENGTH", "-1"}}},
         ": request refused with 400: CONTENT_LENGTH is negative\n", ""},
        {"multipart body that ends inside a part", multipart(field("a", "1")), open, ""},
        // What a request makes of its input is bounded as a whole.
        {"empty pairs filling the input limit: entries pass it", {dump, post(kForm, limit), emptyPairs}, input, ""},
        {"multipart values each within the input limit that together pass it", multipart(values), input, ""},
        {"large uploads arrive whole", multipart(big), "", "field a 1 1\nfield up " + n + " (file d  " + n + " #1)\n"
         "field up " + n + " (file copy  " + n + " #1)\nfield b 1 2\n"},
        {"uploads at the upload limit", multipart(atUpload), "",
         "field a 1 (file a  1 #1)\nfield u " + m + " (file u  " + m + " #2)\n", true},
        {"uploads a byte past it: refused, both files gone", multipart(pastUpload), ": request refused with 413: the "
         "uploads pass the upload limit of " + std::to_string(upload) + " bytes\n", "", true},
        // A complete upload, then one that the file-size limit cuts: the
        // request fails as a whole and both temporary files go.
        {"file-size limit 0", multipart(two, 0), noFile, ""},
        {"file-size limit a byte short", multipart(two, 199999), noFile, ""},
        {"file-size limit that fits", multipart(two, 200000), "",
         "field a 1 (file a  1 #1)\nfield up 200000 (file u  200000 #2)\n"},
        // The program writes while the uploads exist (a long query string);
        // its writes fail, and it still ends normally and deletes them.
        {"the client went away", {dump, post(kMultipart, two.size(), std::string(20000, 'q')), two, -1, true}, "", ""},
        {"an upload with /tmp read-only", {dump, post(kMultipart, two.size()), two, -1, false, 0, true}, noFile, ""},
        {"the inspector: every upload", multipart(field("up", "n") + field("up", "xyz", "; filename=a", "t/p") +
         field("up", "hi", "; filename=b") + kEnd, -1, inspect), "", "\n up a t/p 3 78797a \n up b 2 6869 \n up n "},
        {"URL-encoded input with /tmp read-only",
         {dump, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, "", -1, false, 0, true}, "", "field a 1 1\n"},
        // Killed by the signal as without a handler, and the uploads' files gone.
        {"SIGTERM during an upload", stalled("", SIGTERM), "", "", false, SIGTERM},
        {"SIGHUP during an upload", stalled("", SIGHUP), "", "", false, SIGHUP},
        {"SIGINT during an upload", stalled("", SIGINT), "", "", false, SIGINT},
        {"SIGTERM in a second upload: both files go", stalled(field("a", "x", "; filename=a"), SIGTERM), "", "",
         false, SIGTERM},
        {"SIGHUP that the web server ignores stays ignored: the body ends short", stalled("", -SIGHUP),
         ": request refused with 400: the body ended before its CONTENT_LENGTH of " + owed + " bytes\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        if ((row.call.readOnlyTmp && !privateTmp(row.call.argv)) || (row.bounded && !upload))
            continue; // /tmp can be made read-only only for a program of its own; uploads may be unbounded
        const Outcome o = run(row.call);
        EXPECT_EQ(o.exitStatus, row.killedBy ? -row.killedBy : row.error.empty() ? 0 : 255);
        EXPECT_EQ(o.errors, row.error.empty() ? "" : DUMP_CGI + row.error);
        if (row.error.empty() && !row.killedBy) {
            const std::string head = row.call.argv == inspect ? "Content-type: text/html; charset=utf-8\r\n\r\n" : kHeader;
            EXPECT_EQ(o.output.substr(0, head.size()), row.call.clientGone ? "" : head);
            EXPECT_EQ(fieldLines(o.output), row.fields);
        } else {
            // The server's own failures, and the signals, leave the answer to the server.
            const std::string status = row.error.find(" 413: ") != row.error.npos ? "413 Content Too Large"
                                       : row.error.find(" 400: ") != row.error.npos ? "400 Bad Request" : "";
            EXPECT_EQ(o.output, status.empty() ? "" : "Status: " + status + "\r\n" + kHeader + status + "\n");
        }
    }
}

// docs/api.md shows examples/greet.c as it is (the install test builds and
// runs it).
TEST(RequestE2E, TheDocsShowTheExampleAsItIs) {
    const std::string source = slurp(SOURCE_DIR "/examples/greet.c");
    EXPECT_TRUE(!source.empty() && slurp(SOURCE_DIR "/docs/api.md").find("```c\n" + source + "```") != source.npos)
        << "docs/api.md no longer shows examples/greet.c as it is";
}

} // namespace
