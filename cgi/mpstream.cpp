// The multipart body as a bounded stream with bytes handed back, and the
// scan to the next boundary. Bytes move in blocks: the body is read 64 KiB at
// a time, the delimiter is found with memchr near the start of a part and
// memmem beyond, and a part's bytes go to their file or memory block a whole
// run at a time.
#include <cstdint>
#include <cstring>

#include "cgi_internal.h"

namespace {

char *blockStart(mpStreamPtr mpp) { return mpp->data + kMpHeadroom; }

// How far the scan looks with memchr before it turns to memmem.
constexpr std::ptrdiff_t kNear = 256;

// Moves the waiting bytes to the start of the block and reads more behind
// them: a whole block (or `want` bytes, when fewer), so that the stream's
// buffer is bypassed. False when nothing more could be read.
bool refill(mpStreamPtr mpp, std::size_t want = kMpBlock) {
    const std::size_t waiting = static_cast<std::size_t>(mpp->end - mpp->pos);
    char *start = blockStart(mpp);
    if (mpp->pos != start)
        std::memmove(start, mpp->pos, waiting);
    mpp->pos = start;
    mpp->end = start + waiting;
    // The layer's readers refill with at most kMpKeep bytes waiting, which
    // leaves room for a whole block, or with more waiting to ask for no more
    // than completes a block and the delimiter's length after it.
    std::size_t room = static_cast<std::size_t>(mpp->data + sizeof mpp->data - mpp->end);
    if (room > want)
        room = want;
    if (room > static_cast<std::size_t>(mpp->unread))
        room = static_cast<std::size_t>(mpp->unread);
    if (room == 0)
        return false;
    std::size_t got = std::fread(mpp->end, 1, room, cgiIn);
    mpp->end += got;
    mpp->unread -= static_cast<int>(got);
    mpp->taken += static_cast<int>(got);
    // A short block read met the end of the input (or an error) with bytes
    // still owed: the web server passes the body on as it arrives, so its
    // client went away.
    if (got < room) {
        mpp->cut = true;
        cgiRefusal = cgiRefusedCut;
    }
    return got > 0;
}

} // namespace

long long cgiUploadLimit = CGI_MAX_UPLOAD;

namespace {

// Where the bytes before the delimiter go.
class Sink {
public:
    // An upload's bytes go to `fd` and are charged to `uploadRoom`.
    Sink(int fd, char **outP, long long *uploadRoom) : fd_(fd), outP_(outP), uploadRoom_(uploadRoom) {}

    // The 256-byte block of an in-memory part.
    bool start() {
        if (fd_ >= 0 || !outP_)
            return true;
        // No bigger than the budget's room: a value that fits it must not
        // fail for the block's sake.
        const std::size_t room = cgiPoolRoom();
        space_ = room < kFirstBlock ? (room ? room : 1) : kFirstBlock;
        out_ = static_cast<char *>(cgiPoolAlloc(space_));
        return out_ != nullptr;
    }

    // Takes `n` bytes; the cause of a failure is in memoryFailed().
    bool put(const char *p, std::size_t n) {
        if (n == 0)
            return true;
        if (fd_ >= 0) {
            // Straight to the file in the large runs the scan hands over;
            // nothing else writes through the stream. /tmp may be RAM, so
            // the uploads are bounded like the values in memory.
            if (*uploadRoom_ >= 0) {
                if (n > static_cast<unsigned long long>(*uploadRoom_)) {
                    cgiRefusal = cgiRefusedUploads;
                    memoryFailed_ = true;
                    return false;
                }
                *uploadRoom_ -= static_cast<long long>(n);
            }
            len_ += n;
            return cgiWriteAll(fd_, p, n);
        }
        if (!out_)
            return true;
        // A value held in memory is bounded, and so is all that the request
        // keeps in the pool, so that no client can make the device run out
        // of memory; past either bound it fails as if memory had, before the
        // block grows.
        const std::size_t need = len_ + n + 1; // one byte stays free behind the data
        const std::size_t room = cgiPoolRoom();
        const std::size_t most = room > SIZE_MAX - space_ ? SIZE_MAX : space_ + room;
        if (n > static_cast<std::size_t>(kCgiMaxInput) - len_ || need > most) {
            cgiRefusal = cgiRefusedInput;
            memoryFailed_ = true;
            return false;
        }
        if (need > space_) {
            // The block doubles, but only as far as the budget goes: a value
            // that still fits must not fail for the doubling's sake.
            std::size_t space = space_;
            while (need > space)
                space *= 2;
            if (space > most)
                space = most;
            char *grown = static_cast<char *>(cgiPoolResizeLast(out_, space_, space));
            if (!grown) {
                memoryFailed_ = true;
                return false;
            }
            out_ = grown;
            space_ = space;
        }
        std::memcpy(out_ + len_, p, n);
        len_ += n;
        return true;
    }

