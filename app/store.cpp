// The position store: v_main and the program-wide variables.
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "devfile.h"
#include "sethc.h"

char getformat[5] = "0900";
int field = 0;
int line = 0;
int fieldorg = 0;
int lineorg = 0;
int pathflag = 0;
int viewflag = 0;

namespace {

// Every device file and every composed text is shorter than this.
constexpr std::size_t kText = 1000;
// The record's value part (V, the comma, H) lies within this many bytes.
constexpr std::size_t kWindow = 9;
// The highest value the store writes.
constexpr long long kMax = 512;

bool isBreak(char c) { return c == '\r' || c == '\n'; }

int saturate(long long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

// What the record search found: the last record of the current format.
struct Record {
    bool found = false;
    bool shaped = false;      // the comma and the record's end lie within the window
    std::size_t head = 0;     // length of the text before the line break that precedes it
    std::size_t tail = 0;     // where the text after the record's end begins
};

// Reads the value part that begins at `s`. V is read at each comma, H at the
// record's end: a CR, a LF or the end of the text.
void readValues(const char *text, std::size_t len, std::size_t s, Record &r) {
    std::size_t comma = 0;
    bool haveComma = false;
    r.shaped = false;
    for (std::size_t k = s; k < s + kWindow; ++k) {
        if (k < len && text[k] == ',') {
            comma = k;
            haveComma = true;
            fieldorg = decimal(text + s, k - s);
        } else if (k >= len || isBreak(text[k])) {
            if (haveComma) {
                lineorg = decimal(text + comma + 1, k - comma - 1);
                r.shaped = true;
            }
            r.tail = k < len ? k + 1 : len;
            return;
        }
    }
}

// Finds the record of `format` whose key is `getformat`. Format 1 is the
// first line; any other record follows a line break and its format field
// (one character below 10, two from 10 to 99) is followed by a comma. A
// later match replaces an earlier one.
Record search(const char *text, std::size_t len, int format) {
    Record r;
    // Formats have one or two digits: the record of 123 would otherwise be
    // taken for that of 12.
    if (format > 99)
        return r;
    if (format == 1) {
        if (text[0] == getformat[0] && text[1] == ',') {
            r.found = true;
            readValues(text, len, 2, r);
        }
        return r;
    }
    const std::size_t keyLen = format >= 10 ? 2 : 1;
    for (std::size_t i = 0; i < len; ++i) {
        // `text` has zero bytes beyond its end, so the look-ahead stays inside.
        if (isBreak(text[i]) && text[i + 1] == getformat[0] &&
            (keyLen == 1 || text[i + 2] == getformat[1]) && text[i + 1 + keyLen] == ',') {
            r.found = true;
            r.head = i;
            readValues(text, len, i + keyLen + 2, r);
        }
    }
    return r;
}

} // namespace

int decimal(const char *s, std::size_t n) {
    const char *end = s + n;
    while (s < end && (*s == ' ' || (*s >= '\t' && *s <= '\r')))
        ++s;
    bool negative = false;
    if (s < end && (*s == '-' || *s == '+'))
        negative = *s++ == '-';
    long long v = 0;
    for (; s < end && *s >= '0' && *s <= '9'; ++s)
        if (v <= INT_MAX)
            v = v * 10 + (*s - '0');
    return saturate(negative ? -v : v);
}

void v_main() {
    // Zero bytes beyond the text let the search look ahead past its end.
    char text[kText + 4];

    // The current format: the key is the text after the format file's last
    // space, cut to four characters.
    std::memset(text, 0, sizeof text);
    if (sethc::readFile(kFormatFile, O_RDONLY | O_CREAT, text, kText - 1) < 0) {
        std::fputs("Can't open file\n", stdout);
        return;
    }
    int format = 0;
    if (const char *space = std::strrchr(text, ' ')) {
        std::strncpy(getformat, space + 1, sizeof getformat - 1);
        getformat[sizeof getformat - 1] = '\0';
        format = decimal(getformat, sizeof getformat);
    }

    // The output path: 1 or 2 in the output mode file selects DVI.
    // A missing file selects the normal path; one that fails to read says
    // nothing, and the wrong file must not be changed.
    std::memset(text, 0, sizeof text);
    const long mode = sethc::readFile(kModeFile, O_RDONLY, text, kText - 1);
    if (mode == -2) {
        std::fputs("Can't open file\n", stdout);
        return;
    }
    if (mode < 0) {
        pathflag = 0;
    } else {
        const int number = decimal(text, kText);
        pathflag = number == 1 || number == 2;
    }
    const char *path = pathflag ? kDviFile : kConfigFile;

    // From here to the rewrite, no other request reads or changes the file.
    sethc::DirLock lock(kDeviceDir);
    std::memset(text, 0, sizeof text);
    long got = sethc::readFile(path, O_RDONLY | O_CREAT, text, kText);
    if (got < 0) {
        std::fputs("Can't open file\n", stdout);
        return;
    }
    if (got >= static_cast<long>(kText)) {
        // Only the whole file can be rewritten.
        std::fputs("error,file too big!", stdout);
        return;
    }
    const std::size_t len = std::strlen(text);
    const Record r = search(text, len, format);
    std::printf("\ncurrent:\nformat=%d V=%d,H=%d\n", format, fieldorg, lineorg);

    long long v = static_cast<long long>(fieldorg) + field;
    long long h = static_cast<long long>(lineorg) + line;
    fieldorg = saturate(v < 0 ? 0 : v);
    lineorg = saturate(h < 0 ? 0 : h);
    if (fieldorg > kMax || lineorg > kMax) {
        std::fputs("error,out of range!", stdout);
        return;
    }
    if (!r.found) {
        std::fputs("error,no record!", stdout);
        return;
    }
    if (!r.shaped) {
        std::fputs("error,bad record!", stdout);
        return;
    }

    // The record, with the line break before it and its own end, becomes a
    // LF, the new record and a LF; format 41 drops what followed it. The
    // search stops at a NUL byte, but the bytes after it are the file's all
    // the same and are kept.
    char out[kText];
    std::size_t n = 0;
    auto put = [&](const char *p, std::size_t k) {
        if (n + k < sizeof out)
            std::memcpy(out + n, p, k);
        n += k;
    };
    char record[48];
    const int k = std::snprintf(record, sizeof record, "%s%d,%d,%d\n", format == 1 ? "" : "\n", format,
                                fieldorg, lineorg);
    if (format != 1)
        put(text, r.head);
    put(record, static_cast<std::size_t>(k));
    if (format != 41)
        put(text + r.tail, static_cast<std::size_t>(got) - r.tail);
    if (n >= sizeof out) {
        std::fputs("error,file too big!", stdout);
        return;
    }
    // A text that is the file's already (a view, a change of 0 and 0) is not
    // written: every rewrite wears the flash, and a view must answer where
    // the directory can't be written.
    const bool same = n == static_cast<std::size_t>(got) && std::memcmp(out, text, n) == 0;
    switch (same ? sethc::Replace::ok : sethc::replaceFile(path, out, n, lock.held())) {
    case sethc::Replace::ok:
        break;
    case sethc::Replace::openFailed:
        std::fputs("Can't open file\n", stdout);
        return;
    case sethc::Replace::writeFailed:
        std::fputs("Can't write file\n", stdout);
        return;
    }
    if (viewflag)
        return;
    std::printf("\nmodify:\nformat=%d V=%d,H=%d\n", format, fieldorg, lineorg);
    std::fputs("\nset ok\n", stdout);
}
