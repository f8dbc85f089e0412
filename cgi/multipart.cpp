// multipart/form-data input: header lines, header values, temporary files
// for uploads, and the driver that turns each "form-data" part into an entry.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cgi_raii.h"

namespace {

bool isAlnum(int c) { return (c >= '0' && c <= '9') || cgiIsLetter(static_cast<unsigned char>(c)); }

// Copies a header value's main value or a parameter's value from `p`: quoted
// (up to the closing quote, then the rest up to the next ';' is skipped) or
// plain (up to the next ';'). Stores at most space - 1 bytes into `out`
// (nothing when `out` is null) and returns where the value ended.
const char *copyValue(const char *p, char *out, int space) {
    const bool quoted = *p == '"';
    if (quoted)
        ++p;
    const char *stop = strchrnul(p, quoted ? '"' : ';');
    if (out)
        cgiCopyOut(p, static_cast<std::size_t>(stop - p), out, space);
    if (quoted && *stop == '"')
        stop = strchrnul(stop + 1, ';');
    return stop;
}

const char *skipSpace(const char *p) {
    while (cgiIsSpace(static_cast<unsigned char>(*p)))
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
        const std::size_t length = std::strlen(part.attr);
        if (cgiEqualsNc(part.attr, length, "Content-Disposition")) {
            char *values[] = {part.fname, part.ffileName};
            decomposeValue(part.value, part.fvalue, sizeof part.fvalue, dispositionNames, values,
                           sizeof part.fname);
        } else if (cgiEqualsNc(part.attr, length, "Content-Type")) {
            decomposeValue(part.value, part.fcontentType, sizeof part.fcontentType, noNames, nullptr,
                           0);
        }
    }
}