    bool memoryFailed() const { return memoryFailed_; }
    std::size_t length() const { return len_; }

    // The block, terminated and trimmed to its data and the NUL.
    char *finish() {
        if (!out_)
            return nullptr;
        out_[len_] = '\0';
        // Trimming never fails; in a sanitizer build the block moves.
        return static_cast<char *>(cgiPoolResizeLast(out_, space_, len_ + 1));
    }

private:
    static constexpr std::size_t kFirstBlock = 256;
    int fd_;
    char **outP_;
    long long *uploadRoom_;
    char *out_ = nullptr;
    std::size_t space_ = 0;
    std::size_t len_ = 0;
    bool memoryFailed_ = false;
};

// The first occurrence of the `m`-byte delimiter in [p, end), or null. A
// small field's delimiter is a few bytes away: memchr finds it without the
// setup memmem spends on the pattern. Further on, memchr would stop at every
// CR of an upload, so memmem takes the rest.
const char *find(const char *p, const char *end, const char *delimiter, std::size_t m) {
    if (static_cast<std::size_t>(end - p) < m)
        return nullptr;
    const char *last = end - m; // the last place a delimiter can begin
    const char *near = last - p > kNear ? p + kNear : last;
    for (const char *c = p; c <= near; ++c) {
        c = static_cast<const char *>(std::memchr(c, delimiter[0], static_cast<std::size_t>(near - c) + 1));
        if (!c)
            break;
        if (std::memcmp(c + 1, delimiter + 1, m - 1) == 0)
            return c;
    }
    if (near == last)
        return nullptr;
    return static_cast<const char *>(
        memmem(near + 1, static_cast<std::size_t>(end - (near + 1)), delimiter, m));
}

} // namespace

void mpInit(mpStreamPtr mpp) noexcept {
    mpp->pos = mpp->end = blockStart(mpp);
    mpp->taken = 0;
    mpp->unread = cgiContentLength > 0 ? cgiContentLength : 0;
    mpp->cut = false;
    mpp->uploadRoom = cgiUploadLimit;
    // cgiMultipartBoundary is the parameter's text up to a blank; the body
    // carries the boundary without the quotation marks of a quoted
    // parameter, and a ';' there begins the next parameter (no boundary
    // character is a ';' or a quotation mark). The boundary has at most
    // 1013 characters (it lies inside the content type's 1023), so the
    // delimiter always fits.
    const char *boundary = cgiMultipartBoundary;
    if (*boundary == '"')
        ++boundary;
    std::size_t n = std::strcspn(boundary, ";\"");
    if (n > sizeof mpp->delimiter - 5)
        n = sizeof mpp->delimiter - 5;
    std::memcpy(mpp->delimiter, "\r\n--", 4);
    std::memcpy(mpp->delimiter + 4, boundary, n);
    mpp->delimiter[4 + n] = '\0';
    mpp->delimiterLength = static_cast<int>(4 + n);
}

int mpRead(mpStreamPtr mpp, char *buffer, int len) noexcept {
    if (len <= 0)
        return 0;
    const bool waiting = mpp->pos != mpp->end;
    int delivered = 0;
    while (delivered < len) {
        if (mpp->pos == mpp->end && !refill(mpp))
            break;
        int n = static_cast<int>(mpp->end - mpp->pos);
        if (n > len - delivered)
            n = len - delivered;
        std::memcpy(buffer + delivered, mpp->pos, static_cast<std::size_t>(n));
        mpp->pos += n;
        delivered += n;
    }
    if (delivered == 0 && !waiting && mpp->unread == 0)
        return -1;
    return delivered;
}

