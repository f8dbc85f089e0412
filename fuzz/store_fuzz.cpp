// The position store: a random format file, output mode file, position file
// and request through cgiMain. The input is the four parts separated by the
// byte 0x1e; an output mode part of "-" means no such file. Whatever
// happens, the position file is untouched or differs only in the current
// format's record, and no temporary file stays in the device directory.
#include <dirent.h>
#include <fcntl.h>
#include <regex>

#include "../app/sethc.h"
#include "fuzz_support.h"

namespace {

void spit(const char *path, const std::string &text) {
    FILE *f = std::fopen(path, "wb");
    if (!f)
        std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// The new text keeps the old one but for one record: between the longest
// common head and tail of the two, the rewrite put in at most a line end, a
// record "F,V,H" and a line end, and took out at most the old record with
// its line ends (a record's value part has at most 9 bytes, whatever they
// are), or for format 41 everything after it.
void expectOneRecordChanged(const std::string &before, const std::string &after, bool format41) {
    if (before == after)
        return;
    if (after.size() >= 1000)
        std::abort();
    size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string inserted = after.substr(prefix, after.size() - prefix - suffix);
    const size_t removed = before.size() - prefix - suffix;
    static const std::regex recordBytes("[0-9,\r\n-]{0,20}");
    if (!std::regex_match(inserted, recordBytes) || (removed > 20 && !format41)) {
        std::fprintf(stderr, "rewrite changed more than a record: inserted \"%s\", %zu bytes taken out\n",
                     inserted.c_str(), removed);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::tempDir();
    const std::string format = fuzz::headOf(data, size, '\x1e');
    const std::string mode = fuzz::headOf(data, size, '\x1e');
    const std::string config = fuzz::headOf(data, size, '\x1e');
    const std::string query(reinterpret_cast<const char *>(data), size);
    if (query.find("resethc") != std::string::npos)
        return 0; // a reset replaces the whole file by design
    // A submit and a view are two runs of the store, each of which may
    // rewrite a record (the first can rename its record's format field, so
    // the second finds another): the check below holds for one run.
    const bool twoRuns = query.find("hc_submit") != std::string::npos &&
                         query.find("viewhc") != std::string::npos;
    static const bool made = [] {
        std::string dir = kDeviceDir;
        for (size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at)
            mkdir(dir.substr(0, at).c_str(), 0755);
        mkdir(kDeviceDir, 0755);
        // The store's reports go to standard output: nowhere, here.
        return std::freopen("/dev/null", "w", stdout) != nullptr;
    }();
    if (!made)
        std::abort();
    spit(kFormatFile, format);
    unlink(kModeFile);
    if (mode != "-")
        spit(kModeFile, mode);
    spit(kConfigFile, config);
    spit(kDviFile, config);

    // A fresh request: the program-wide state as a new process has it.
    std::strcpy(getformat, "0900");
    field = line = fieldorg = lineorg = pathflag = viewflag = 0;
    cgiFormEntryFirst = nullptr;
    cgiParseFormInput(query.data(), static_cast<int>(query.size()));
    cgiMain();
    cgiFreeResources();

    // The format number: the text after the format file's last space, cut
    // to four characters.
    const std::string text = format.substr(0, format.find('\0'));
    const size_t space = text.rfind(' ');
    const bool format41 = space != std::string::npos && std::atoi(text.substr(space + 1, 4).c_str()) == 41;
    if (!twoRuns) {
        expectOneRecordChanged(config, fuzz::slurp(kConfigFile), format41);
        expectOneRecordChanged(config, fuzz::slurp(kDviFile), format41);
    }
    if (DIR *d = opendir(kDeviceDir)) {
        while (dirent *e = readdir(d))
            if (std::strstr(e->d_name, ".tmp")) {
                std::fprintf(stderr, "temporary file left behind: %s\n", e->d_name);
                std::abort();
            }
        closedir(d);
    }
    if (cgiAllocLive() != 0)
        std::abort();
    return 0;
}
