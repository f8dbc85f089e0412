// sethc.cgi as the web server runs it, against a private device directory:
// every request's answer and, byte for byte, every file it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <tuple>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"

namespace cgitest {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

const std::string kRoot = SETHC_TEST_ROOT;
const std::string kMnt = kRoot + "/mnt";
const std::string kHeader = "Content-type: text/plain\r\n\r\n";

// Records "F,F+10,F+20" for formats first..last, each ended by `end`.
std::string records(int first = 1, int last = 41, const std::string &end = "\n") {
    std::string s;
    for (int f = first; f <= last; ++f)
        s += std::to_string(f) + "," + std::to_string(f + 10) + "," + std::to_string(f + 20) + end;
    return s;
}

std::string replaced(std::string s, const std::string &from, const std::string &to) {
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

std::string current(int f, int v, int h) {
    return "\ncurrent:\nformat=" + std::to_string(f) + " V=" + std::to_string(v) +
           ",H=" + std::to_string(h) + "\n";
}

std::string modified(int f, int v, int h) {
    return "\nmodify:\nformat=" + std::to_string(f) + " V=" + std::to_string(v) +
           ",H=" + std::to_string(h) + "\n\nset ok\n";
}

Files with(Files files, const Files &changes) {
    for (const auto &kv : changes)
        files[kv.first] = kv.second;
    return files;
}

// Empties the device directory and writes `files` into it.
void seedDevice(const Files &files) {
    fs::remove_all(kRoot);
    fs::create_directories(kMnt);
    for (const auto &kv : files)
        std::ofstream(kMnt + "/" + kv.first, std::ios::binary) << kv.second;
}

// Every file in the device directory with its content.
Files deviceFiles() {
    Files result;
    for (const auto &entry : fs::directory_iterator(kMnt)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        result[entry.path().filename().string()] = ss.str();
    }
    return result;
}

class Sethc : public ::testing::Test {
protected:
    void SetUp() override { reset({}); }
    static void reset(const Files &files) { seedDevice(files); }
    static Files files() { return deviceFiles(); }

    // A GET with `query`; returns the body after the header.
    static std::string get(const std::string &query, long fileSizeLimit = -1) {
        Outcome o = runCgi(SETHC_CGI, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, "",
                           Stdin::Pipe, fileSizeLimit);
        EXPECT_EQ(o.exitStatus, 0);
        EXPECT_EQ(o.output.compare(0, kHeader.size(), kHeader), 0) << o.output;
        return o.output.size() >= kHeader.size() ? o.output.substr(kHeader.size()) : o.output;
    }
};

struct Row {
    const char *label;
    Files before;
    std::string query;
    std::string answer;
    Files after;
};

void runRows(const std::vector<Row> &rows) {
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        seedDevice(row.before);
        Outcome o = runCgi(SETHC_CGI, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", row.query}});
        EXPECT_EQ(o.exitStatus, 0);
        EXPECT_EQ(o.output, kHeader + row.answer);
        Files now = deviceFiles();
        EXPECT_EQ(now, row.after) << "files left in the device directory";
    }
}

const std::string kPlus11 = "hc_submit=1&chang=1&hang=1";
const Files kDevice = {{"format.ini", "HDMI 7\n"}, {"config.ini", records()}};

// The command line that runs sethc.cgi as the web server's user: the
// unprivileged user 4321, in the supplementary `groups`, when the tests run
// as root (whom no file mode stops); else the tests' own user.
std::vector<std::string> unprivileged(const std::string &groups = "") {
    const bool root = geteuid() == 0;
    std::vector<std::string> command;
    if (root)
        command = {"setpriv", "--reuid=4321", "--regid=4321",
                   groups.empty() ? "--clear-groups" : "--groups=" + groups};
    for (std::string word : emulated(SETHC_CGI)) {
        const size_t pid = word.find("%d");
        if (root && pid != std::string::npos) {
            // That user can't create the emulator's system-call log in the
            // log directory, so the log is made here, for it to write.
            static int runs = 0;
            word.replace(pid, 2, "user" + std::to_string(getpid()) + "-" + std::to_string(++runs));
            std::ofstream(word).close();
            EXPECT_EQ(chown(word.c_str(), 4321, 4321), 0) << word;
        }
        command.push_back(word);
    }
    return command;
}

TEST_F(Sethc, TypicalSubmitByPostChangesOnlyItsRecord) {
    reset(kDevice);
    const std::string body = "hc_submit=1&chang=2&hang=-1";
    Outcome o = runCgi(SETHC_CGI, {{"REQUEST_METHOD", "POST"},
                                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                   {"CONTENT_LENGTH", std::to_string(body.size())}},
                       body);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.output, kHeader + "add V=2,H=-1\n" + current(7, 17, 27) + modified(7, 19, 26));
    EXPECT_EQ(files(), with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,19,26\n")}}));
}

TEST_F(Sethc, RecordSearchAndRewrite) {
    const std::string add11 = "add V=1,H=1\n";
    runRows({
        {"format 7, LF file", kDevice, kPlus11, add11 + current(7, 17, 27) + modified(7, 18, 28),
         with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,18,28\n")}})},
        {"format 1 is the first line", {{"format.ini", "x 1\n"}, {"config.ini", records()}}, kPlus11,
         add11 + current(1, 11, 21) + modified(1, 12, 22),
         {{"format.ini", "x 1\n"}, {"config.ini", "1,12,22\n" + records(2)}}},
        {"format 1 only at the start", {{"format.ini", " 1"}, {"config.ini", "\n1,11,21\n"}}, kPlus11,
         add11 + current(1, 0, 0) + "error,no record!",
         {{"format.ini", " 1"}, {"config.ini", "\n1,11,21\n"}}},
        {"format 41 drops what follows", {{"format.ini", " 41\n"}, {"config.ini", records() + "junk\n"}},
         kPlus11, add11 + current(41, 51, 61) + modified(41, 52, 62),
         {{"format.ini", " 41\n"}, {"config.ini", records(1, 40) + "41,52,62\n"}}},
        {"format 10 ending the text", {{"format.ini", " 10\n"}, {"config.ini", "1,11,21\n10,20,30"}},
         kPlus11, add11 + current(10, 20, 30) + modified(10, 21, 31),
         {{"format.ini", " 10\n"}, {"config.ini", "1,11,21\n10,21,31\n"}}},
        {"format 7 ending the text", {{"format.ini", " 7\n"}, {"config.ini", "1,11,21\n7,17,27"}},
         kPlus11, add11 + current(7, 17, 27) + modified(7, 18, 28),
         {{"format.ini", " 7\n"}, {"config.ini", "1,11,21\n7,18,28\n"}}},
        {"format 4 is not 41 or 42",
         {{"format.ini", " 4\n"}, {"config.ini", "1,1,1\n41,5,5\n42,6,6\n4,7,7\n5,8,8\n"}}, kPlus11,
         add11 + current(4, 7, 7) + modified(4, 8, 8),
         {{"format.ini", " 4\n"}, {"config.ini", "1,1,1\n41,5,5\n42,6,6\n4,8,8\n5,8,8\n"}}},
        {"the later of two records counts",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,5,5\n8,1,1\n7,9,9\n"}}, kPlus11,
         add11 + current(7, 9, 9) + modified(7, 10, 10),
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,5,5\n8,1,1\n7,10,10\n"}}},
        {"CR LF file", {{"format.ini", " 7\r\n"}, {"config.ini", "1,11,21\r\n7,17,27\r\n8,18,28\r\n"}},
         kPlus11, add11 + current(7, 17, 27) + modified(7, 18, 28),
         {{"format.ini", " 7\r\n"}, {"config.ini", "1,11,21\r\n7,18,28\n\n8,18,28\r\n"}}},
        {"the last space of the format file counts",
         {{"format.ini", "a 1 2\n"}, {"config.ini", records(1, 3)}}, kPlus11,
         add11 + current(2, 12, 22) + modified(2, 13, 23),
         {{"format.ini", "a 1 2\n"}, {"config.ini", "1,11,21\n2,13,23\n3,13,23\n"}}},
        {"a format key is cut to four characters",
         {{"format.ini", " 12345\n"}, {"config.ini", records(11, 12)}}, kPlus11,
         add11 + current(1234, 22, 32) + modified(1234, 23, 33),
         {{"format.ini", " 12345\n"}, {"config.ini", "11,21,31\n1234,23,33\n"}}},
        {"no space: format 0 has no record", {{"format.ini", "7\n"}, {"config.ini", records(1, 3)}},
         kPlus11, add11 + current(0, 0, 0) + "error,no record!",
         {{"format.ini", "7\n"}, {"config.ini", records(1, 3)}}},
        {"missing files are created empty", {}, kPlus11, add11 + current(0, 0, 0) + "error,no record!",
         {{"format.ini", ""}, {"config.ini", ""}}},
        {"a record without its comma", {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,17\n8,1,1\n"}},
         kPlus11, add11 + current(7, 0, 0) + "error,bad record!",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,17\n8,1,1\n"}}},
        {"bytes after a NUL byte are kept",
         {{"format.ini", " 7\n"}, {"config.ini", std::string("1,1,1\n7,5,5\n15\0\0,25\n8,1,1\n", 26)}},
         kPlus11, add11 + current(7, 5, 5) + modified(7, 6, 6),
         {{"format.ini", " 7\n"}, {"config.ini", std::string("1,1,1\n7,6,6\n15\0\0,25\n8,1,1\n", 26)}}},
        {"a record whose end is beyond the window",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,12,3456789\n"}}, kPlus11,
         add11 + current(7, 12, 0) + "error,bad record!",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,12,3456789\n"}}},
    });
}

TEST_F(Sethc, ClampingRangeAndViewMode) {
    const Files f7 = {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,500,27\n8,1,1\n"}};
    runRows({
        {"below 0 becomes 0", f7, "hc_submit=1&chang=-501&hang=-5",
         "add V=-501,H=-5\n" + current(7, 500, 27) + modified(7, 0, 22),
         with(f7, {{"config.ini", "1,1,1\n7,0,22\n8,1,1\n"}})},
        {"512 is allowed", f7, "hc_submit=1&chang=12&hang=0",
         "add V=12,H=0\n" + current(7, 500, 27) + modified(7, 512, 27),
         with(f7, {{"config.ini", "1,1,1\n7,512,27\n8,1,1\n"}})},
        {"513 is out of range", f7, "hc_submit=1&chang=13&hang=0",
         "add V=13,H=0\n" + current(7, 500, 27) + "error,out of range!", f7},
        {"a huge change does not wrap", f7, "hc_submit=1&chang=99999999999&hang=0",
         "add V=99999999999,H=0\n" + current(7, 500, 27) + "error,out of range!", f7},
        {"view normalises the record",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,+07,-3\r8,1,1\n"}}, "viewhc=1",
         current(7, 7, -3), {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,7,0\n8,1,1\n"}}},
        {"view of a stored value above 512",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,600,5\n"}}, "viewhc=1",
         current(7, 600, 5) + "error,out of range!",
         {{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,600,5\n"}}},
    });
}

TEST_F(Sethc, OutputModeSelectsThePositionFile) {
    const std::string cfg = records(1, 9);
    const std::string dvi = records(1, 9, "\n") + "#dvi\n";
    for (const char *mode : {"1", "2\n", " 2 x"}) {
        SCOPED_TRACE(mode);
        const Files before = {{"format.ini", " 7\n"}, {"tz582.ini", mode}, {"config.ini", cfg},
                              {"config.dvi.ini", dvi}};
        runRows({{"DVI path", before, kPlus11,
                  "add V=1,H=1\n" + current(7, 17, 27) + modified(7, 18, 28),
                  with(before, {{"config.dvi.ini", replaced(dvi, "\n7,17,27\n", "\n7,18,28\n")}})}});
    }
    for (const char *mode : std::initializer_list<const char *>{"0", "3", "x", nullptr}) {
        SCOPED_TRACE(mode ? mode : "no output mode file");
        Files before = {{"format.ini", " 7\n"}, {"config.ini", cfg}, {"config.dvi.ini", dvi}};
        if (mode)
            before["tz582.ini"] = mode;
        runRows({{"normal path", before, kPlus11,
                  "add V=1,H=1\n" + current(7, 17, 27) + modified(7, 18, 28),
                  with(before, {{"config.ini", replaced(cfg, "\n7,17,27\n", "\n7,18,28\n")}})}});
    }
}

TEST_F(Sethc, OffsetFieldsDecideTheSubmit) {
    const std::string long1023(1022, '0');
    runRows({
        {"no action at all", kDevice, "chang=1&hang=1", "", kDevice},
        {"chang only", kDevice, "hc_submit=1&chang=1",
         "add V=1,H=\n" + current(7, 17, 27) + modified(7, 18, 27),
         with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,18,27\n")}})},
        {"hang only", kDevice, "hc_submit=&hang=2",
         "add V=,H=2\n" + current(7, 17, 27) + modified(7, 17, 29),
         with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,17,29\n")}})},
        {"chang empty", kDevice, "hc_submit=1&chang=&hang=1", "input empty", kDevice},
        {"neither offset", kDevice, "hc_submit=1", "", kDevice},
        {"an offset of 1024 characters", kDevice, "hc_submit=1&chang=" + long1023 + "12&hang=1",
         "error len", kDevice},
        {"truncation wins over empty", kDevice, "hc_submit=1&chang=&hang=" + long1023 + "12",
         "error len", kDevice},
        {"an offset of 1023 characters", kDevice, "hc_submit=1&chang=" + long1023 + "1&hang=0",
         "add V=" + long1023 + "1,H=0\n" + current(7, 17, 27) + modified(7, 18, 27),
         with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,18,27\n")}})},
        {"text without digits is 0, echoed as sent, line breaks removed", kDevice,
         "hc_submit=1&chang=abc&hang=%2B1%0D%0A",
         "add V=abc,H=+1\n" + current(7, 17, 27) + modified(7, 17, 28),
         with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n", "\n7,17,28\n")}})},
    });
}

TEST_F(Sethc, ResetRestoresFactoryCopies) {
    const std::string factory = records(1, 41);
    const std::string dviFactory = records(1, 41) + "#dvi\n";
    const Files worked = {{"format.ini", " 7\n"},
                          {"config.ini", "changed\n"},
                          {"config.dvi.ini", "changed dvi\n"},
                          {"config.ini.org", factory},
                          {"config.dvi.ini.org", dviFactory}};
    runRows({
        {"without an output mode file only config.ini", worked, "resethc=1", "recover ok",
         with(worked, {{"config.ini", factory}})},
        {"with one, whatever it holds, both", with(worked, {{"tz582.ini", "0"}}), "resethc=1",
         "recover ok",
         with(worked, {{"tz582.ini", "0"}, {"config.ini", factory}, {"config.dvi.ini", dviFactory}})},
        {"a missing factory copy fails, the other is still restored",
         {{"tz582.ini", ""}, {"config.ini", "a\n"}, {"config.dvi.ini", "b\n"}, {"config.dvi.ini.org", dviFactory}},
         "resethc=1", "recover failed",
         {{"tz582.ini", ""}, {"config.ini", "a\n"}, {"config.dvi.ini", dviFactory},
          {"config.dvi.ini.org", dviFactory}}},
        {"submit, reset and view in one request", with(worked, {{"config.ini", records()}}),
         kPlus11 + "&resethc=1&viewhc=1",
         "add V=1,H=1\n" + current(7, 17, 27) + modified(7, 18, 28) + "recover ok" + current(7, 17, 27),
         with(worked, {{"config.ini", factory}})},
    });
}

TEST_F(Sethc, SizesAreBoundedAndNothingIsReadInPart) {
    // A text of exactly `size` bytes whose record of format 7 is 7,9,9.
    auto sized = [](size_t size) {
        std::string s = "1,1,1\n7,9,9\n";
        while (s.size() + 6 <= size)
            s += "8,1,1\n";
        return s + std::string(size - s.size() - 1, '#') + "\n";
    };
    const std::string big = sized(1000), fits = sized(999);
    ASSERT_EQ(big.size(), 1000u);
    runRows({
        {"a file of 1000 bytes", {{"format.ini", " 7\n"}, {"config.ini", big}}, kPlus11,
         "add V=1,H=1\nerror,file too big!", {{"format.ini", " 7\n"}, {"config.ini", big}}},
        {"a text that would grow to 1000 bytes", {{"format.ini", " 7\n"}, {"config.ini", fits}},
         kPlus11, "add V=1,H=1\n" + current(7, 9, 9) + "error,file too big!",
         {{"format.ini", " 7\n"}, {"config.ini", fits}}},
        {"a text that stays at 999 bytes", {{"format.ini", " 7\n"}, {"config.ini", fits}},
         "hc_submit=1&chang=-1&hang=-1", "add V=-1,H=-1\n" + current(7, 9, 9) + modified(7, 8, 8),
         {{"format.ini", " 7\n"}, {"config.ini", replaced(fits, "7,9,9", "7,8,8")}}},
    });
}

TEST_F(Sethc, FailedRewriteKeepsTheOldFileAndReportsIt) {
    // The temporary file can't be created where a directory stands.
    reset(kDevice);
    fs::create_directory(kMnt + "/config.ini.tmp");
    EXPECT_EQ(get(kPlus11), "add V=1,H=1\n" + current(7, 17, 27) + "Can't open file\n");
    fs::remove(kMnt + "/config.ini.tmp");
    EXPECT_EQ(files(), kDevice);

    // The write fails part way (the file size limit is below the text's size).
    EXPECT_EQ(get(kPlus11, 64), "add V=1,H=1\n" + current(7, 17, 27) + "Can't write file\n");
    EXPECT_EQ(files(), kDevice) << "old file kept, no temporary file left";
}

TEST_F(Sethc, UnreadableFilesStopTheRunBeforeAnyReport) {
    reset({{"config.ini", records()}});
    fs::create_directory(kMnt + "/format.ini");
    EXPECT_EQ(get(kPlus11 + "&viewhc=1"), "add V=1,H=1\nCan't open file\nCan't open file\n");
    fs::remove(kMnt + "/format.ini");
    EXPECT_EQ(files(), (Files{{"config.ini", records()}}));

    reset({{"format.ini", " 7\n"}, {"tz582.ini", "1"}, {"config.ini", records()}});
    fs::create_directory(kMnt + "/config.dvi.ini");
    EXPECT_EQ(get(kPlus11), "add V=1,H=1\nCan't open file\n");
    fs::remove(kMnt + "/config.dvi.ini");
    EXPECT_EQ(files(), (Files{{"format.ini", " 7\n"}, {"tz582.ini", "1"}, {"config.ini", records()}}));
}

// What a rewrite keeps of the position file, whether root or the web
// server's user runs it.
TEST_F(Sethc, WhatARewriteKeeps) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file another owner";
    using Owner = std::tuple<uid_t, gid_t, unsigned>; // and the permission bits
    struct Keep {
        const char *label;
        Owner before;
        mode_t dir;  // the device directory's mode during the request
        bool linked; // config.ini is a link to persist/config.ini beside the directory
        std::vector<std::string> command;
        std::string query, answer;
        Owner after;
        bool changes; // the record of format 7 becomes 7,18,28
    };
    const auto root = emulated(SETHC_CGI);
    const std::string plus11 = "add V=1,H=1\n" + current(7, 17, 27) + modified(7, 18, 28);
    const std::vector<Keep> rows = {
        {"permission bits", {0, 0, 0640}, 0755, false, root, kPlus11, plus11, {0, 0, 0640}, true},
        {"owner and group", {4321, 8765, 0640}, 0755, false, root, kPlus11, plus11, {4321, 8765, 0640}, true},
        {"the group, for a member that may not set the owner", {0, 8765, 0660}, 0777, false,
         unprivileged("8765"), kPlus11, plus11, {4321, 8765, 0660}, true},
        {"a link, whose file is replaced", {4321, 8765, 0640}, 0755, true, root, kPlus11, plus11,
         {4321, 8765, 0640}, true},
        {"the very file when nothing changes, in a directory that can't be written", {0, 0, 0644}, 0555,
         false, unprivileged(), "hc_submit=1&chang=0&hang=0&viewhc=1",
         "add V=0,H=0\n" + current(7, 17, 27) + modified(7, 17, 27) + current(7, 17, 27), {0, 0, 0644},
         false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        reset(kDevice);
        std::string file = kMnt + "/config.ini";
        if (row.linked) {
            fs::create_directory(kRoot + "/persist");
            fs::rename(file, kRoot + "/persist/config.ini");
            fs::create_symlink("../persist/config.ini", file);
            file = kRoot + "/persist/config.ini";
        }
        ASSERT_EQ(chown(file.c_str(), std::get<0>(row.before), std::get<1>(row.before)), 0);
        ASSERT_EQ(chmod(file.c_str(), std::get<2>(row.before)), 0);
        struct stat was, st;
        ASSERT_EQ(stat(file.c_str(), &was), 0);
        chmod(kMnt.c_str(), row.dir);
        Outcome o = runCgi(row.command, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", row.query}});
        chmod(kMnt.c_str(), 0755);
        EXPECT_EQ(o.output, kHeader + row.answer);
        EXPECT_EQ(files(), row.changes ? with(kDevice, {{"config.ini", replaced(records(), "\n7,17,27\n",
                                                                                  "\n7,18,28\n")}})
                                       : kDevice);
        ASSERT_EQ(lstat((kMnt + "/config.ini").c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), row.linked);
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(Owner(st.st_uid, st.st_gid, st.st_mode & 07777), row.after);
        if (!row.changes) {
            EXPECT_EQ(st.st_ino, was.st_ino) << "the file was written anew";
        }
    }
}

// The rewrite and the reset are done in-process: a request makes one exec
// (its own, or the emulator's) and starts no other process.
TEST_F(Sethc, RequestsStartNoProcess) {
    const char *strace = "/usr/bin/strace";
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    reset(with(kDevice, {{"tz582.ini", "0"}, {"config.ini.org", "1,1,1\n"},
                         {"config.dvi.ini.org", "1,1,1\n"}}));
    const std::string trace = kRoot + "/trace";
#ifdef CGI_EMULATOR
    // The emulator's own threads are clones; a started process would be a
    // fork and an exec.
    std::vector<std::string> command = {strace, "-f", "-qq", "-e", "trace=execve,fork,vfork", "-o", trace};
#else
    std::vector<std::string> command = {strace, "-f", "-qq", "-e", "trace=execve,fork,vfork,clone,clone3",
                                        "-o", trace};
#endif
    for (const auto &word : emulated(SETHC_CGI))
        command.push_back(word);
    Outcome o = runCgi(command,
                       {{"ASAN_OPTIONS", "detect_leaks=0"}, // the leak checker is a thread of its own
                        {"REQUEST_METHOD", "GET"},
                        {"QUERY_STRING", kPlus11 + "&resethc=1&viewhc=1"}});
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.output.find("recover ok"), std::string::npos) << o.output;
    std::ifstream in(trace);
    std::string l, calls;
    while (std::getline(in, l))
        calls += l + "\n";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 1) << calls;
    EXPECT_NE(calls.find("execve("), std::string::npos) << calls;
}

// Submits killed at random moments: each time the position file is the old
// text or the new one, and at most the one fixed temporary file is left.
TEST_F(Sethc, KilledSubmitsLeaveTheOldOrTheNewFile) {
    reset({{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,0,0\n8,1,1\n"}});
    const std::string bodyFile = kRoot + "/body";
    std::ofstream(bodyFile) << "hc_submit=1&chang=1&hang=0";
    auto text = [](int v) { return "1,1,1\n7," + std::to_string(v) + ",0\n8,1,1\n"; };
    const EnvList env = {{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", "26"}};
    // Kill moments spread over one and a half times a whole submit's duration.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(waitCgi(startCgi(SETHC_CGI, env, bodyFile, kRoot + "/out")), 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(files()["config.ini"], text(1));
    std::mt19937 rng(12345);
    std::uniform_int_distribution<long> delay(0, whole * 3 / 2);
    int v = 1, killed = 0, completed = 0;
    // SETHC_CRASH_TRIALS runs more of them (the suite runs 300).
    const char *trials = std::getenv("SETHC_CRASH_TRIALS");
    const int total = trials ? std::atoi(trials) : 300;
    for (int i = 0; i < total; ++i) {
        if (v == 500) {
            reset({{"format.ini", " 7\n"}, {"config.ini", text(0)}});
            std::ofstream(bodyFile) << "hc_submit=1&chang=1&hang=0";
            v = 0;
        }
        int pid = startCgi(SETHC_CGI, env, bodyFile, kRoot + "/out");
        usleep(static_cast<useconds_t>(delay(rng)));
        kill(pid, SIGKILL);
        const int status = waitCgi(pid);
        ASSERT_TRUE(status == -1 || status == 0) << "the submit could not run: " << status;
        killed += status == -1;
        Files now = files();
        ASSERT_TRUE(now["config.ini"] == text(v) || now["config.ini"] == text(v + 1))
            << "after " << i << " submits: " << now["config.ini"];
        if (now["config.ini"] == text(v + 1)) {
            ++v;
            ++completed;
        }
        now.erase("config.ini");
        now.erase("config.ini.tmp");
        ASSERT_EQ(now, (Files{{"format.ini", " 7\n"}})) << "only the one temporary file may stay";
    }
    RecordProperty("trials", total);
    RecordProperty("completed", completed);
    RecordProperty("killed", killed);
    EXPECT_GT(completed, 0) << "no submit ever completed";
    EXPECT_GT(killed, 0) << "no submit was ever interrupted";
}

// Concurrent submits are applied one after the other. Without the lock
// (the web server's user may not read the directory) changes may be lost,
// but each submit still replaces the file whole, through a temporary file
// of its own.
TEST_F(Sethc, ConcurrentSubmitsAreSerialised) {
    const std::string body = "hc_submit=1&chang=1&hang=1";
    const std::string bodyFile = kRoot + "/body";
    const EnvList env = {{"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", "26"}};
    for (const bool locked : {true, false}) {
        SCOPED_TRACE(locked ? "with the lock" : "without the lock: the directory can't be read");
        reset({{"format.ini", " 7\n"}, {"config.ini", "1,1,1\n7,0,5\n8,1,1\n"}});
        std::ofstream(bodyFile) << body;
        const int n = locked ? 50 : 40;
        chmod(kMnt.c_str(), locked ? 0755 : 0333);
        std::vector<int> pids;
        for (int i = 0; i < n; ++i) {
            const std::string out = kRoot + "/out" + std::to_string(i);
            if (locked) {
                pids.push_back(startCgi(SETHC_CGI, env, bodyFile, out));
            } else if (int pid = fork()) {
                pids.push_back(pid);
            } else {
                Outcome o = runCgi(unprivileged(), env, body);
                std::ofstream(out) << o.output;
                _exit(o.exitStatus);
            }
        }
        for (int pid : pids)
            EXPECT_EQ(waitCgi(pid), 0);
        chmod(kMnt.c_str(), 0755);
        Files now = files();
        int v = n;
        auto text = [](int k) {
            return "1,1,1\n7," + std::to_string(k) + "," + std::to_string(k + 5) + "\n8,1,1\n";
        };
        while (v > 0 && now["config.ini"] != text(v))
            --v;
        EXPECT_TRUE(locked ? v == n : v > 0) << now["config.ini"];
        if (!locked)
            RecordProperty("applied without the lock", v);
        now.erase("config.ini");
        EXPECT_EQ(now, (Files{{"format.ini", " 7\n"}})) << "no temporary file stays";
        for (int i = 0; i < n; ++i) {
            std::ifstream in(kRoot + "/out" + std::to_string(i));
            std::stringstream ss;
            ss << in.rdbuf();
            EXPECT_NE(ss.str().find("\nset ok\n"), std::string::npos) << ss.str();
        }
    }
}

// Resets interleaved with submits, while a reader keeps reading the file:
// every read is a whole position file, never an empty or partial one.
TEST_F(Sethc, ReadersNeverSeeAPartialFile) {
    const std::string factory = records();
    reset({{"format.ini", " 7\n"}, {"tz582.ini", "0"}, {"config.ini", factory}, {"config.ini.org", factory},
           {"config.dvi.ini", factory}, {"config.dvi.ini.org", factory}});
    std::ofstream(kRoot + "/submit") << "hc_submit=1&chang=1&hang=1";
    std::ofstream(kRoot + "/reset") << "resethc=1&viewhc=1";
    auto whole = [&](const std::string &text) {
        // The factory text with any values in the record of format 7.
        size_t at = factory.find("\n7,17,27\n");
        size_t end = text.find('\n', at + 1);
        if (at == std::string::npos || end == std::string::npos || text.compare(0, at + 1, factory, 0, at + 1))
            return false;
        const std::string record = text.substr(at + 1, end - at - 1);
        int v, h;
        char rest;
        return std::sscanf(record.c_str(), "7,%d,%d%c", &v, &h, &rest) == 2 &&
               text.substr(end) == factory.substr(factory.find("\n8,18,28\n"));
    };
    std::vector<int> pids;
    for (int i = 0; i < 40; ++i) {
        const bool isReset = i % 4 == 3;
        const std::string body = kRoot + (isReset ? "/reset" : "/submit");
        pids.push_back(startCgi(SETHC_CGI,
                                {{"REQUEST_METHOD", "POST"},
                                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                 {"CONTENT_LENGTH", isReset ? "18" : "26"}},
                                body, kRoot + "/out" + std::to_string(i)));
    }
    int reads = 0;
    for (bool running = true; running;) {
        running = false;
        for (int &pid : pids) {
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0)
                running = true;
            else
                pid = -1;
        }
        std::ifstream in(kMnt + "/config.ini", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        ASSERT_TRUE(whole(ss.str())) << "a reader saw: " << ss.str();
        ++reads;
    }
    RecordProperty("reads", reads);
    Files now = files();
    EXPECT_TRUE(whole(now["config.ini"]));
    EXPECT_EQ(now.count("config.ini.tmp"), 0u);
}

// The position file under every file-size limit around the new text's size:
// a rewrite that cannot be written whole reports it and keeps the old file.
TEST_F(Sethc, EveryFileSizeLimitKeepsTheOldOrTheNewFile) {
    const std::string before = "1,1,1\n7,17,27\n8,1,1\n";
    const std::string after = "1,1,1\n7,18,28\n8,1,1\n";
    int failures = 0;
    for (long limit = 0; limit <= static_cast<long>(after.size()) + 2; ++limit) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        reset({{"format.ini", " 7\n"}, {"config.ini", before}});
        const std::string answer = get(kPlus11, limit);
        const Files now = files();
        EXPECT_EQ(now.size(), 2u) << "a temporary file was left";
        if (limit < static_cast<long>(after.size())) {
            EXPECT_EQ(answer, "add V=1,H=1\n" + current(7, 17, 27) + "Can't write file\n");
            EXPECT_EQ(now.at("config.ini"), before);
            ++failures;
        } else {
            EXPECT_EQ(answer, "add V=1,H=1\n" + current(7, 17, 27) + modified(7, 18, 28));
            EXPECT_EQ(now.at("config.ini"), after);
        }
    }
    EXPECT_EQ(failures, static_cast<int>(after.size()));
}

} // namespace
} // namespace cgitest
