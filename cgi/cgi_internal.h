// Operations and state shared inside the CGI request layer. Applications
// include cgi.h only.
#ifndef CGI_CGI_INTERNAL_H
#define CGI_CGI_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "cgi.h"

// ---- Memory: every allocation of the layer goes through these. ----

// The input limit, set when the layer is built (CMakeLists.txt): the most
// bytes of one URL-encoded body or one in-memory multipart value. Past it a
// parse fails with cgiParseMemory, before the bytes are read or their memory
// is allocated.
#ifndef CGI_MAX_INPUT
#error "CGI_MAX_INPUT is defined by the build"
#endif
constexpr long long kCgiMaxInput = CGI_MAX_INPUT;
// What one request may take from the pool as a whole: values, names, entry
// records, file names and content types (uploaded contents go to files).
// Beside a value that fills the input limit it leaves room for the records
// and terminators of a small form's entries; a client that makes many
// values, or many entries out of few bytes, meets it instead.
constexpr std::size_t kCgiPoolBudget = static_cast<std::size_t>(CGI_MAX_INPUT) + 4096;

// The upload limit, set when the layer is built: the most bytes that the
// uploads of one multipart body may write to temporary files, or -1 for no
// limit. Past it the parse fails with cgiParseMemory, before the bytes are
// written. A variable, so that a test can lower it.
#ifndef CGI_MAX_UPLOAD
#error "CGI_MAX_UPLOAD is defined by the build"
#endif
extern long long cgiUploadLimit;

// The request pool holds what lives until cgiFreeResources: the form
// entries, their strings, replayed environment strings. Blocks are not freed
// one by one; cgiPoolRelease releases them all and renews the budget. Null
// on failure, and when the block would pass the budget (each block is
// charged its size rounded up to the pool's alignment).
void *cgiPoolAlloc(std::size_t size) noexcept;
// Resizes the pool block `p` of `oldSize` bytes and returns it, perhaps
// moved; null when growing fails or would pass the budget (`p` is then
// unchanged). The last block of the pool grows or shrinks where it stands
// while its chunk has room; a block alone in the newest chunk grows with its
// chunk, which may move without leaving a copy; any other block grows by
// moving once (the old one stays unused until the release, its pages given
// back when it ended a mapped chunk) and does not shrink. A block is charged
// its growth, and a shrink gives bytes back.
void *cgiPoolResizeLast(void *p, std::size_t oldSize, std::size_t newSize) noexcept;
// A pool copy of the `len` bytes at `s`, NUL-terminated; null on failure.
char *cgiPoolStrndup(const char *s, std::size_t len) noexcept;
void cgiPoolRelease() noexcept;
// What is left of the budget, rounded down to the pool's alignment, so that
// a block can grow by exactly this much.
std::size_t cgiPoolRoom() noexcept;
// No budget until the next release, for a replay: a capture file is the
// program's own record of a request that was already accepted.
void cgiPoolUnbounded() noexcept;

// Heap blocks for what the caller owns; null on failure, never throws.
void *cgiAlloc(std::size_t size) noexcept;
void cgiRelease(void *p) noexcept;
// A heap copy of `s` (of its first `len` bytes), NUL-terminated; null on failure.
char *cgiAllocString(const char *s) noexcept;
char *cgiStrndupHeap(const char *s, std::size_t len) noexcept;
// A string array for the caller (released by cgiStringArrayFree): `count`
// slots and the terminator, all null; null on failure.
char **cgiAllocStringArray(std::size_t count) noexcept;

// Failure injection for tests: the allocation numbered `n` (1-based, counted
// from this call, pool and heap alike) and every later one fails; 0 turns
// injection off.
void cgiAllocFailAt(long n) noexcept;
// Heap blocks and pool chunks not yet released.
long cgiAllocLive() noexcept;

// ---- Text. ----