// Parses the parts after the first delimiter, appending their entries.
cgiParseResultType parseParts(mpStreamPtr mpp) {
    cgi::EntryTail tail;
    static Part part;
    for (;;) {
        part.fvalue[0] = part.fname[0] = part.ffileName[0] = part.fcontentType[0] = '\0';
        // The two bytes after the delimiter, looked at where they wait.
        if (mpp->end - mpp->pos >= 2) {
            if (mpp->pos[0] == '-' && mpp->pos[1] == '-')
                return cgiParseSuccess;
        } else {
            char d[2];
            if (mpRead(mpp, d, 2) != 2 || (d[0] == '-' && d[1] == '-'))
                return cgiParseSuccess;
            mpPutBack(mpp, d, 2);
        }
        readHeaders(mpp, part);
        if (!cgiEqualsNc(part.fvalue, std::strlen(part.fvalue), "form-data")) {
            cgiParseResultType r = afterNextBoundary(mpp, -1, nullptr, nullptr, 0);
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
        cgiParseResultType r = afterNextBoundary(mpp, tfile.fd(), &out, &bodyLength, 0);
        if (r != cgiParseSuccess)
            return r;
        if (!tfile.close())
            return cgiParseIO; // the upload did not reach the file whole
        cgiFormEntry *e = cgiNewEntry(poolString(part.fname), out ? out : cgiEmptyString, bodyLength);
        if (!e || !e->attr || !(e->fileName = poolString(part.ffileName)) ||
            !(e->contentType = poolString(part.fcontentType)) || !(e->tfileName = poolString(tfile.path())))
            return cgiParseMemory;
        tail.append(e);
        tfile.release();
    }
}

// The first CR or LF in [from, end), or null.
const char *lineEndIn(const char *from, const char *end) {
    if (from != end && (*from == '\r' || *from == '\n'))
        return from; // the empty line that ends a header block
    const char *lf = static_cast<const char *>(std::memchr(from, '\n', static_cast<std::size_t>(end - from)));
    const char *cr = static_cast<const char *>(
        std::memchr(from, '\r', static_cast<std::size_t>((lf ? lf : end) - from)));
    return cr ? cr : lf;
}

// readHeaderLine on the waiting bytes alone, in runs between the colons and
// the line end; -1 (with nothing taken from the stream) when the line, or
// the white space after one of its colons, reaches the end of the waiting
// bytes, which leaves the line to readLineByBytes.
int readLineInBlock(mpStreamPtr mpp, char *attr, int attrSpace, char *value, int valueSpace) {
    const char *p = mpp->pos;
    const char *const end = mpp->end;
    const char *eol = lineEndIn(p, end);
    if (!eol)
        return -1;
    int attrLen = 0;
    int valueLen = 0;
    for (;;) {
        const char *colon = static_cast<const char *>(std::memchr(p, ':', static_cast<std::size_t>(eol - p)));
        const char *stop = colon ? colon : eol;
        const int run = static_cast<int>(stop - p);
        bool blank = false;
        for (int i = 0; i < run; ++i)
            blank |= static_cast<unsigned char>(p[i]) <= ' ';
        if (!blank && run < attrSpace - attrLen) {
            // A name without blanks, as clients send them, goes whole.
            std::memcpy(attr + attrLen, p, static_cast<std::size_t>(run));
            attrLen += run;
            p = stop;
        } else {
            for (; p < stop; ++p)
                if (!cgiIsSpace(static_cast<unsigned char>(*p)) && attrLen < attrSpace - 1)
                    attr[attrLen++] = *p;
        }
        if (!colon)
            break; // the line ends inside the name
        p = colon + 1;
        if (attrLen > 0) {
            for (;;) {
                while (p != end && cgiIsSpace(static_cast<unsigned char>(*p)))
                    ++p;
                if (p == end)
                    return -1;
                if (p > eol) {
                    // The white space ran on into the next line, whose end
                    // now ends the value.
                    eol = lineEndIn(p, end);
                    if (!eol)
                        return -1;
                }
                colon = static_cast<const char *>(std::memchr(p, ':', static_cast<std::size_t>(eol - p)));
                const char *stop = colon ? colon : eol;
                int n = valueSpace - 1 - valueLen;
                if (n > stop - p)
                    n = static_cast<int>(stop - p);
                if (n > 0) {
                    std::memcpy(value + valueLen, p, static_cast<std::size_t>(n));
                    valueLen += n;
                }
                p = stop;
                if (!colon)
                    break;
                p = colon + 1;
            }
            break;
        }
        // A colon before any byte of the name belongs to it.
        if (attrLen < attrSpace - 1)
            attr[attrLen++] = ':';
    }
    // p is at the line end; whether a CR is followed by LF may lie beyond
    // the waiting bytes.
    if (*p == '\r') {
        if (p + 1 == end)
            return -1;
        if (p[1] == '\n')
            ++p;
    }
    mpp->pos = const_cast<char *>(p + 1);
    if (attrSpace > 0)
        attr[attrLen] = '\0';
    if (valueSpace > 0)
        value[valueLen] = '\0';
    return attrLen > 0 && valueLen > 0;
}

// The same, a byte at a time through the stream: for a line that runs past
// the waiting bytes.
int readLineByBytes(mpStreamPtr mpp, char *attr, int attrSpace, char *value, int valueSpace) {
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
        if (!cgiIsSpace(static_cast<unsigned char>(c)) && attrLen < attrSpace - 1)
            attr[attrLen++] = c;
    }
    // The value: every colon goes, with the white space after it. That skip
    // crosses line ends too, so the byte it stops at is never CR or LF.
    for (;;) {
        do {
            if (!mpGetByte(mpp, &c))
                return 0;
        } while (cgiIsSpace(static_cast<unsigned char>(c)));
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

} // namespace

int readHeaderLine(mpStreamPtr mpp, char *attr, int attrSpace, char *value, int valueSpace) noexcept {
    int r = readLineInBlock(mpp, attr, attrSpace, value, valueSpace);
    return r >= 0 ? r : readLineByBytes(mpp, attr, attrSpace, value, valueSpace);
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
            if (cgiEqualsNc(name, static_cast<std::size_t>(len), argNames[i], std::strlen(argNames[i]))) {
                out = argValues[i];
                break;
            }
        }
        p = copyValue(p, out, argValueSpace);
    }
}

cgiParseResultType cgiParsePostMultipartInput() noexcept {
    static mpStream stream;
    // The stream reads whole blocks, and an upload's reads are sized to
    // keep its writes on block offsets: a buffer in between would split
    // every such read in two.
    std::setvbuf(cgiIn, nullptr, _IONBF, 0);
    mpInit(&stream);
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    cgiParseResultType result = cgiParseSuccess;
    // Everything before the first delimiter is dropped; a whole body without
    // one is an empty submission, not an error.
    if (afterNextBoundary(&stream, -1, nullptr, nullptr, 1) == cgiParseSuccess) {
        result = parseParts(&stream);
    }
    // A body cut short is never a submission, whatever the parts seen so far
    // said: a form without its last fields must not be acted on.
    if (result == cgiParseSuccess && stream.cut)
        return cgiParseIO;
    return result;
}
