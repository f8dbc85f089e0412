// The multipart stream and the boundary scanner.
#include <cstring>
#include <string>

#include "fixture.h"

namespace cgitest {
namespace {

class Stream : public Request {
protected:
    // Puts `body` on cgiIn with CONTENT_LENGTH `length` (default: its size).
    void body(const std::string &b, int length = -1, const char *boundary = "XyZ") {
        if (in_)
            std::fclose(in_);
        in_ = std::tmpfile();
        std::fwrite(b.data(), 1, b.size(), in_);
        std::rewind(in_);
        cgiIn = in_;
        cgiContentLength = length < 0 ? static_cast<int>(b.size()) : length;
        boundary_ = boundary;
        cgiMultipartBoundary = &boundary_[0];
        mpInit(&s_);
    }
    std::string read(int n) {
        std::string out(static_cast<size_t>(n), '\0');
        int got = mpRead(&s_, &out[0], n);
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return out;
    }
    // Scans to the next boundary into memory; returns the body (or "#fail").
    std::string scan(int first, cgiParseResultType expect = cgiParseSuccess) {
        char *out = reinterpret_cast<char *>(1);
        int len = -1;
        EXPECT_EQ(afterNextBoundary(&s_, nullptr, &out, &len, first), expect);
        if (expect != cgiParseSuccess) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(len, 0);
            return "#fail";
        }
        EXPECT_EQ(out[len], '\0');
        return std::string(out, static_cast<size_t>(len));
    }
    std::string rest() { return read(1 << 20); }

