// What the unit tests, the end-to-end tests and the fuzz targets share:
// whole files, multipart bodies, the entry list as values, and a directory of
// this process's own for the layer's temporary files.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "../cgi/cgi_internal.h"

namespace cgitest {

// The whole contents of a file ("" when it can't be read).
inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Makes `text` the whole file; false when it can't.
inline bool spit(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    return static_cast<bool>(out.write(text.data(), static_cast<std::streamsize>(text.size())).flush());
}

// `body` on cgiIn, as a new stream that the caller closes.
inline FILE *feed(const std::string &body) {
    cgiIn = std::tmpfile();
    if (!cgiIn || std::fwrite(body.data(), 1, body.size(), cgiIn) != body.size() || std::fseek(cgiIn, 0, SEEK_SET))
        std::abort();
    return cgiIn;
}

// Takes `input` up to its first `sep` byte off its front: the head.
inline std::string cut(std::string &input, char sep) {
    const size_t at = std::min(input.find(sep), input.size());
    std::string head = input.substr(0, at);
    input.erase(0, at + (at < input.size()));
    return head;
}

// The layer's temporary files ("cgic" and six characters) in `dir`, sorted.
inline std::vector<std::string> tmpFiles(const std::string &dir = "/tmp") {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("cgic", 0) == 0)
            names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sends the layer's temporary files to a new directory of this process,
// "cgitest.<pid>.XXXXXX" under $TMPDIR when its name is short enough, else
// under /tmp, removed with all it holds when the process exits; returns its
// path. Then no other program that makes such files can disturb a check for
// files left behind. A process that died first (a crash, a failed check's
// abort) leaves its directory to the next one, which removes it.
inline std::string privateTempDir() {
    static const bool made = [] {
        const char *base = std::getenv("TMPDIR");
        base = base && *base && std::strlen(base) <= 30 ? base : "/tmp";
        std::error_code e;
        for (const auto &old : std::filesystem::directory_iterator(base, e))
            if (old.path().filename().string().rfind("cgitest.", 0) == 0 &&
                kill(std::atoi(old.path().filename().c_str() + 8), 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(old.path(), e);
        std::snprintf(cgiTempFileTemplate, sizeof cgiTempFileTemplate, "%s/cgitest.%d.XXXXXX", base, int(getpid()));
        if (!mkdtemp(cgiTempFileTemplate))
            std::abort();
        std::strcat(cgiTempFileTemplate, "/cgicXXXXXX");
        return !std::atexit([] { std::error_code e; std::filesystem::remove_all(privateTempDir(), e); });
    }();
    const std::string t = made ? cgiTempFileTemplate : "";
    return t.substr(0, t.rfind('/'));
}

// For a process that serves one request after another (a fuzz target):
// temporary files in the private directory, and a response that goes nowhere.
inline void quietRequests() {
    static FILE *const out = (privateTempDir(), std::fopen("/dev/null", "w"));
    if (!(cgiOut = out))
        std::abort();
}

// A part of a multipart body whose boundary is "XyZ": its header lines, the
// empty line, its body, and the CR LF that belongs to the next delimiter.
inline std::string part(const std::string &headers, const std::string &body) {
    return "--XyZ\r\n" + headers + "\r\n" + body + "\r\n";
}
// A form-data part; `more` follows its name (a filename, say).
inline std::string field(const std::string &name, const std::string &body, const std::string &more = "",
                         const std::string &type = "") {
    const std::string typeLine = type.empty() ? "" : "Content-Type: " + type + "\r\n";
    return part("Content-Disposition: form-data; name=\"" + name + "\"" + more + "\r\n" + typeLine, body);
}
inline const std::string kEnd = "--XyZ--\r\n";

// One entry as the tests compare it: `file` holds an upload's contents
// (and its valueLength when the two differ), "-" for a value in memory.
struct Field {
    std::string name, value, fileName = "", contentType = "", file = "-";
    auto tie() const { return std::tie(name, value, fileName, contentType, file); }
    bool operator==(const Field &o) const { return tie() == o.tie(); }
};

// The entry list as it stands. An upload's value is empty, and its
// valueLength is the size of its file.
inline std::vector<Field> snapshot() {
    std::vector<Field> out;
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        const size_t n = static_cast<size_t>(e->valueLength);
        const bool upload = *e->tfileName;
        std::string file = upload ? slurp(e->tfileName) : "-";
        if (upload && file.size() != n)
            file += " (valueLength " + std::to_string(n) + ")";
        out.push_back({e->attr, upload ? e->value : std::string(e->value, n), e->fileName, e->contentType, file});
    }
    return out;
}

} // namespace cgitest

#endif // TESTS_SUPPORT_H
