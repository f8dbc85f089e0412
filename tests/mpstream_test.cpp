// The multipart stream and the boundary scanner.
#include "fixture.h"

using namespace cgitest;

class Stream : public Request {
protected:
    // `body` on cgiIn for the stream s_, over `length` bytes (-1: all).
    void stream(const std::string &body, int length = -1, const char *boundary = "XyZ") {
        start({}, body);
        cgiContentLength = length < 0 ? static_cast<int>(body.size()) : length;
        cgiMultipartBoundary = &(boundary_ = boundary)[0];
        mpInit(&s_);
    }
    std::string read(int n) {
        std::string out(static_cast<size_t>(n), '\0');
        out.resize(static_cast<size_t>(std::max(mpRead(&s_, &out[0], n), 0)));
        return out;
    }
    // Scans to the next boundary into memory: the part's body, or "#fail".
    std::string scan(int first, cgiParseResultType expect = cgiParseSuccess) {
        char *out = reinterpret_cast<char *>(1);
        int len = -1;
        EXPECT_EQ(afterNextBoundary(&s_, nullptr, &out, &len, first), expect);
        EXPECT_TRUE(expect == cgiParseSuccess ? out && !out[len] : !out && !len);
        return expect == cgiParseSuccess ? std::string(out, static_cast<size_t>(len)) : "#fail";
    }
    std::string boundary_;
    mpStream s_;
};

TEST_F(Stream, HandedBackBytesComeBackFirstAndNothingIsReadPastTheLength) {
    stream("wxyz0123456789", 10);
    EXPECT_EQ(read(4), "wxyz");
    mpPutBack(&s_, "yz", 2);
    EXPECT_EQ(mpOffset(&s_), 2);
    EXPECT_EQ(read(1), "y");
    mpPutBack(&s_, "Q", 1); // before the bytes still waiting
    EXPECT_EQ(read(3), "Qz0");
    for (int i = 0; i < 50; ++i) {
        const std::string got = read(3);
        mpPutBack(&s_, got.data(), static_cast<int>(got.size()));
    }
    EXPECT_EQ(read(100), "12345");
    EXPECT_EQ(std::make_tuple(mpOffset(&s_), std::ftell(cgiIn)), std::make_tuple(10, 10L)) << "read beyond the length";
    char c;
    EXPECT_EQ(mpRead(&s_, &c, 1), -1) << "the declared length is used up";
    EXPECT_EQ(mpRead(&s_, &c, 0), 0);
    EXPECT_FALSE(s_.cut) << "every announced byte arrived";
    stream("abc", 10);
    EXPECT_EQ(read(5), "abc");
    EXPECT_EQ(mpRead(&s_, &c, 1), 0);
    EXPECT_TRUE(s_.cut) << "the parse must learn that the input was cut";
}

TEST_F(Stream, ScanStopsAtTheFirstDelimiterAndItsLineEnd) {
    // The part's body ("#fail": cgiParseIO) and what the stream delivers after a success.
    const struct { const char *label; std::string body; int first; std::string expect, rest; const char *boundary; }
        rows[] = {
        {"plain", "hello\r\n--XyZ\r\nrest", 0, "hello", "rest", "XyZ"},
        {"CR LF inside the body stays", "a\r\nb\r\n--XyZ\r\nr", 0, "a\r\nb", "r", "XyZ"},
        {"near miss", "a\r\n--Xyb\r\n--XyZ\r\nr", 0, "a\r\n--Xyb", "r", "XyZ"},
        {"delimiter without CR LF is data", "a--XyZb\r\n--XyZ\r\nr", 0, "a--XyZb", "r", "XyZ"},
        {"a CR before the delimiter", "a\r\r\n--XyZ\r\nr", 0, "a\r", "r", "XyZ"},
        {"empty body", "\r\n--XyZ\r\nr", 0, "", "r", "XyZ"},
        {"closing -- handed back", "v\r\n--XyZ--\r\n", 0, "v", "--\r\n", "XyZ"},
        {"other two bytes dropped", "v\r\n--XyZab rest", 0, "v", " rest", "XyZ"},
        {"LF alone loses the next byte", "v\r\n--XyZ\nCont", 0, "v", "ont", "XyZ"},
        {"one byte after the delimiter", "v\r\n--XyZ\r", 0, "#fail", "", "XyZ"},
        {"input ends inside the delimiter", "abc\r\n--Xy", 0, "#fail", "", "XyZ"},
        {"first delimiter anywhere", "junk--XyZ\r\nX", 1, "junk", "X", "XyZ"},
        {"first delimiter after a failed partial match", "--Xy--XyZ\r\nrest", 1, "--Xy", "rest", "XyZ"},
        {"overlapping near misses", "\r\n-\r\n--\r\n--X\r\n--XyZ\r\nr", 0, "\r\n-\r\n--\r\n--X", "r", "XyZ"},
        {"no boundary parameter", "x\r\n--\r\nr", 0, "x", "r", ""},
        {"NUL bytes are data", std::string("a\0b\r\n--XyZ\r\nr", 13), 0, std::string("a\0b", 3), "r", "XyZ"},
    };
    for (const auto &row : rows) {
        stream(row.body, -1, row.boundary);
        const bool fails = row.expect == "#fail";
        const std::string got = scan(row.first, fails ? cgiParseIO : cgiParseSuccess);
        EXPECT_EQ(got + "|" + (fails ? "" : read(100)), row.expect + "|" + row.rest) << row.label;
    }
}

// Bodies around the sizes where the memory block grows and where the stream
// reads its next block, with near misses of the delimiter all along; and a
// value may fill the input limit but not pass it (as if memory ran out).
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
    for (long long n : {kCgiMaxInput, kCgiMaxInput + 1}) {
        const std::string value(static_cast<size_t>(n), 'v');
        stream(value + "\r\n--XyZ\r\n");
        const bool above = n > kCgiMaxInput;
        EXPECT_TRUE(scan(0, above ? cgiParseMemory : cgiParseSuccess) == (above ? "#fail" : value))
            << (above ? "one byte above the input limit" : "exactly the input limit");
        cgiFreeResources();
    }
}