void mpPutBack(mpStreamPtr mpp, const char *data, int len) noexcept {
    if (len <= 0)
        return;
    std::size_t n = static_cast<std::size_t>(len);
    if (static_cast<std::size_t>(mpp->pos - mpp->data) < n) {
        // More handed back than the headroom holds: make room behind.
        std::size_t waiting = static_cast<std::size_t>(mpp->end - mpp->pos);
        if (waiting + n > sizeof mpp->data)
            return; // never asked of the stream by the layer
        std::memmove(mpp->data + n, mpp->pos, waiting);
        mpp->pos = mpp->data + n;
        mpp->end = mpp->pos + waiting;
    }
    mpp->pos -= n;
    std::memmove(mpp->pos, data, n);
}

cgiParseResultType afterNextBoundary(mpStreamPtr mpp, int fd, char **outP, int *bodyLengthP,
                                     int first) noexcept {
    Sink sink(fd, outP, &mpp->uploadRoom);
    cgiParseResultType result = cgiParseSuccess;
    const char *delimiter = first ? mpp->delimiter + 2 : mpp->delimiter;
    const std::size_t m = static_cast<std::size_t>(mpp->delimiterLength - (first ? 2 : 0));

    if (!sink.start()) {
        result = cgiParseMemory;
    } else {
        for (;;) {
            const char *hit = find(mpp->pos, mpp->end, delimiter, m);
            if (hit) {
                std::size_t n = static_cast<std::size_t>(hit - mpp->pos);
                bool ok = sink.put(mpp->pos, n);
                mpp->pos = const_cast<char *>(hit) + m;
                if (!ok)
                    result = sink.memoryFailed() ? cgiParseMemory : cgiParseIO;
                break;
            }
            // Everything but the last m - 1 bytes, which may begin a
            // delimiter, belongs to the part.
            std::size_t waiting = static_cast<std::size_t>(mpp->end - mpp->pos);
            std::size_t n = waiting > m - 1 ? waiting - (m - 1) : 0;
            if (fd >= 0) {
                // An upload's writes end at block offsets of its file, and
                // all but the first are whole blocks: a write that straddles
                // an offset costs the page cache far more than its bytes.
                const std::size_t toEdge = kMpBlock - sink.length() % kMpBlock;
                if (n > toEdge)
                    n = toEdge;
            }
            if (!sink.put(mpp->pos, n)) {
                result = sink.memoryFailed() ? cgiParseMemory : cgiParseIO;
                break;
            }
            mpp->pos += n;
            std::size_t want = kMpBlock;
            if (fd >= 0) {
                // The next read brings what ends the next write at the next
                // edge, and the m - 1 bytes behind it that show that no
                // delimiter begins inside.
                const std::size_t next = kMpBlock - sink.length() % kMpBlock + (m - 1);
                const std::size_t held = static_cast<std::size_t>(mpp->end - mpp->pos);
                if (held >= next)
                    continue;
                want = next - held;
            }
            if (!refill(mpp, want)) {
                result = cgiParseIO; // the input ended before the delimiter
                if (!mpp->cut)
                    cgiRefusal = cgiRefusedOpen;
                break;
            }
        }
    }
    if (result == cgiParseSuccess && mpp->end - mpp->pos >= 2) {
        if (mpp->pos[0] != '-')
            mpp->pos += 2; // a line end is dropped; the closing "--" stays for the driver's end test
    } else if (result == cgiParseSuccess) {
        // A body that ends here, right after a delimiter, is complete when
        // all of CONTENT_LENGTH came, and the driver then finds no more
        // parts; one cut short is failed by the driver.
        char d[2];
        if (mpRead(mpp, d, 2) == 2 && d[0] == '-')
            mpPutBack(mpp, d, 2); // the closing "--", for the driver's end test; a line end is dropped
    }
    if (result != cgiParseSuccess) {
        if (outP)
            *outP = nullptr;
        if (bodyLengthP)
            *bodyLengthP = 0;
        return result;
    }
    if (outP && fd < 0)
        *outP = sink.finish();
    if (bodyLengthP)
        *bodyLengthP = static_cast<int>(sink.length());
    return cgiParseSuccess;
}
