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
// record's end: a CR, a LF or the end of the text (its first NUL byte).
void readValues(const char *text, std::size_t s, Record &r) {
    std::size_t comma = 0;
    bool haveComma = false;
    r.shaped = false;
    for (std::size_t k = s; k < s + kWindow; ++k) {
        if (text[k] == ',') {
            comma = k;
            haveComma = true;
            fieldorg = decimal(text + s, k - s);
        } else if (!text[k] || isBreak(text[k])) {
            if (haveComma) {
                lineorg = decimal(text + comma + 1, k - comma - 1);
                r.shaped = true;
            }
            r.tail = text[k] ? k + 1 : k;
            return;
        }
    }
}

// Finds the record of `format` whose key is `getformat` in the text, which
// ends at its first NUL byte. Format 1 is the first line; any other record
// follows a line break and its format field (one character below 10, two
// from 10 to 99) is followed by a comma. A later match replaces an earlier
// one.
Record search(const char *text, int format) {
    Record r;
    // Formats have one or two digits: the record of 123 would otherwise be
    // taken for that of 12.
    if (format > 99)
        return r;
    if (format == 1) {
        if (text[0] == getformat[0] && text[1] == ',') {
            r.found = true;
            readValues(text, 2, r);
        }
        return r;
    }
    const std::size_t keyLen = format >= 10 ? 2 : 1;
    // A line break or the end: NUL, LF or CR, all of them below '\r' + 1,
    // which almost no byte of a position file is.
    constexpr unsigned kStops = 1u << '\0' | 1u << '\n' | 1u << '\r';
    for (const char *p = text;; ++p) {
        while (static_cast<unsigned char>(*p) > '\r' || !(kStops >> *p & 1))
            ++p;
        if (!*p)
            return r;
        // `text` has zero bytes beyond its end, so the look-ahead stays inside.
        if (p[1] == getformat[0] && (keyLen == 1 || p[2] == getformat[1]) && p[1 + keyLen] == ',') {
            r.found = true;
            r.head = static_cast<std::size_t>(p - text);
            readValues(text, r.head + keyLen + 2, r);
        }
    }
}

} // namespace

char *formatDecimal(char *out, long v) {
    unsigned long u = static_cast<unsigned long>(v);
    if (v < 0) {
        *out++ = '-';
        u = 0 - u;
    }
    char digits[20];
    int k = 0;
    do
        digits[k++] = static_cast<char>('0' + u % 10);
    while (u /= 10);
    while (k)
        *out++ = digits[--k];
    return out;
}

void Answer::put(const char *s, std::size_t n) {
    if (n > sizeof text_ - n_) {
        write();
        if (n > sizeof text_) {
            std::fwrite(s, 1, n, out_);
            return;
        }
    }
    std::memcpy(text_ + n_, s, n);
    n_ += n;
}

void Answer::put(int v) {
    char digits[12];
    put(digits, static_cast<std::size_t>(formatDecimal(digits, v) - digits));
}

void Answer::write() {
    if (n_)
        std::fwrite(text_, 1, n_, out_);
    n_ = 0;
}

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

