// The multipart stream and the boundary scanner.
#include "fixture.h"

using Stream = Request;

// Bytes delivered so far, less those handed back.
static int offset(const mpStream &s) { return s.taken - static_cast<int>(s.end - s.pos); }

TEST_F(Stream, HandedBackBytesComeBackFirstAndNothingIsReadPastTheLength) {
    stream("wxyz0123456789", 10);
    EXPECT_EQ(read(4), "wxyz");
    mpPutBack(&s_, "yz", 2);
    EXPECT_EQ(offset(s_), 2);
    EXPECT_EQ(read(1), "y");
    mpPutBack(&s_, "Q", 1); // before the bytes still waiting
    EXPECT_EQ(read(3), "Qz0");
    for (int i = 0; i < 50; ++i) {
        const std::string got = read(3);
        mpPutBack(&s_, got.data(), static_cast<int>(got.size()));
    }
    EXPECT_EQ(read(100), "12345");
    // The declared length is used up (-1), nothing beyond it was read, and every announced byte arrived.
    char c;
    const int usedUp = mpRead(&s_, &c, 1), none = mpRead(&s_, &c, 0);
    EXPECT_EQ(std::make_tuple(usedUp, none, offset(s_), std::ftell(cgiIn), s_.cut),
              std::make_tuple(-1, 0, 10, 10L, false));
}

TEST_F(Stream, ScanStopsAtTheFirstDelimiterAndItsLineEnd) {
    // The part's body and what the stream delivers after it.
    const struct { const char *label; std::string body; int first; std::string expect, rest;
                   const char *boundary = "XyZ"; } rows[] = {
        {"delimiter without CR LF is data", "a--XyZb\r\n--XyZ\r\nr", 0, "a--XyZb", "r"},
        {"a CR before the delimiter", "a\r\r\n--XyZ\r\nr", 0, "a\r", "r"},
        {"closing -- handed back", "v\r\n--XyZ--\r\n", 0, "v", "--\r\n"},
        {"other two bytes dropped", "v\r\n--XyZab rest", 0, "v", " rest"},
        {"LF alone loses the next byte", "v\r\n--XyZ\nCont", 0, "v", "ont"},
        {"the input ends a byte after the delimiter", "v\r\n--XyZ\r", 0, "v", ""},
        {"first delimiter anywhere, after a failed partial match", "--Xy--XyZ\r\nrest", 1, "--Xy", "rest"},
        {"overlapping near misses", "\r\n-\r\n--\r\n--X\r\n--XyZ\r\nr", 0, "\r\n-\r\n--\r\n--X", "r"},
        {"no boundary parameter", "x\r\n--\r\nr", 0, "x", "r", ""},
    };
    for (const auto &row : rows) {
        stream(row.body, -1, row.boundary);
        const std::string got = scan(row.first);
        EXPECT_EQ(got + "|" + read(100), row.expect + "|" + row.rest) << row.label;
    }
}

// Bodies around the sizes where the memory block grows and where the stream
// reads its next block, with near misses of the delimiter all along; and the
// bounds of a value, past which it fails as if memory ran out.
TEST_F(Stream, BodiesOfEverySizeAroundBlockBoundariesAndTheInputLimit) {
    std::string filler;
    for (int i = 0; filler.size() < 3 * kMpBlock; ++i)
        filler += "ab\r\n-XyZ"[i % 8];
    std::vector<size_t> sizes = {0, 1, 254, 255, 256, 257, 511, 512, 513, filler.size()};
    for (size_t n = kMpBlock - 12; n <= kMpBlock + 12; ++n)
        sizes.push_back(n);
    for (size_t n : sizes) {
        stream(filler.substr(0, n) + "\r\n--XyZ\r\nr");
        const bool whole = scan(0) == filler.substr(0, n);
        EXPECT_TRUE(whole && read(100) == "r") << n;
    }
    // A value may fill the input limit, or the little room left in the
    // request's budget (`leave` bytes), but not pass either.
    const struct { const char *label; size_t leave; long long n; bool fits; } values[] = {
        {"exactly the input limit", 0, kCgiMaxInput, true}, {"a byte above it", 0, kCgiMaxInput + 1, false},
        {"the budget's last room", 48, 47, true}, {"a byte past it", 48, 48, false},
    };
    for (const auto &row : values) {
        cgiFreeResources(); // a request of its own, with the whole budget
        ASSERT_TRUE(!row.leave || cgiPoolAlloc(cgiPoolRoom() - row.leave));
        const std::string value(static_cast<size_t>(row.n), 'v');
        stream(value + "\r\n--XyZ\r\n");
        EXPECT_TRUE(scan(0, row.fits ? cgiParseSuccess : cgiParseMemory) == (row.fits ? value : "#fail")) << row.label;
    }
    // The uploads of a body share the upload limit; the write that would
    // pass it is not made.
    const long long limit = std::exchange(cgiUploadLimit, 1000);
    for (size_t second : {400, 401}) {
        stream(std::string(600, 'a') + "\r\n--XyZ\r\n" + std::string(second, 'b') + "\r\n--XyZ\r\n");
        FILE *f = std::tmpfile();
        int len = 0;
        const bool first = afterNextBoundary(&s_, fileno(f), nullptr, &len, 0) == cgiParseSuccess && len == 600;
        const cgiParseResultType r = afterNextBoundary(&s_, fileno(f), nullptr, &len, 0);
        EXPECT_TRUE(first && r == (second > 400 ? cgiParseMemory : cgiParseSuccess) &&
                    lseek(fileno(f), 0, SEEK_END) == (second > 400 ? 600 : 1000)) << second;
        std::fclose(f);
    }
    cgiUploadLimit = limit;
}

