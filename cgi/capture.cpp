// Request capture and replay: the whole request (environment, fields and
// uploaded contents) saved to a capture file and restored from one.
//
// The file is a sequence of Integers (4 bytes, little-endian, whatever the
// platform) and Strings (an Integer length, then that many bytes): the magic
// "CGIC2.0", the 20 environment strings, the content length, then one
// record per entry up to the end of the file.
#include <cstring>
#include <sys/stat.h>

#include "cgi_raii.h"

namespace {

const char kMagic[] = "CGIC2.0";

// One Integer (4 bytes, little-endian) or String (Integer length, bytes) of
// a capture file; 1 on success, 0 on failure. A String read goes into a new
// pool block with a NUL after it; a negative length, or one beyond what the
// file still holds, is unreadable. `length` may be null.
int cgiWriteInt(FILE *out, int value) {
    const unsigned v = static_cast<unsigned>(value);
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return std::fwrite(b, 1, 4, out) == 4;
}

int cgiWriteString(FILE *out, const char *s) {
    const std::size_t len = std::strlen(s);
    return cgiWriteInt(out, static_cast<int>(len)) && std::fwrite(s, 1, len, out) == len;
}

int cgiReadInt(FILE *in, int *result) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, in) != 4)
        return 0;
    *result = static_cast<int>(static_cast<unsigned>(b[0]) | static_cast<unsigned>(b[1]) << 8 |
                               static_cast<unsigned>(b[2]) << 16 | static_cast<unsigned>(b[3]) << 24);
    return 1;
}

// Bytes left in the capture file, or -1 when it is not a regular file.
long long bytesLeft(FILE *in) {
    struct stat st;
    long pos = std::ftell(in);
    if (pos < 0 || fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size) - pos;
}

enum class Read { Done, Unreadable, NoMemory };

// One String; an allocation failure is told apart from a file that ends or
// holds a length that can't be right.
Read readString(FILE *in, char **s, int *length) {
    int len;
    if (!cgiReadInt(in, &len) || len < 0)
        return Read::Unreadable;
    // No block larger than what the file still holds.
    long long left = bytesLeft(in);
    if (left >= 0 && len > left)
        return Read::Unreadable;
    char *block = static_cast<char *>(cgiPoolAlloc(static_cast<std::size_t>(len) + 1));
    if (!block)
        return Read::NoMemory;
    if (std::fread(block, 1, static_cast<std::size_t>(len), in) != static_cast<std::size_t>(len))
        return Read::Unreadable;
    block[len] = '\0';
    *s = block;
    if (length)
        *length = len;
    return Read::Done;
}

int cgiReadString(FILE *in, char **s, int *length) {
    return readString(in, s, length) == Read::Done;
}

// Writes one entry: its strings, its value length, and its uploaded
// contents, which must be exactly valueLength bytes.
bool writeEntry(FILE *out, const cgiFormEntry *e) {
    if (!cgiWriteString(out, e->attr) || !cgiWriteString(out, e->value) ||
        !cgiWriteString(out, e->fileName) || !cgiWriteString(out, e->contentType) ||
        !cgiWriteInt(out, e->valueLength))
        return false;
    cgi::File contents(*e->tfileName ? std::fopen(e->tfileName, "rb") : nullptr);
    if (!contents)
        return cgiWriteInt(out, 0) != 0;
    if (!cgiWriteInt(out, 1))
        return false;
    cgiFileStruct handle{contents.get()};
    char buffer[1024];
    long long copied = 0;
    int got = 0;
    while (cgiFormFileRead(&handle, buffer, sizeof buffer, &got) == cgiFormSuccess) {
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(got), out) != static_cast<std::size_t>(got))
            return false;
        copied += got;
    }
    // The reader takes the contents' length from valueLength.
    return copied == e->valueLength && contents.close();
}

