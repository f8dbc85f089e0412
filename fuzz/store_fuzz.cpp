// The position store: a random format file, output mode file, position file
// and request through cgiMain. The input is the four parts separated by the
// byte 0x1e; an output mode part of "-" means no such file. Whatever
// happens, the position file is untouched or differs only in the current
// format's record, and no temporary file stays in the device directory.
#include <regex>
#include <unistd.h>

#include "../app/sethc.h"
#include "../tests/support.h"

using cgitest::cut;
using cgitest::slurp;
using cgitest::spit;

namespace {

// The new text keeps the old one but for one record: between the longest
// common head and tail of the two, the rewrite put in at most a line end, a
// record "F,V,H" and a line end, and took out at most the old record with
// its line ends (a record's value part has at most 9 bytes, whatever they
// are), or for format 41 everything after it.
void expectOneRecordChanged(const std::string &before, const std::string &after, bool format41) {
    const size_t most = std::min(before.size(), after.size());
    const size_t head = std::mismatch(after.begin(), after.begin() + most, before.begin()).first - after.begin();
    const auto end = after.rbegin() + (most - head);
    const size_t tail = std::mismatch(after.rbegin(), end, before.rbegin()).first - after.rbegin();
    const std::string inserted = after.substr(head, after.size() - head - tail);
    static const std::regex recordBytes("[0-9,\r\n-]{0,20}");
    if (before != after && (after.size() >= 1000 || !std::regex_match(inserted, recordBytes) ||
                            (before.size() - head - tail > 20 && !format41))) {
        std::fprintf(stderr, "rewrite changed more than a record: inserted \"%s\"\n", inserted.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cgitest::quietRequests();
    std::string query(reinterpret_cast<const char *>(data), size);
    const std::string format = cut(query, '\x1e'), mode = cut(query, '\x1e'), config = cut(query, '\x1e');
    if (query.find("resethc") != std::string::npos)
        return 0; // a reset replaces the whole file by design
    // A submit and a view are two runs of the store, each of which may
    // rewrite a record (the first can rename its record's format field, so
    // the second finds another): the check below holds for one run.
    const bool twoRuns = query.find("hc_submit") != std::string::npos && query.find("viewhc") != std::string::npos;
    static const bool ready = [] {
        std::error_code ignored;
        std::filesystem::create_directories(kDeviceDir, ignored);
        return std::freopen("/dev/null", "w", stdout) != nullptr; // where the store reports
    }();
    unlink(kModeFile);
    if (!ready || !spit(kFormatFile, format) || (mode != "-" && !spit(kModeFile, mode)) || !spit(kConfigFile, config) ||
        !spit(kDviFile, config))
        std::abort();

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
        expectOneRecordChanged(config, slurp(kConfigFile), format41);
        expectOneRecordChanged(config, slurp(kDviFile), format41);
    }
    for (const auto &e : std::filesystem::directory_iterator(kDeviceDir))
        if (e.path().filename().string().find(".tmp") != std::string::npos) {
            std::fprintf(stderr, "temporary file left behind: %s\n", e.path().c_str());
            std::abort();
        }
    if (cgiAllocLive() != 0)
        std::abort();
    return 0;
}