namespace {

// The report of the record: "current" as read, "modify" as written.
void report(Answer &answer, const char *what, int format) {
    answer.put(what);
    answer.put(format);
    answer.put(" V=");
    answer.put(fieldorg);
    answer.put(",H=");
    answer.put(lineorg);
    answer.put("\n");
}

// Reads at most `max` bytes of a device file into `text` (readFile's
// result), with four zero bytes after them: the strings end there, and the
// search looks ahead past the end of the text.
long readText(const char *path, int flags, char *text, std::size_t max) {
    const long got = sethc::readFile(path, flags, text, max);
    if (got >= 0)
        std::memset(text + got, 0, 4);
    return got;
}

// The store's work, reporting every outcome into `answer`.
void store(Answer &answer) {
    char text[kText + 4];

    // The current format: the key is the text after the format file's last
    // space, cut to four characters.
    if (readText(kFormatFile, O_RDONLY | O_CREAT, text, kText - 1) < 0) {
        answer.put("Can't open file\n");
        return;
    }
    int format = 0;
    if (const char *space = std::strrchr(text, ' ')) {
        std::strncpy(getformat, space + 1, sizeof getformat - 1);
        getformat[sizeof getformat - 1] = '\0';
        format = decimal(getformat, sizeof getformat);
    }

    // The output path: 1 or 2 in the output mode file selects DVI.
    // Only a missing file selects the normal path; one that is there but
    // can't be opened or read says nothing, and the wrong file must not be
    // changed.
    const long mode = readText(kModeFile, O_RDONLY, text, kText - 1);
    if (mode == sethc::kFailed) {
        answer.put("Can't open file\n");
        return;
    }
    if (mode == sethc::kMissing) {
        pathflag = 0;
    } else {
        const int number = decimal(text, kText);
        pathflag = number == 1 || number == 2;
    }
    const char *path = pathflag ? kDviFile : kConfigFile;

    // From here to the rewrite, no other request reads or changes the file.
    sethc::DirLock lock(kDeviceDir);
    long got = readText(path, O_RDONLY | O_CREAT, text, kText);
    if (got < 0) {
        answer.put("Can't open file\n");
        return;
    }
    if (got >= static_cast<long>(kText)) {
        // Only the whole file can be rewritten.
        answer.put("error,file too big!");
        return;
    }
    const Record r = search(text, format);
    report(answer, "\ncurrent:\nformat=", format);

    long long v = static_cast<long long>(fieldorg) + field;
    long long h = static_cast<long long>(lineorg) + line;
    fieldorg = saturate(v < 0 ? 0 : v);
    lineorg = saturate(h < 0 ? 0 : h);
    if (fieldorg > kMax || lineorg > kMax) {
        answer.put("error,out of range!");
        return;
    }
    if (!r.found) {
        answer.put("error,no record!");
        return;
    }
    if (!r.shaped) {
        answer.put("error,bad record!");
        return;
    }

    // The record, with the line break before it and its own end, becomes a
    // LF, the new record and a LF; a change of format 41 drops what followed
    // it, the last record the store writes. A view never removes anything.
    // The search stops at a NUL byte, but the bytes after it are the file's
    // all the same and are kept.
    char record[48];
    char *end = record;
    if (format != 1)
        *end++ = '\n';
    end = formatDecimal(end, format);
    *end++ = ',';
    end = formatDecimal(end, fieldorg);
    *end++ = ',';
    end = formatDecimal(end, lineorg);
    *end++ = '\n';
    const std::size_t at = format != 1 ? r.head : 0;
    const std::size_t k = static_cast<std::size_t>(end - record);
    const std::size_t rest = format != 41 || viewflag ? static_cast<std::size_t>(got) - r.tail : 0;
    const std::size_t n = at + k + rest;
    if (n >= kText) {
        answer.put("error,file too big!");
        return;
    }
    // A text that is the file's already (a view, a change of 0 and 0) is not
    // written: every rewrite wears the flash, and a view must answer where
    // the directory can't be written. The bytes before and after the record
    // stay where they were when the length stays, so the record alone tells.
    const bool same = n == static_cast<std::size_t>(got) && std::memcmp(record, text + at, k) == 0;
    char out[kText];
    if (!same) {
        std::memcpy(out, text, at);
        std::memcpy(out + at, record, k);
        std::memcpy(out + at + k, text + r.tail, rest);
    }
    switch (same ? sethc::Replace::ok : sethc::replaceFile(path, out, n, lock.held())) {
    case sethc::Replace::ok:
        break;
    case sethc::Replace::openFailed:
        answer.put("Can't open file\n");
        return;
    case sethc::Replace::writeFailed:
        answer.put("Can't write file\n");
        return;
    }
    if (viewflag)
        return;
    report(answer, "\nmodify:\nformat=", format);
    answer.put("\nset ok\n");
}

} // namespace

void v_main() {
    // The whole report leaves in one write.
    Answer answer(stdout);
    store(answer);
    answer.write();
}
