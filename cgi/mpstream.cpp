// The multipart body as a bounded stream with bytes handed back, and the
// scan to the next boundary. Bytes move in blocks: the body is read 64 KiB at
// a time, delimiter candidates are found with memchr, and a part's bytes go
// to their file or memory block a whole run at a time.
#include <cstring>

#include "cgi_internal.h"

namespace {

char *blockStart(mpStreamPtr mpp) { return mpp->data + kMpHeadroom; }

// Moves the waiting bytes to the start of the block and reads more behind
// them. False when nothing more could be read.
bool refill(mpStreamPtr mpp) {
    const std::size_t waiting = static_cast<std::size_t>(mpp->end - mpp->pos);
    char *start = blockStart(mpp);
    if (mpp->pos != start)
        std::memmove(start, mpp->pos, waiting);
    mpp->pos = start;
    mpp->end = start + waiting;
    std::size_t room = static_cast<std::size_t>(kMpBlock) - waiting;
    if (room > static_cast<std::size_t>(mpp->unread))
        room = static_cast<std::size_t>(mpp->unread);
    if (room == 0)
        return false;
    std::size_t got = std::fread(mpp->end, 1, room, cgiIn);
    mpp->end += got;
    mpp->unread -= static_cast<int>(got);
    return got > 0;
}

// Where the bytes before the delimiter go.
class Sink {
public:
    Sink(FILE *outf, char **outP) : outf_(outf), outP_(outP) {}

    // The 256-byte block of an in-memory part.
    bool start() {
        if (outf_ || !outP_)
            return true;
        out_ = static_cast<char *>(cgiPoolAlloc(kFirstBlock));
        space_ = kFirstBlock;
        return out_ != nullptr;
    }

    // Takes `n` bytes; the cause of a failure is in memoryFailed().
    bool put(const char *p, std::size_t n) {
        if (n == 0)
            return true;
        if (outf_) {
            len_ += n;
            return std::fwrite(p, 1, n, outf_) == n;
        }
        if (!out_)
            return true;
        // The block doubles so that one byte stays free behind the data.
        std::size_t space = space_;
        while (len_ + n + 1 > space)
            space *= 2;
        if (space != space_) {
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
        cgiPoolResizeLast(out_, space_, len_ + 1);
        return out_;
    }

private:
    static constexpr std::size_t kFirstBlock = 256;
    FILE *outf_;
    char **outP_;
    char *out_ = nullptr;
    std::size_t space_ = 0;
    std::size_t len_ = 0;
    bool memoryFailed_ = false;
};

} // namespace

void mpInit(mpStreamPtr mpp) noexcept {
    mpp->pos = mpp->end = blockStart(mpp);
    mpp->offset = 0;
    mpp->unread = cgiContentLength > 0 ? cgiContentLength : 0;
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
    mpp->offset += delivered;
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
    mpp->offset -= len;
}

cgiParseResultType afterNextBoundary(mpStreamPtr mpp, FILE *outf, char **outP, int *bodyLengthP,
                                     int first) noexcept {
    Sink sink(outf, outP);
    cgiParseResultType result = cgiParseSuccess;
    char delimiterData[1024];
    const int total = std::snprintf(delimiterData, sizeof delimiterData, "\r\n--%s", cgiMultipartBoundary);
    const char *delimiter = first ? delimiterData + 2 : delimiterData;
    const std::size_t m = static_cast<std::size_t>(total) - (first ? 2 : 0);

    if (total < 0 || total >= static_cast<int>(sizeof delimiterData) || !sink.start()) {
        result = total < 0 || total >= static_cast<int>(sizeof delimiterData) ? cgiParseIO
                                                                              : cgiParseMemory;
    } else {
        for (;;) {
            // The first occurrence of the delimiter among the waiting bytes.
            const char *hit = nullptr;
            if (static_cast<std::size_t>(mpp->end - mpp->pos) >= m) {
                const char *last = mpp->end - m;
                for (const char *c = mpp->pos; c <= last; ++c) {
                    c = static_cast<const char *>(
                        std::memchr(c, delimiter[0], static_cast<std::size_t>(last - c) + 1));
                    if (!c)
                        break;
                    if (std::memcmp(c + 1, delimiter + 1, m - 1) == 0) {
                        hit = c;
                        break;
                    }
                }
            }
            if (hit) {
                std::size_t n = static_cast<std::size_t>(hit - mpp->pos);
                bool ok = sink.put(mpp->pos, n);
                mpp->offset += static_cast<int>(n + m);
                mpp->pos = const_cast<char *>(hit) + m;
                if (!ok)
                    result = sink.memoryFailed() ? cgiParseMemory : cgiParseIO;
                break;
            }
            // Everything but the last m - 1 bytes, which may begin a
            // delimiter, belongs to the part.
            std::size_t waiting = static_cast<std::size_t>(mpp->end - mpp->pos);
            std::size_t n = waiting > m - 1 ? waiting - (m - 1) : 0;
            if (!sink.put(mpp->pos, n)) {
                result = sink.memoryFailed() ? cgiParseMemory : cgiParseIO;
                break;
            }
            mpp->pos += n;
            mpp->offset += static_cast<int>(n);
            if (!refill(mpp)) {
                result = cgiParseIO; // the input ended before the delimiter
                break;
            }
        }
    }
    if (result == cgiParseSuccess) {
        char d[2];
        if (mpRead(mpp, d, 2) != 2)
            result = cgiParseIO;
        else if (!(d[0] == '\r' && d[1] == '\n') && d[0] == '-')
            mpPutBack(mpp, d, 2); // the closing "--", for the driver's end test
    }
    if (result != cgiParseSuccess) {
        if (outP)
            *outP = nullptr;
        if (bodyLengthP)
            *bodyLengthP = 0;
        return result;
    }
    if (outP && !outf)
        *outP = sink.finish();
    if (bodyLengthP)
        *bodyLengthP = static_cast<int>(sink.length());
    return cgiParseSuccess;
}