// The shared empty string of unset variables and empty entry members.
extern char cgiEmptyString[];
// Space, tab, LF, VT, FF and CR; a byte above the space, as most are, is
// one comparison.
inline bool cgiIsSpace(unsigned char c) noexcept { return c <= ' ' && (0x100003E00ull >> c & 1); }
// Comparisons without case, inline: most compare a request's text with a
// constant, which the compiler then unrolls. Equal bytes match; otherwise
// only a letter and the same letter in the other case, which differ in the
// 0x20 bit alone.
inline bool cgiIsLetter(unsigned char c) noexcept { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool cgiSameNc(unsigned char a, unsigned char b) noexcept {
    return a == b || (cgiIsLetter(a) && (a ^ b) == 0x20);
}
// 1 when the strings are equal but for the case of their letters, else 0.
inline int cgiStrEqNc(const char *s1, const char *s2) noexcept {
    for (;; ++s1, ++s2) {
        const unsigned char a = static_cast<unsigned char>(*s1);
        const unsigned char b = static_cast<unsigned char>(*s2);
        // Equal bytes first: most strings compared are spelled as expected.
        if (a == b) {
            if (!a)
                return 1;
        } else if (!cgiIsLetter(a) || (a ^ b) != 0x20) {
            return 0;
        }
    }
}
// 1 when `s1` begins with `s2` but for the case of their letters, else 0.
inline int cgiStrBeginsNc(const char *s1, const char *s2) noexcept {
    for (;; ++s1, ++s2) {
        const unsigned char a = static_cast<unsigned char>(*s1);
        const unsigned char b = static_cast<unsigned char>(*s2);
        if (!b)
            return 1;
        if (!a || !cgiSameNc(a, b))
            return 0;
    }
}
// Whether the `length` bytes at `s` spell the `nameLength` bytes of `name`
// but for the case of their letters. The length first: most header names and
// values are not the one sought; then the spelling as clients send it.
inline bool cgiEqualsNc(const char *s, std::size_t length, const char *name, std::size_t nameLength) noexcept {
    if (length != nameLength)
        return false;
    if (std::memcmp(s, name, length) == 0)
        return true;
    for (std::size_t i = 0; i < length; ++i)
        if (!cgiSameNc(static_cast<unsigned char>(s[i]), static_cast<unsigned char>(name[i])))
            return false;
    return true;
}
template <std::size_t N>
bool cgiEqualsNc(const char *s, std::size_t length, const char (&name)[N]) noexcept {
    return cgiEqualsNc(s, length, name, N - 1);
}
// The decimal reading of atoi, saturated at INT_MIN and INT_MAX.
int cgiDecimal(const char *s) noexcept;
// Copies `n` bytes at `s` into the caller's buffer of `space` bytes: at
// most space - 1 of them and a NUL (when space > 0). True when they did not
// all fit.
bool cgiCopyOut(const char *s, std::size_t n, char *result, int space) noexcept;

// ---- The request: its state (request.cpp), start-up and release (entry.cpp). ----

extern int cgiRestored;          // 1 after a successful replay: the environment strings are the layer's
extern int cgiEnvironmentReplayed; // 1 when a replay, even a failed one, set environment strings
// The twenty environment strings, in the order of the capture file.
extern char **const cgiEnvironmentStrings[20];

// Start-up up to the parse: the 21 variables (from one walk over the
// environment), the content type and boundary, the empty list, cgiIn and
// cgiOut.
void cgiSetupRequest() noexcept;
// Chooses the parser by method and content type and runs it; cgiParseSuccess
// when nothing had to be parsed.
cgiParseResultType cgiParseRequest() noexcept;
// What in the client's request made the parse fail, for main to report:
// set where the parse meets it, cleared by cgiSetupRequest. A failure that
// leaves it at cgiRefusedNot is the server's own (memory, a temporary file).
enum : unsigned char {
    cgiRefusedNot,
    cgiRefusedInput,   // past the input limit
    cgiRefusedUploads, // past the upload limit
    cgiRefusedCut,     // the body ended before CONTENT_LENGTH did
    cgiRefusedOpen,    // all of CONTENT_LENGTH came, and the multipart body ended inside a part
    cgiRefusedLength   // a negative CONTENT_LENGTH
};
extern unsigned char cgiRefusal;
void cgiFreeResources() noexcept;

// ---- Form entry list. ----

extern cgiFormEntry *cgiFormEntryFirst;
// The entries on the list, as far as they joined it through EntryTail.
extern std::size_t cgiEntryCount;
// A complete, unlinked entry with `attr` and `value` (pool strings) and the
// other three strings empty; null when the allocation fails.
inline cgiFormEntry *cgiNewEntry(char *attr, char *value, int valueLength) noexcept {
    auto *e = static_cast<cgiFormEntry *>(cgiPoolAlloc(sizeof(cgiFormEntry)));
    if (e)
        *e = cgiFormEntry{attr, value, valueLength, cgiEmptyString, cgiEmptyString, cgiEmptyString, nullptr};
    return e;
}
namespace cgi {
// The end of the list, where a parser appends its entries one by one: the
// only way entries join the list. A signal handler may walk the list at any
// moment (to delete the uploads' files), so an entry joins it complete.
class EntryTail {
public:
    EntryTail() noexcept;
    void append(cgiFormEntry *e) noexcept {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        *tail_ = e;
        tail_ = &e->next;
        ++cgiEntryCount;
    }

private:
    cgiFormEntry **tail_;
};
} // namespace cgi
// The first entry named `name`, in input order, and each next one; null
// after the last. One search at a time: a new one ends the last.
cgiFormEntry *cgiFormEntryFindFirst(const char *name) noexcept;
cgiFormEntry *cgiFormEntryFindNext() noexcept;
// The most taken slots in a row in the name index of the last search's
// list (0 without one): a search by name looks at one more at most.
std::size_t cgiNameIndexLongestRun() noexcept;
// Deletes the entries' temporary files, and nothing else: a signal handler
// calls it too.
void cgiDeleteEntryFiles() noexcept;
// Empties the entry list and deletes the entries' temporary files; their
// memory stays in the pool until cgiFreeResources, which releases it only
// after the list is empty, so that a signal handler that walks the list
// never meets released memory.
void cgiDropEntries() noexcept;

// ---- URL-encoded input. ----

cgiParseResultType cgiParseGetFormInput() noexcept;
cgiParseResultType cgiParsePostFormInput() noexcept;
// Parses URL-encoded text; `data` is not modified (a pool copy is decoded).
cgiParseResultType cgiParseFormInput(const char *data, int length) noexcept;

// ---- Multipart stream and boundary scanner. ----

// The POST body as a stream that never reads beyond CONTENT_LENGTH and takes
// back bytes its reader looked at. Bytes are read from cgiIn a whole block at
// a time behind the few still waiting; the waiting ones are [pos, end).
// Bytes handed back go in front of the waiting ones, into the headroom kept
// before them, so the stream always comes back in its own order.
constexpr int kMpHeadroom = 1024; // room for bytes handed back
constexpr int kMpKeep = 1024;     // room for bytes still waiting at a refill
constexpr int kMpBlock = 64 * 1024;
struct mpStream {
    char *pos;  // next byte to deliver
    char *end;  // end of the waiting bytes
    int taken;  // body bytes read from cgiIn so far
    int unread; // body bytes not yet read from cgiIn
    bool cut;   // the input ended while body bytes were still owed
    long long uploadRoom; // bytes the uploads may still write; -1: no limit
    // "\r\n--" and the boundary: the delimiter of every boundary but the
    // first, which lacks the CR LF.
    char delimiter[1024];
    int delimiterLength;
    // On a page of its own: how fast the kernel copies a block into it
    // depends on where it lies in its page, so that without this any change
    // of the program's layout could slow an upload (by 13% at 64 MiB, after
    // the buffer moved by 64 bytes).
    alignas(4096) char data[kMpHeadroom + kMpKeep + kMpBlock];
};
typedef mpStream *mpStreamPtr;

// An empty stream at position 0 over the next cgiContentLength bytes of
// cgiIn, with the delimiter made from cgiMultipartBoundary.
void mpInit(mpStreamPtr mpp) noexcept;
// Delivers up to `len` bytes; fewer means the input ended. -1 when `len` > 0,
// nothing was waiting and the declared length is used up.
int mpRead(mpStreamPtr mpp, char *buffer, int len) noexcept;
// One byte, the common case without a call; false when the input ended.
inline bool mpGetByte(mpStreamPtr mpp, char *c) noexcept {
    if (mpp->pos != mpp->end) {
        *c = *mpp->pos++;
        return true;
    }
    return mpRead(mpp, c, 1) == 1;
}
// Hands back `len` bytes (at most kMpHeadroom): they are delivered again
// before any byte that was waiting.
void mpPutBack(mpStreamPtr mpp, const char *data, int len) noexcept;
// Reads through the next delimiter ("\r\n--" and the boundary; without the
// CR LF when `first`) and the two bytes after it, handing those back when
// they begin the closing "--". The bytes before the delimiter go to the
// descriptor `fd` (when not -1), or into a new pool block stored in `*outP`
// (NUL-terminated), or nowhere; their count goes to `*bodyLengthP`.
// cgiParseIO when the input ends first or a write to `fd` fails,
// cgiParseMemory when the block can't grow.
cgiParseResultType afterNextBoundary(mpStreamPtr mpp, int fd, char **outP, int *bodyLengthP, int first) noexcept;

// ---- Multipart input. ----

cgiParseResultType cgiParsePostMultipartInput() noexcept;
// Reads one header line into `attr` (name, white space dropped) and `value`
// (every ':' dropped with the white space after it). 1 when both are
// non-empty; 0 ends the header block.
int readHeaderLine(mpStreamPtr mpp, char *attr, int attrSpace, char *value, int valueSpace) noexcept;
// Splits "main; name=value; ..." into `mvalue` and the values of the
// parameters listed in the null-terminated `argNames` (into `argValues`).
void decomposeValue(const char *value, char *mvalue, int mvalueSpace, const char *const *argNames,
                    char **argValues, int argValueSpace) noexcept;

// ---- Uploaded files. ----

// The template of the temporary files that hold uploaded contents,
// "/tmp/cgicXXXXXX". The unit tests and fuzz targets change it, to keep
// their files in a directory of their own.
extern char cgiTempFileTemplate[64];
// Writes all of `n` bytes to the descriptor; false on an error.
bool cgiWriteAll(int fd, const char *p, std::size_t n) noexcept;
// Writes `s` to cgiOut without the bytes for which `drop` is true, in runs
// between them: the header and cookie writers keep an argument from ending
// a line or adding an attribute this way.
template <typename Drop> void cgiPutWithout(const char *s, Drop drop) {
    for (const char *run = s;; ++s) {
        if (*s && !drop(static_cast<unsigned char>(*s)))
            continue;
        std::fwrite(run, 1, static_cast<std::size_t>(s - run), cgiOut);
        if (!*s)
            return;
        run = s + 1;
    }
}

// ---- Single-value field access. ----

// Copies the entry's value into `result` of `max` bytes, line breaks
// normalised to LF (`newlines`) or removed.
cgiFormResultType cgiFormEntryString(cgiFormEntry *e, char *result, int max, int newlines) noexcept;

#endif // CGI_CGI_INTERNAL_H
