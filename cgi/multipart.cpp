// multipart/form-data input: header lines, header values, temporary files
// for uploads, and the driver that turns each "form-data" part into an entry.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cgi_raii.h"

namespace {

bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isAlnum(int c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// Copies a header value's main value or a parameter's value from `p`: quoted
// (up to the closing quote, then the rest up to the next ';' is skipped) or
// plain (up to the next ';'). Stores at most space - 1 bytes into `out`
// (nothing when `out` is null) and returns where the value ended.
const char *copyValue(const char *p, char *out, int space) {
    int len = 0;
    auto keep = [&](char c) {
        if (out && len < space - 1)
            out[len++] = c;
    };
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p)
            keep(*p);
        if (*p == '"')
            ++p;
        while (*p && *p != ';')
            ++p;
    } else {
        for (; *p && *p != ';'; ++p)
            keep(*p);
    }
    if (out && space > 0)
        out[len] = '\0';
    return p;
}

const char *skipSpace(const char *p) {
    while (isSpace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

// A pool copy of `s`, or the shared empty string.
char *poolString(const char *s) {
    return *s ? cgiPoolStrndup(s, std::strlen(s)) : cgiEmptyString;
}

// The driver's storage for one part.
struct Part {
    char attr[1024];
    char value[1024];
    char fvalue[1024];
    char fname[1024];
    char ffileName[1024];
    char fcontentType[1024];
};

// Reads the part's header block, keeping the last Content-Disposition and
// Content-Type.
void readHeaders(mpStreamPtr mpp, Part &part) {
    static const char *const dispositionNames[] = {"name", "filename", nullptr};
    static const char *const noNames[] = {nullptr};
    while (readHeaderLine(mpp, part.attr, sizeof part.attr, part.value, sizeof part.value)) {
        if (cgiStrEqNc(part.attr, "Content-Disposition")) {
            char *values[] = {part.fname, part.ffileName};
            decomposeValue(part.value, part.fvalue, sizeof part.fvalue, dispositionNames, values,
                           sizeof part.fname);
        } else if (cgiStrEqNc(part.attr, "Content-Type")) {
            decomposeValue(part.value, part.fcontentType, sizeof part.fcontentType, noNames, nullptr,
                           0);
        }
    }
}

// Parses the parts after the first delimiter; the entries are appended at `tail`.
cgiParseResultType parseParts(mpStreamPtr mpp, cgiFormEntry **tail) {
    static Part part;
    for (;;) {
        part.fvalue[0] = part.fname[0] = part.ffileName[0] = part.fcontentType[0] = '\0';
        char d[2];
        if (mpRead(mpp, d, 2) != 2 || (d[0] == '-' && d[1] == '-'))
            return cgiParseSuccess;
        mpPutBack(mpp, d, 2);
        readHeaders(mpp, part);
        if (!cgiStrEqNc(part.fvalue, "form-data")) {
            cgiParseResultType r = afterNextBoundary(mpp, nullptr, nullptr, nullptr, 0);
            if (r != cgiParseSuccess)
                return r;
            continue;
        }
        cgi::TempFile tfile;
        // An empty filename parameter makes an ordinary in-memory field.
        if (part.ffileName[0] && !tfile.create())
            return cgiParseIO;
        char *out = nullptr;
        int bodyLength = 0;
        cgiParseResultType r = afterNextBoundary(mpp, tfile.file(), &out, &bodyLength, 0);
        if (r != cgiParseSuccess)
            return r;
        if (!tfile.close())
            return cgiParseIO; // the upload did not reach the file whole
        auto *e = static_cast<cgiFormEntry *>(cgiPoolAlloc(sizeof(cgiFormEntry)));
        if (!e)
            return cgiParseMemory;
        *e = cgiFormEntry{poolString(part.fname),
                          out ? out : cgiEmptyString,
                          bodyLength,
                          poolString(part.ffileName),
                          poolString(part.fcontentType),
                          poolString(tfile.path()),
                          nullptr};
        if (!e->attr || !e->fileName || !e->contentType || !e->tfileName)
            return cgiParseMemory;
        tfile.release();
        *tail = e;
        tail = &e->next;
    }
}

} // namespace

char cgiTempFileTemplate[64] = "/tmp/cgicXXXXXX";

int cgiCreateTempFile(char *path) noexcept {
    std::memcpy(path, cgiTempFileTemplate, std::strlen(cgiTempFileTemplate) + 1);
    return mkstemp(path); // a new file of mode 0600, open for reading and writing
}

cgiParseResultType getTempFileName(char *tfileName) noexcept {
    int fd = cgiCreateTempFile(tfileName);
    if (fd < 0)
        return cgiParseIO;
    close(fd);
    return cgiParseSuccess;
}

int readHeaderLine(mpStreamPtr mpp, char *attr, int attrSpace, char *value, int valueSpace) noexcept {
    int attrLen = 0;
    int valueLen = 0;
    char c;
    // The name: white space dropped, up to the first colon that follows a
    // byte of it (a leading colon belongs to the name).
    for (;;) {
        if (!mpGetByte(mpp, &c))
            return 0; // the input ended: nothing of this line is used
        if (c == '\r' || c == '\n')
            goto lineEnd;
        if (c == ':' && attrLen > 0)
            break;
        if (!isSpace(static_cast<unsigned char>(c)) && attrLen < attrSpace - 1)
            attr[attrLen++] = c;
    }
    // The value: every colon goes, with the white space after it. That skip
    // crosses line ends too, so the byte it stops at is never CR or LF.
    for (;;) {
        do {
            if (!mpGetByte(mpp, &c))
                return 0;
        } while (isSpace(static_cast<unsigned char>(c)));
        while (c != ':') {
            if (valueLen < valueSpace - 1)
                value[valueLen++] = c;
            if (!mpGetByte(mpp, &c))
                return 0;
            if (c == '\r' || c == '\n')
                goto lineEnd;
        }
    }
lineEnd:
    // CR LF, CR alone or LF alone ends the line.
    if (c == '\r' && mpGetByte(mpp, &c) && c != '\n')
        mpPutBack(mpp, &c, 1);
    if (attrSpace > 0)
        attr[attrLen] = '\0';
    if (valueSpace > 0)
        value[valueLen] = '\0';
    return attrLen > 0 && valueLen > 0;
}

void decomposeValue(const char *value, char *mvalue, int mvalueSpace, const char *const *argNames,
                    char **argValues, int argValueSpace) noexcept {
    if (argValueSpace > 0)
        for (int i = 0; argNames[i]; ++i)
            argValues[i][0] = '\0';
    const char *p = copyValue(skipSpace(value), mvalue, mvalueSpace);
    while (*p == ';') {
        p = skipSpace(p + 1);
        char name[1024];
        int len = 0;
        for (; isAlnum(static_cast<unsigned char>(*p)); ++p)
            if (len < static_cast<int>(sizeof name) - 1)
                name[len++] = *p;
        name[len] = '\0';
        p = skipSpace(p);
        if (*p != '=')
            return; // the rest of the value is ignored
        p = skipSpace(p + 1);
        char *out = nullptr;
        for (int i = 0; argNames[i]; ++i) {
            if (cgiStrEqNc(argNames[i], name)) {
                out = argValues[i];
                break;
            }
        }
        p = copyValue(p, out, argValueSpace);
    }
}

cgiParseResultType cgiParsePostMultipartInput() noexcept {
    static mpStream stream;
    mpInit(&stream);
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    cgiParseResultType result = cgiParseSuccess;
    // Everything before the first delimiter is dropped; a whole body without
    // one is an empty submission, not an error.
    if (afterNextBoundary(&stream, nullptr, nullptr, nullptr, 1) == cgiParseSuccess) {
        cgiFormEntry **tail = &cgiFormEntryFirst;
        while (*tail)
            tail = &(*tail)->next;
        result = parseParts(&stream, tail);
    }
    // A body cut short is never a submission, whatever the parts seen so far
    // said: a form without its last fields must not be acted on.
    if (result == cgiParseSuccess && stream.cut)
        return cgiParseIO;
    return result;
}
