// The inspector program run as a real CGI process: what the web server
// hands it, what it answers, and how it exits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "process.h"
#include "../test_files.h"

namespace cgitest {
namespace {

const std::string kHeader = "Content-type: text/plain\r\n\r\n";
const char *const kForm = "application/x-www-form-urlencoded";

// The field lines of the inspector's answer.
std::string fieldLines(const std::string &output) {
    std::string lines;
    size_t pos = 0;
    while ((pos = output.find("\nfield ", pos)) != std::string::npos) {
        size_t end = output.find('\n', pos + 1);
        lines += output.substr(pos + 1, end - pos);
        pos = end;
    }
    return lines;
}

struct Row {
    const char *label;
    std::vector<std::pair<std::string, std::string>> env;
    std::string body;
    std::string fields;
    const char *program = DUMP_CGI;
};

TEST(RequestE2E, MethodAndContentTypeChooseTheInput) {
    const Row rows[] = {
        {"GET query",
         {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=x+y%21&a=2"}},
         "",
         "field a 1 1\nfield b 4 x y!\nfield a 1 2\n"},
        {"POST body, query string not parsed",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", kForm}, {"CONTENT_LENGTH", "27"},
          {"QUERY_STRING", "q=1"}},
         "hc_submit=1&chang=2&hang=-1",
         "field hc_submit 1 1\nfield chang 1 2\nfield hang 2 -1\n"},
        {"lower-case method, mixed-case type with charset",
         {{"REQUEST_METHOD", "post"},
          {"CONTENT_TYPE", "Application/X-WWW-Form-URLencoded; charset=UTF-8"},
          {"CONTENT_LENGTH", "3"}},
         "k=v",
         "field k 1 v\n"},
        {"no variables at all", {}, "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        for (Stdin how : {Stdin::Pipe, Stdin::File}) {
            Outcome o = runCgi(DUMP_CGI, row.env, row.body, how);
            EXPECT_EQ(o.exitStatus, 0);
            EXPECT_EQ(o.output.compare(0, kHeader.size(), kHeader), 0) << o.output;
            EXPECT_EQ(fieldLines(o.output), row.fields);
        }
    }
}

TEST(RequestE2E, EnvironmentIsReportedAsReceived) {
    Outcome o = runCgi(DUMP_CGI,
                       {{"REQUEST_METHOD", "GET"},
                        {"QUERY_STRING", "x=1"},
                        {"CONTENT_LENGTH", "50"},
                        {"CONTENT_TYPE", "multipart/form-data; boundary=----XyZ"},
                        {"HTTP_USER_AGENT", "probe/1.0"},
                        {"REMOTE_ADDR", "127.0.0.1"}});
    EXPECT_EQ(o.exitStatus, 0);
    for (const char *line : {"\nREQUEST_METHOD=GET\n", "\nCONTENT_TYPE=multipart/form-data\n",
                             "\nboundary=----XyZ\n", "\nHTTP_USER_AGENT=probe/1.0\n",
                             "\nREMOTE_ADDR=127.0.0.1\n", "\nCONTENT_LENGTH=3\n",
                             "\nSERVER_NAME=\n"})
        EXPECT_NE(o.output.find(line), std::string::npos) << line << " in\n" << o.output;
}

TEST(RequestE2E, FailedParseExitsWith255AndWritesNothing) {
    const Row rows[] = {
        {"body shorter than CONTENT_LENGTH",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", kForm}, {"CONTENT_LENGTH", "10"}}, "a=1",
         ""},
        {"CONTENT_LENGTH beyond int does not wrap to the body's size",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", kForm}, {"CONTENT_LENGTH", "4294967299"}},
         "a=1", ""},
        {"URL-encoded body above the input limit",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", kForm}, {"CONTENT_LENGTH", std::to_string(CGI_MAX_INPUT + 1LL)}},
         "v=" + std::string(CGI_MAX_INPUT - 1LL, 'q'), ""},
        {"sethc's multipart submit cut after the chang part: hang never came",
         {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=b"}, {"CONTENT_LENGTH", "178"}},
         "--b\r\nContent-Disposition: form-data; name=\"hc_submit\"\r\n\r\n1\r\n"
         "--b\r\nContent-Disposition: form-data; name=\"chang\"\r\n\r\n5\r\n--b\r\n",
         "", SETHC_CGI},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        for (Stdin how : {Stdin::Pipe, Stdin::File}) {
            Outcome o = runCgi(row.program, row.env, row.body, how);
            EXPECT_EQ(o.exitStatus, 255);
            EXPECT_EQ(o.output, "");
        }
    }
}

std::string fnv(const std::string &s) {
    unsigned long long h = 0xcbf29ce484222325ull;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001b3ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", h);
    return out;
}

// Several MiB of binary upload with near-miss delimiters in it, through a
// pipe as the web server delivers it.
TEST(RequestE2E, LargeUploadsArriveWhole) {
    const auto before = tmpFiles();
    std::string data;
    unsigned x = 12345;
    while (data.size() < 5u * 1024 * 1024) {
        x = x * 1103515245u + 12345u;
        data += static_cast<char>(x >> 24);
        if (data.size() % 100000 == 0)
            data += "\r\n--bound\r\n--boundar";
    }
    const std::string body = "--boundary42\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
                             "--boundary42\r\nContent-Disposition: form-data; name=\"up\"; filename=\"d.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             data + "\r\n--boundary42\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n"
                             "--boundary42--\r\n";
    const EnvList env = {{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "multipart/form-data; boundary=boundary42"},
                         {"CONTENT_LENGTH", std::to_string(body.size())}};
    Outcome o = runCgi(DUMP_CGI, env, body);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(fieldLines(o.output), "field a 1 1\nfield up " + std::to_string(data.size()) +
                                        " (file d.bin application/octet-stream " +
                                        std::to_string(data.size()) + " " + fnv(data) +
                                        ")\nfield b 1 2\n");
    EXPECT_EQ(tmpFiles(), before) << "temporary files left behind";

    // The temporary file can't take the upload (file size limit): the
    // request fails before the application runs, and the file is deleted.
    o = runCgi(DUMP_CGI, env, body, Stdin::Pipe, 65536);
    EXPECT_EQ(o.exitStatus, 255);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(tmpFiles(), before) << "temporary files left behind";

    // The client went away: the output is closed before the program writes
    // (a long query string makes it write while the upload still exists).
    // Its writes fail, and it still ends normally and deletes the upload.
    EnvList loud = env;
    loud.push_back({"QUERY_STRING", std::string(20000, 'q')});
    o = runCgi(DUMP_CGI, loud, body, Stdin::Pipe, -1, Stdout::Closed);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(tmpFiles(), before) << "temporary files left behind";
}

// An upload under every file-size limit around block sizes: the request
// fails as a whole (exit 255, nothing written) until the file fits, and no
// temporary file stays.
TEST(RequestE2E, UploadWriteFailuresAtEveryBlockEdge) {
    const auto before = tmpFiles();
    const std::string data(200000, 'u');
    const std::string body = "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"u\"\r\n\r\n" + data +
                             "\r\n--b--\r\n";
    const EnvList env = {{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "multipart/form-data; boundary=b"},
                         {"CONTENT_LENGTH", std::to_string(body.size())}};
    for (long limit : {0L, 1L, 512L, 4095L, 4096L, 65535L, 65536L, 65537L, 131072L, 199999L, 200000L}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        Outcome o = runCgi(DUMP_CGI, env, body, Stdin::Pipe, limit);
        if (limit < static_cast<long>(data.size())) {
            EXPECT_EQ(o.exitStatus, 255);
            EXPECT_EQ(o.output, "");
        } else {
            EXPECT_EQ(o.exitStatus, 0);
            EXPECT_NE(o.output.find("field up 200000 (file u  200000 "), std::string::npos) << o.output;
        }
        EXPECT_EQ(tmpFiles(), before);
    }
}

// With "/tmp" read-only (in a private mount namespace), an upload fails as a
// whole and URL-encoded input still works.
TEST(RequestE2E, UnwritableTmpFailsUploadsOnly) {
    const char *mount = access("/usr/bin/mount", X_OK) == 0 ? "/usr/bin/mount" : "/bin/mount";
    if (system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mounts here";
    auto inPrivateMount = [&](const EnvList &env, const std::string &body) {
        // /tmp itself, read-only: what lies there (the program, perhaps)
        // stays readable.
        std::string command = std::string(mount) + " --bind /tmp /tmp && " + mount +
                              " -o remount,bind,ro /tmp && exec";
        for (const auto &word : emulated(DUMP_CGI))
            command += " '" + word + "'";
        return runCgi({"/usr/bin/unshare", "-m", "/bin/sh", "-c", command}, env, body);
    };
    const std::string upload = "--b\r\nContent-Disposition: form-data; name=f; filename=x\r\n\r\nabc\r\n--b--\r\n";
    Outcome o = inPrivateMount({{"REQUEST_METHOD", "POST"},
                                {"CONTENT_TYPE", "multipart/form-data; boundary=b"},
                                {"CONTENT_LENGTH", std::to_string(upload.size())}},
                               upload);
    EXPECT_EQ(o.exitStatus, 255);
    EXPECT_EQ(o.output, "");
    o = inPrivateMount({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, "");
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.output.find("field a 1 1\n"), std::string::npos) << o.output;
}

} // namespace
} // namespace cgitest