    mpStream s_;
    std::string boundary_;
};

TEST_F(Stream, HandedBackBytesComeBackFirstAndNothingIsReadPastTheLength) {
    body("wxyz0123456789", 10);
    EXPECT_EQ(read(4), "wxyz");
    mpPutBack(&s_, "yz", 2);
    EXPECT_EQ(mpOffset(&s_), 2);
    EXPECT_EQ(read(1), "y");
    // A later hand-back comes before the bytes still waiting.
    mpPutBack(&s_, "Q", 1);
    EXPECT_EQ(read(3), "Qz0");
    for (int i = 0; i < 50; ++i) {
        std::string got = read(3);
        mpPutBack(&s_, got.data(), static_cast<int>(got.size()));
    }
    EXPECT_EQ(rest(), "12345");
    EXPECT_EQ(mpOffset(&s_), 10);
    EXPECT_EQ(std::ftell(cgiIn), 10) << "read beyond CONTENT_LENGTH";
    char c;
    EXPECT_EQ(mpRead(&s_, &c, 1), -1) << "the declared length is used up";
    EXPECT_EQ(mpRead(&s_, &c, 0), 0);
    EXPECT_FALSE(s_.cut) << "every announced byte arrived";
}

TEST_F(Stream, ABodyShorterThanItsLengthEndsWithAShortRead) {
    body("abc", 10);
    EXPECT_EQ(read(5), "abc");
    char c;
    EXPECT_EQ(mpRead(&s_, &c, 1), 0);
    EXPECT_TRUE(s_.cut) << "the parse must learn that the input was cut";
}

struct ScanRow {
    const char *label;
    std::string body;
    int first;
    std::string expect; // the part's body, or "#fail" for cgiParseIO
    std::string rest;   // what the stream delivers afterwards
    const char *boundary = "XyZ";
};

TEST_F(Stream, ScanStopsAtTheFirstDelimiterAndItsLineEnd) {
    const ScanRow rows[] = {
        {"plain", "hello\r\n--XyZ\r\nrest", 0, "hello", "rest"},
        {"CR LF inside the body stays", "a\r\nb\r\n--XyZ\r\nr", 0, "a\r\nb", "r"},
        {"near miss", "a\r\n--Xyb\r\n--XyZ\r\nr", 0, "a\r\n--Xyb", "r"},
        {"delimiter without CR LF is data", "a--XyZb\r\n--XyZ\r\nr", 0, "a--XyZb", "r"},
        {"a CR before the delimiter", "a\r\r\n--XyZ\r\nr", 0, "a\r", "r"},
        {"empty body", "\r\n--XyZ\r\nr", 0, "", "r"},
        {"closing -- handed back", "v\r\n--XyZ--\r\n", 0, "v", "--\r\n"},
        {"other two bytes dropped", "v\r\n--XyZab rest", 0, "v", " rest"},
        {"LF alone loses the next byte", "v\r\n--XyZ\nCont", 0, "v", "ont"},
        {"one byte after the delimiter", "v\r\n--XyZ\r", 0, "#fail", "-"},
        {"input ends inside the delimiter", "abc\r\n--Xy", 0, "#fail", "-"},
        {"first delimiter anywhere", "junk--XyZ\r\nX", 1, "junk", "X"},
        {"first delimiter after a failed partial match", "--Xy--XyZ\r\nrest", 1, "--Xy", "rest"},
        {"overlapping near misses", "\r\n-\r\n--\r\n--X\r\n--XyZ\r\nr", 0, "\r\n-\r\n--\r\n--X", "r"},
        {"no boundary parameter", "x\r\n--\r\nr", 0, "x", "r", ""},
        {"NUL bytes are data", std::string("a\0b\r\n--XyZ\r\nr", 13), 0, std::string("a\0b", 3), "r"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        body(row.body, -1, row.boundary);
        EXPECT_EQ(scan(row.first, row.expect == "#fail" ? cgiParseIO : cgiParseSuccess), row.expect);
        if (row.expect != "#fail") {
            EXPECT_EQ(rest(), row.rest);
        }
    }
}

// Bodies around the sizes where the memory block grows and where the stream
// reads its next block, with the delimiter at every offset there.
TEST_F(Stream, BodiesOfEverySizeAroundBlockBoundaries) {
    std::string filler;
    for (int i = 0; filler.size() < 3 * kMpBlock; ++i)
        filler += static_cast<char>("ab\r\n-XyZ"[i % 8]); // near misses all along
    for (size_t n : {0ul, 1ul, 254ul, 255ul, 256ul, 257ul, 511ul, 512ul, 513ul}) {
        body(filler.substr(0, n) + "\r\n--XyZ\r\nr");
        EXPECT_EQ(scan(0), filler.substr(0, n)) << n;
    }
    const size_t block = static_cast<size_t>(kMpBlock);
    for (size_t n = block - 12; n <= block + 12; ++n) {
        body(filler.substr(0, n) + "\r\n--XyZ\r\nr");
        EXPECT_EQ(scan(0), filler.substr(0, n)) << n;
        EXPECT_EQ(rest(), "r") << n;
    }
    body(filler + "\r\n--XyZ\r\nr");
    EXPECT_EQ(scan(0), filler);
}

TEST_F(Stream, BodyToAFile) {
    const std::string data = std::string(100000, 'x') + "\r\n--XyZ" + std::string(5000, 'y');
    body(data + "\r\n--XyZ\r\nr");
    FILE *f = std::tmpfile();
    int len = -1;
    EXPECT_EQ(afterNextBoundary(&s_, f, nullptr, &len, 0), cgiParseSuccess);
    EXPECT_EQ(len, 100000);
    std::rewind(f);
    std::string got(200000, '\0');
    got.resize(std::fread(&got[0], 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got, std::string(100000, 'x'));
}

TEST_F(Stream, AGrowingBlockThatCannotBeAllocatedFailsCleanly) {
    for (long n = 1; n <= 3; ++n) {
        body(std::string(300, 'v') + "\r\n--XyZ\r\n");
        cgiAllocFailAt(n);
        std::string got = scan(0, n <= 2 ? cgiParseMemory : cgiParseSuccess);
        cgiAllocFailAt(0);
        if (n == 3) {
            EXPECT_EQ(got, std::string(300, 'v'));
        }
        cgiFreeResources();
    }
    // A value may fill the input limit but not pass it: one byte more fails
    // as if memory ran out.
    for (long long n : {kCgiMaxInput, kCgiMaxInput + 1}) {
        SCOPED_TRACE(n > kCgiMaxInput ? "one byte above the input limit" : "exactly the input limit");
        const std::string value(static_cast<size_t>(n), 'v');
        body(value + "\r\n--XyZ\r\n");
        const std::string got = scan(0, n > kCgiMaxInput ? cgiParseMemory : cgiParseSuccess);
        EXPECT_TRUE(got == (n > kCgiMaxInput ? "#fail" : value)) << got.size() << " bytes";
        cgiFreeResources();
    }
}

} // namespace
} // namespace cgitest