// Reads one entry record after its name, an upload's contents into `file`;
// the result is the replay's.
cgiEnvironmentResultType readEntry(FILE *in, cgiFormEntry *e, cgi::TempFile &file) {
    int fileFlag = 0;
    // A file cut short, or one that holds a length that can't be right, is
    // an input failure; only an allocation that fails is one of memory.
    char **const strings[] = {&e->value, &e->fileName, &e->contentType};
    for (char **s : strings) {
        const Read r = readString(in, s, nullptr);
        if (r != Read::Done)
            return r == Read::NoMemory ? cgiEnvironmentMemory : cgiEnvironmentIO;
    }
    if (!cgiReadInt(in, &e->valueLength) || !cgiReadInt(in, &fileFlag) || e->valueLength < 0)
        return cgiEnvironmentIO;
    if (!fileFlag) {
        // The file holds a value's bytes up to its first NUL. A value that
        // had NUL bytes comes back as those bytes, its length with it, so
        // that no reader of valueLength bytes goes beyond the block.
        const int held = static_cast<int>(std::strlen(e->value));
        if (e->valueLength > held)
            e->valueLength = held;
        e->tfileName = cgiEmptyString;
        return cgiEnvironmentSuccess;
    }
    if (!file.create())
        return cgiEnvironmentIO;
    char buffer[1024];
    for (int len = e->valueLength; len > 0;) {
        std::size_t tryr = len < static_cast<int>(sizeof buffer) ? static_cast<std::size_t>(len) : sizeof buffer;
        std::size_t got = std::fread(buffer, 1, tryr, in);
        if (got == 0 || !cgiWriteAll(file.fd(), buffer, got))
            return cgiEnvironmentIO;
        len -= static_cast<int>(got);
    }
    if (!file.close())
        return cgiEnvironmentIO;
    e->tfileName = cgiPoolStrndup(file.path(), std::strlen(file.path()));
    return e->tfileName ? cgiEnvironmentSuccess : cgiEnvironmentMemory;
}

} // namespace

cgiEnvironmentResultType cgiWriteEnvironment(const char *filename) noexcept {
    cgi::File out(std::fopen(filename, "wb"));
    if (!out)
        return cgiEnvironmentIO;
    bool ok = cgiWriteString(out.get(), kMagic);
    for (char **const s : cgiEnvironmentStrings)
        ok = ok && cgiWriteString(out.get(), *s);
    ok = ok && cgiWriteInt(out.get(), cgiContentLength);
    for (const cgiFormEntry *e = cgiFormEntryFirst; ok && e; e = e->next)
        ok = writeEntry(out.get(), e);
    ok = out.close() && ok;
    if (!ok) {
        std::remove(filename);
        return cgiEnvironmentIO;
    }
    return cgiEnvironmentSuccess;
}

cgiEnvironmentResultType cgiReadEnvironment(const char *filename) noexcept {
    cgiFreeResources();
    // The file is the program's own record of a request it accepted, written
    // perhaps by a build with a larger input limit, and its environment
    // strings were never the parser's: no String is larger than the file,
    // and the request's budget does not apply.
    cgiPoolUnbounded();
    cgi::File in(std::fopen(filename, "rb"));
    if (!in)
        return cgiEnvironmentIO;
    char *magic = nullptr;
    int magicLength = 0;
    if (!cgiReadString(in.get(), &magic, &magicLength))
        return cgiEnvironmentIO;
    if (magicLength != 7 || std::memcmp(magic, kMagic, 7) != 0)
        return cgiEnvironmentWrongVersion;
    for (char **const s : cgiEnvironmentStrings) {
        char *value;
        if (!cgiReadString(in.get(), &value, nullptr))
            return cgiEnvironmentIO;
        *s = value;
        cgiEnvironmentReplayed = 1;
    }
    if (!cgiReadInt(in.get(), &cgiContentLength))
        return cgiEnvironmentIO;
    cgi::EntryTail tail;
    for (;;) {
        // The entries end where a name can't be read, the end of the file;
        // a name that memory can't hold is a failure, not that end.
        char *attr = nullptr;
        const Read name = readString(in.get(), &attr, nullptr);
        if (name != Read::Done && name != Read::NoMemory) {
            cgiRestored = 1;
            return cgiEnvironmentSuccess;
        }
        cgiFormEntry *e = name == Read::Done ? cgiNewEntry(attr, cgiEmptyString, 0) : nullptr;
        cgi::TempFile file;
        cgiEnvironmentResultType r = e ? readEntry(in.get(), e, file) : cgiEnvironmentMemory;
        if (r != cgiEnvironmentSuccess) {
            cgiDropEntries();
            return r;
        }
        tail.append(e);
        file.release();
    }
}
