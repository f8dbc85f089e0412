// sethc.cgi as the web server runs it, against a private device directory:
// every request's answer and, byte for byte, every file it leaves behind.
#include <map>
#include <regex>
#include <tuple>

#include "process.h"

namespace {

namespace fs = std::filesystem;
// The device directory by name: a file's content, kDir for a directory, kFifo
// for a FIFO, "->" and the target for a symbolic link, "=>" and another name
// for a second hard link to that file. kGone in a change removes the name.
using Files = std::map<std::string, std::string>;
const std::string kRoot = SETHC_TEST_ROOT, kMnt = kRoot + "/mnt", kDir = "<dir>", kFifo = "<fifo>", kGone = "<gone>";
const std::string kHeader = "Content-type: text/plain\r\n\r\n", kPlus11 = "hc_submit=1&chang=1&hang=1";

// Records "F,F+10,F+20" for formats first..last.
std::string records(int first = 1, int last = 41) {
    std::string s;
    for (int f = first; f <= last; ++f)
        s += std::to_string(f) + "," + std::to_string(f + 10) + "," + std::to_string(f + 20) + "\n";
    return s;
}
// `text` with the record of format 7 holding v and h.
std::string rec7(int v, int h, std::string text = records()) {
    const size_t at = text.find("\n7,") + 1;
    return text.replace(at, text.find('\n', at) - at, "7," + std::to_string(v) + "," + std::to_string(h));
}
// The store's report of the record as read ("current") or as written ("modify").
std::string current(int f, int v, int h, const std::string &what = "current") {
    return "\n" + what + ":\nformat=" + std::to_string(f) + " V=" + std::to_string(v) + ",H=" + std::to_string(h) +
           "\n";
}
std::string modified(int f, int v, int h) { return current(f, v, h, "modify") + "\nset ok\n"; }
std::string plus11(int f, int v, int h) { return "add V=1,H=1\n" + current(f, v, h) + modified(f, v + 1, h + 1); }
std::string refused(int f, int v, int h, const std::string &why) { return "add V=1,H=1\n" + current(f, v, h) + why; }

Files with(Files files, const Files &changes) {
    for (const auto &[name, content] : changes)
        if ((files[name] = content) == kGone)
            files.erase(name);
    return files;
}
// The format file and the position file; the position file alone.
Files dev(std::string config, std::string format = " 7\n") { return {{"format.ini", format}, {"config.ini", config}}; }
Files cfg(const std::string &config) { return {{"config.ini", config}}; }
// A device in the normal output mode, with a DVI position file as well.
const std::string kDvi = records() + "#dvi\n";
const Files kDevice = {{"format.ini", "HDMI 7\n"}, {"config.ini", records()}, {"config.dvi.ini", kDvi}};

void seed(const Files &files) {
    fs::remove_all(kRoot);
    fs::create_directories(kMnt);
    for (const auto &[name, content] : files)
        if (content == kDir)
            fs::create_directory(kMnt + "/" + name);
        else if (content == kFifo)
            mkfifo((kMnt + "/" + name).c_str(), 0666);
        else if (content.rfind("->", 0) == 0)
            fs::create_symlink(content.substr(2), kMnt + "/" + name);
        else if (content.rfind("=>", 0) == 0) // to a name before it in the map's order
            fs::create_hard_link(kMnt + "/" + content.substr(2), kMnt + "/" + name);
        else
            spit(kMnt + "/" + name, content);
}
Files deviceFiles() {
    Files result;
    for (const auto &e : fs::directory_iterator(kMnt))
        result[e.path().filename()] = e.is_symlink() ? "->" + fs::read_symlink(e.path()).string()
                                      : e.is_directory() ? kDir : e.is_fifo() ? kFifo : slurp(e.path());
    return result;
}

// A request by GET: how the fields arrive is the layer's concern, run with
// the inspector.
Call get(const std::string &query, long fileSizeLimit = -1, gid_t group = 0) {
    return {command(SETHC_CGI), {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, "", fileSizeLimit, false, group};
}

// The calls of a trace (strace -y) as words: the call, the file a flush was
// for, the error injected into it ("fsync config.ini.tmp EIO").
std::string calls(const std::string &trace) {
    static const std::regex call(R"((?:\d+ +)?(\w+)\((?:\d+<[^>]*?([^/>]*)>)?.*?(?:= -1 (\w+) .*INJECTED.*)?)");
    std::string words;
    std::istringstream lines(trace);
    std::smatch m;
    for (std::string l; std::getline(lines, l);)
        if (std::regex_match(l, m, call))
            words += (words.empty() ? "" : "|") +
                     (m[1] == "execve" ? "exec" : m.str(1).rfind("rename", 0) == 0 ? "rename" : m.str(1)) +
                     (m[2].length() ? " " + m.str(2) : "") + (m[3].matched ? " " + m.str(3) : "");
    return words;
}

TEST(Sethc, RequestsAndTheFilesTheyLeave) {
    // Texts of 1000 and 999 bytes whose record of format 7 is 7,9,9.
    auto sized = [](size_t n) { return "1,1,1\n7,9,9\n" + std::string(n - 13, '#') + "\n"; };
    const std::string big = sized(1000), fits = sized(999), nul = std::string("1,1,1\n7,5,5\n15\0\0,25\n8,1,1\n", 26);
    // kDevice's record as read; what kPlus11 answers on kDevice and leaves in the normal or the DVI position file.
    const std::string zeros(1022, '0'), was = current(7, 17, 27), ok = plus11(7, 17, 27), at500 = current(7, 500, 27);
    const Files saved = cfg(rec7(18, 28)), savedDvi = {{"config.dvi.ini", rec7(18, 28, kDvi)}}, f7 = dev(rec7(500, 27));
    const Files worked = {{"format.ini", " 7\n"}, {"config.ini", "changed\n"}, {"config.dvi.ini", "changed dvi\n"},
                          {"config.ini.org", records()}, {"config.dvi.ini.org", kDvi}};
    const long size = static_cast<long>(rec7(18, 28).size());
    const Files orgs = {{"config.ini.org", records()}, {"config.dvi.ini.org", kDvi}, {"tz582.ini", "0"}};
    const Files loop = {{"tz582.ini", "->tz582.ini"}}; // a mode file there, but no file to open
    const std::string set = "exec|fsync config.ini.tmp|rename|", unread = "exec|fsync config.ini.tmp0|rename|",
                      eio = refused(7, 17, 27, "Can't write file\n"), cant = "add V=1,H=1\nCan't open file\n";
    Files chain = with(kDevice, {{"config.ini", "->l1"}, {"l40", kGone}, {"data", records()}}); // 40 links to data
    for (int k = 1; k < 40; ++k)
        chain["l" + std::to_string(k)] = k < 39 ? "->l" + std::to_string(k + 1) : "->data";
    const struct { const char *label; Files before; std::string query, answer; Files changes = {};
                   long fileSizeLimit = -1; mode_t dir = 0755; gid_t group = 0; std::string inject = "", calls = "";
    } rows[] = {
        // Where the record of the current format is, and what the rewrite keeps.
        {"format 1, after the last space, is the first line", dev(records(), "a 2 1\n"), kPlus11, plus11(1, 11, 21),
         cfg("1,12,22\n" + records(2))},
        {"format 1 only at the start", dev("2,1,1\n1,11,21\n", " 1"), kPlus11, refused(1, 0, 0, "error,no record!")},
        {"format 41 drops what follows", dev(records() + "junk\n", " 41\n"), kPlus11, plus11(41, 51, 61),
         cfg(records(1, 40) + "41,52,62\n")},
        {"a view of format 41 normalises it and keeps what follows", dev(records(1, 40) + "41,051,61\n42,1,1\n",
         " 41\n"), "viewhc=1", current(41, 51, 61), cfg(records() + "42,1,1\n")},
        {"format 10 ending the text on the window's last byte", dev("1,11,21\n10,0020,030", " 10\n"), kPlus11,
         plus11(10, 20, 30), cfg("1,11,21\n10,21,31\n")},
        {"the later of two records of format 4, not 41 or 42", dev("1,1,1\n4,3,3\n4,7,7\n41,5,5\n42,6,6\n", " 4\n"),
         kPlus11, plus11(4, 7, 7), cfg("1,1,1\n4,3,3\n4,8,8\n41,5,5\n42,6,6\n")},
        {"CR LF file", dev("1,11,21\r\n7,17,27\r\n8,18,28\r\n", " 7\r\n"), kPlus11, plus11(7, 17, 27),
         cfg("1,11,21\r\n7,18,28\n\n8,18,28\r\n")},
        {"a format key is cut to four characters, and has no record", dev(records(11, 12), " 12345\n"), kPlus11,
         refused(1234, 0, 0, "error,no record!")},
        {"no space: format 0", dev(records(1, 3), "7\n"), kPlus11, refused(0, 0, 0, "error,no record!")},
        {"missing files are created empty", {}, kPlus11, refused(0, 0, 0, "error,no record!"), dev("", "")},
        {"a record without its comma", dev("1,1,1\n7,17\n8,1,1\n"), kPlus11, refused(7, 0, 0, "error,bad record!")},
        {"an empty H ends at its line break", dev("1,1,1\n7,5,\n8,1,1\n"), "viewhc=1", current(7, 5, 0),
         cfg("1,1,1\n7,5,0\n8,1,1\n")},
        {"bytes after a NUL byte are kept", dev(nul), kPlus11, plus11(7, 5, 5), cfg(rec7(6, 6, nul))},
        {"a record ending beyond the window", dev("\n7,12,3456789\n"), kPlus11, refused(7, 12, 0, "error,bad record!")},
        {"a file of 1000 bytes", dev(big), kPlus11, "add V=1,H=1\nerror,file too big!"},
        {"a text that would grow to 1000 bytes", dev(fits), "hc_submit=1&chang=1&hang=0",
         "add V=1,H=0\n" + current(7, 9, 9) + "error,file too big!"},
        {"a text that stays at 999 bytes", dev(fits), "hc_submit=1&chang=-1&hang=-1",
         "add V=-1,H=-1\n" + current(7, 9, 9) + modified(7, 8, 8), cfg(rec7(8, 8, fits))},
        // The values and the offsets.
        {"below 0 becomes 0", f7, "hc_submit=1&chang=-501&hang=-5", "add V=-501,H=-5\n" + at500 + modified(7, 0, 22),
         cfg(rec7(0, 22))},
        {"512 is allowed", f7, "hc_submit=1&chang=12&hang=485", "add V=12,H=485\n" + at500 + modified(7, 512, 512),
         cfg(rec7(512, 512))},
        {"513 is out of range", f7, "hc_submit=1&chang=13&hang=0", "add V=13,H=0\n" + at500 + "error,out of range!"},
        {"a huge change does not wrap", f7, "hc_submit=1&chang=99999999999&hang=0",
         "add V=99999999999,H=0\n" + at500 + "error,out of range!"},
        {"view normalises the record", dev("1,1,1\n7,+07,-3\r8,1,1\n"), "viewhc=1", current(7, 7, -3),
         cfg("1,1,1\n7,7,0\n8,1,1\n")},
        {"view of an H above 512", dev("1,1,1\n7,5,600\n"), "viewhc=1", current(7, 5, 600) + "error,out of range!"},
        {"chang only", kDevice, "hc_submit=1&chang=1", "add V=1,H=\n" + was + modified(7, 18, 27), cfg(rec7(18, 27))},
        {"hang only", kDevice, "hc_submit=&hang=2", "add V=,H=2\n" + was + modified(7, 17, 29), cfg(rec7(17, 29))},
        {"chang empty", kDevice, "hc_submit=1&chang=&hang=1", "input empty"},
        {"hang empty", kDevice, "hc_submit=1&chang=1&hang=", "input empty"},
        {"neither offset", kDevice, "hc_submit=1", ""},
        {"an offset of 1024 characters", kDevice, "hc_submit=1&chang=" + zeros + "12&hang=1", "error len"},
        {"truncation wins over empty", kDevice, "hc_submit=1&chang=&hang=" + zeros + "12", "error len"},
        {"an offset of 1023 characters", kDevice, "hc_submit=1&chang=" + zeros + "1&hang=0",
         "add V=" + zeros + "1,H=0\n" + was + modified(7, 18, 27), cfg(rec7(18, 27))},
        {"text without digits is 0, echoed as sent, line breaks removed", kDevice,
         "hc_submit=1&chang=abc&hang=%2B1%0D%0A", "add V=abc,H=+1\n" + was + modified(7, 17, 28), cfg(rec7(17, 28))},
        // The output mode's file (without one, every row above: the normal file), and the reset.
        {"mode 1: the DVI file", with(kDevice, {{"tz582.ini", "1"}}), kPlus11, ok, savedDvi},
        {"mode 2 after a space, then more", with(kDevice, {{"tz582.ini", " 2 x"}}), kPlus11, ok, savedDvi},
        {"mode 3: the normal file", with(kDevice, {{"tz582.ini", "3"}}), kPlus11, ok, saved},
        {"reset without a mode file: only config.ini", worked, "resethc=1", "recover ok", cfg(records())},
        {"a missing factory copy fails, the other is still restored",
         {{"tz582.ini", ""}, {"config.ini", "a\n"}, {"config.dvi.ini", "b\n"}, {"config.dvi.ini.org", kDvi}},
         "resethc=1", "recover failed", {{"config.dvi.ini", kDvi}}},
        // Rewrites that fail keep the old file.
        {"a hard link where the temporary file goes is removed, not written",
         with(kDevice, {{"config.ini.tmp", "=>a-victim"}, {"a-victim", "secret\n"}}), kPlus11, ok,
         {{"config.ini", rec7(18, 28)}, {"config.ini.tmp", kGone}}},
        {"a chain of 40 links is followed", chain, kPlus11, ok, {{"data", rec7(18, 28)}}},
        {"file-size limit a byte short", kDevice, kPlus11, eio, {}, size - 1},
        {"file-size limit that fits", kDevice, kPlus11, ok, saved, size},
        {"an unreadable format file", {{"format.ini", kDir}, {"config.ini", records()}}, kPlus11 + "&viewhc=1",
         cant + "Can't open file\n"},
        // Reads that fail (EIO, EISDIR) after the open: nothing is written.
        {"a position file that fails to read", with(kDevice, {{"config.ini", "->/proc/self/mem"}}), kPlus11, cant},
        {"an output mode file that fails to read", with(kDevice, {{"tz582.ini", kDir}}), kPlus11, cant},
        {"an output mode file there but not to be opened (a loop of links)", with(kDevice, loop), kPlus11, cant},
        {"... and a reset: nothing restored", with(worked, loop), "resethc=1", "recover failed"},
        // What the kernel is asked (as strace sees it, with failures
        // injected): one exec and no other process, and every rewrite on
        // storage before its answer: the new file, then after the rename the
        // directory that names it, or the whole file system where the
        // directory can't be flushed, and then the file once more.
        {"submit, reset and view: each rewrite and its directory flushed", with(kDevice, orgs), kPlus11 +
         "&resethc=1&viewhc=1", ok + "recover ok" + was, {}, -1, 0755, 0, "", set + "fsync mnt|fsync config.ini.tmp|"
         "rename|fsync mnt|fsync config.dvi.ini.tmp|rename|fsync mnt"},
        {"the new file's flush fails (EIO): the old file stays", kDevice, kPlus11, eio, {}, -1, 0755, 0,
         "fsync:error=EIO:when=1", "exec|fsync config.ini.tmp EIO"},
        {"the directory's flush fails (EROFS): no success", kDevice, kPlus11, eio, saved, -1, 0755, 0,
         "fsync:error=EROFS:when=2", set + "fsync mnt EROFS"},
        {"a directory that refuses fsync (EINVAL): the file system flushed", kDevice, kPlus11, ok, saved, -1, 0755, 0,
         "fsync:error=EINVAL:when=2", set + "fsync mnt EINVAL|syncfs config.ini|fsync config.ini|fstatfs config.ini"},
        {"a directory the web user can't open: the file system flushed", kDevice, kPlus11, ok, saved, -1, 0333, 4321,
         "", unread + "syncfs config.ini|fsync config.ini|fstatfs config.ini"},
        {"... and it fails (EROFS)", kDevice, kPlus11, eio, saved, -1, 0333, 4321, "syncfs:error=EROFS",
         unread + "syncfs config.ini EROFS"},
        {"... on a kernel without syncfs: sync", kDevice, kPlus11, ok, saved, -1, 0333, 4321, "syncfs:error=ENOSYS",
         unread + "syncfs config.ini ENOSYS|sync|fsync config.ini|fstatfs config.ini"},
        {"... and a write fails (EIO)", kDevice, kPlus11, eio, saved, -1, 0333, 4321,
         "syncfs:error=ENOSYS fsync:error=EIO:when=2", unread + "syncfs config.ini ENOSYS|sync|fsync config.ini EIO"},
        {"... and the file system can't be asked whether it is read-only", kDevice, kPlus11, eio, saved, -1, 0333,
         4321, "fstatfs:error=EIO", unread + "syncfs config.ini|fsync config.ini|fstatfs config.ini EIO"},
        {"without the lock, a temporary file nobody holds (a killed request's) is reclaimed",
         with(kDevice, {{"config.ini.tmp0", "junk"}}), kPlus11, ok, {{"config.ini", rec7(18, 28)},
         {"config.ini.tmp0", kGone}}, -1, 0333, 4321},
        {"... and a FIFO there is passed by, never waited on", with(kDevice, {{"config.ini.tmp0", kFifo}}), kPlus11,
         ok, saved, -1, 0333, 4321},
    };
    const bool strace = access("/usr/bin/strace", X_OK) == 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        if (!row.calls.empty() && !strace)
            continue; // strace is not installed
        seed(row.before);
        Call call = get(row.query, row.fileSizeLimit, row.group);
        const std::string trace = kRoot + "/trace";
        if (!row.calls.empty()) {
            ASSERT_TRUE(spit(trace, "") && !chmod(trace.c_str(), 0666));
            std::vector<std::string> tracer = {"/usr/bin/strace", "-f", "-qq", "-y", "-o", trace, "-e",
                "trace=execve,fork,vfork,fsync,rename,renameat,renameat2,sync,syncfs,fstatfs,fstatfs64" +
                std::string(call.argv.size() > 1 ? "" : ",clone,clone3")};
            std::istringstream injects(row.inject);
            for (std::string inject; injects >> inject;)
                tracer.insert(tracer.end(), {"-e", "inject=" + inject});
            call.argv.insert(call.argv.begin(), tracer.begin(), tracer.end());
            call.env.push_back({"ASAN_OPTIONS", "detect_leaks=0"}); // the leak checker is a thread of its own
        }
        chmod(kMnt.c_str(), row.dir);
        const Outcome o = run(call);
        chmod(kMnt.c_str(), 0755);
        EXPECT_EQ(o.exitStatus, 0);
        EXPECT_EQ(o.output, kHeader + row.answer);
        EXPECT_EQ(deviceFiles(), with(row.before, row.changes));
        EXPECT_EQ(row.calls.empty() ? "" : calls(slurp(trace)), row.calls);
    }
}

// What a rewrite keeps of the position file (owner, group, permission
// bits), whether root or the web server's user (in `group`, when not 0) runs
// it, with the device directory in mode `dir`, and config.ini perhaps a link
// to a file beside the directory; only a change makes a new file.
TEST(Sethc, WhatARewriteKeeps) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file another owner";
    using Owner = std::tuple<uid_t, gid_t, unsigned>;
    const struct { const char *label; Owner before; mode_t dir; bool linked; gid_t group; bool changes; Owner after; }
        rows[] = {
        {"a link's file keeps owner, group and bits", {4321, 8765, 0640}, 0755, true, 0, true, {4321, 8765, 0640}},
        {"the group, when the user can't set the owner", {0, 8765, 0660}, 0777, false, 8765, true, {4321, 8765, 0660}},
        {"the very file when nothing changes, in a directory that can't be written", {0, 0, 0644}, 0555, false, 4321,
         false, {0, 0, 0644}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        seed(row.linked ? with(kDevice, {{"config.ini", "->../config.ini"}}) : kDevice);
        const std::string file = row.linked ? kRoot + "/config.ini" : kMnt + "/config.ini";
        struct stat was, st;
        const auto [uid, gid, mode] = row.before;
        ASSERT_TRUE(spit(file, records()) && !chown(file.c_str(), uid, gid) && !chmod(file.c_str(), mode) &&
                    !stat(file.c_str(), &was) && !chmod(kMnt.c_str(), row.dir));
        const Outcome o = run(get(row.changes ? kPlus11 : "hc_submit=1&chang=0&hang=0&viewhc=1", -1, row.group));
        chmod(kMnt.c_str(), 0755);
        EXPECT_NE(o.output.find("\nset ok\n"), std::string::npos) << o.output;
        EXPECT_EQ(slurp(file), row.changes ? rec7(18, 28) : records());
        EXPECT_EQ(fs::is_symlink(kMnt + "/config.ini"), row.linked);
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(Owner(st.st_uid, st.st_gid, st.st_mode & 07777), row.after);
        EXPECT_EQ(st.st_ino != was.st_ino, row.changes);
    }
}

// Concurrent submits are applied one after the other. Without the lock
// (the web server's user may not read the directory) changes may be lost,
// but each submit still replaces the file whole, through a temporary file
// of its own, and none stays.
TEST(Sethc, ConcurrentSubmitsAreSerialised) {
    for (const bool locked : {true, false}) {
        SCOPED_TRACE(locked ? "with the lock" : "without the lock: the directory can't be read");
        seed(dev(rec7(0, 5)));
        chmod(kMnt.c_str(), locked ? 0755 : 0333);
        std::vector<Child> children(locked ? 50 : 40);
        for (Child &c : children)
            c = start(get(kPlus11, -1, locked ? 0 : 4321));
        for (Child &c : children) {
            const Outcome o = finish(c);
            EXPECT_TRUE(o.exitStatus == 0 && o.output.find("\nset ok\n") != std::string::npos) << o.output;
        }
        chmod(kMnt.c_str(), 0755);
        int v = static_cast<int>(children.size());
        while (v > 0 && deviceFiles() != dev(rec7(v, v + 5)))
            --v;
        EXPECT_TRUE(locked ? v == static_cast<int>(children.size()) : v > 0) << slurp(kMnt + "/config.ini");
    }
}

} // namespace
