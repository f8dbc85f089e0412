// Request capture and replay.
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include "fixture.h"

using namespace cgitest;

// A capture file's Integer (4 bytes, little-endian) and String.
static std::string le(int v) {
    const unsigned u = static_cast<unsigned>(v);
    return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}
static std::string str(const std::string &s) { return le(static_cast<int>(s.size())) + s; }

class Capture : public Request {
protected:
    cgiEnvironmentResultType replay(const std::string &file) {
        spit(path_, file);
        return cgiReadEnvironment(path_.c_str());
    }
    // The content length and the twenty environment strings.
    std::vector<std::string> environment() {
        std::vector<std::string> env{std::to_string(cgiContentLength)};
        for (char **s : cgiEnvironmentStrings)
            env.push_back(*s);
        return env;
    }
    const std::string path_ = kTempDir + "/capture", head_ = str("CGIC2.0");
};

TEST_F(Capture, ReplayGivesBackTheCapturedRequest) {
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(slurp(path_), head_ + std::string(84, '\0')) << "the magic, 20 empty strings, length 0";
    postUploads();
    auto live = snapshot();
    const auto env = environment();
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    ASSERT_EQ(cgiReadEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiRestored, 1);
    EXPECT_EQ(environment(), env);
    live[5].value = "a"; // a value is stored up to its first NUL, and comes back that long
    EXPECT_EQ(snapshot(), live);
    cgiFreeResources();
    EXPECT_STREQ(cgiServerName, "") << "a released replayed string must read as empty";
}

// A capture that fails reports it and leaves no file.
TEST_F(Capture, AFailedCaptureLeavesNoFile) {
    postUploads();
    const struct { const char *label; std::string path; rlim_t sizeLimit; bool cutUpload; } rows[] = {
        {"a directory that does not exist", "/nonexistent/capture", RLIM_INFINITY, false},
        {"a file size limit far below the capture", path_, 200, false},
        {"an upload whose file lost bytes", path_, RLIM_INFINITY, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ASSERT_TRUE(!row.cutUpload || truncate(cgiFormEntryFindFirst("big")->tfileName, 10) == 0);
        // Beyond the limit a write fails (EFBIG) once SIGXFSZ is ignored.
        rlimit old, limit;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        limit = {std::min(row.sizeLimit, old.rlim_cur), old.rlim_max};
        void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const cgiEnvironmentResultType r = cgiWriteEnvironment(row.path.c_str());
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(r, cgiEnvironmentIO);
        EXPECT_NE(access(row.path.c_str(), F_OK), 0) << "a failed capture left its file";
    }
}

// Files that are no capture, or are cut or lie about their lengths: what
// comes back, and how many environment strings (r0, r1, ...: the rest read
// as empty, the live ones after a file that is no capture).
TEST_F(Capture, ReplayTrustsNoLength) {
    std::string env;
    for (int i = 0; i < 20; ++i)
        env += str("r" + std::to_string(i % 10));
    const std::string one = head_ + env + le(0) + str("a") + str("1") + le(0) + le(0) + le(1) + le(0);
    const std::string named = one + str("n") + str("v") + le(0) + le(0); // then valueLength and the file flag
    const Field a = {"a", "1"};
    const struct { const char *label; std::string file; cgiEnvironmentResultType result; std::vector<Field> fields;
                   int strings; } rows[] = {
        {"another version", str("CGIC2.1") + std::string(84, '\0'), cgiEnvironmentWrongVersion, {}, -1},
        {"a magic of another length", str("CGIC2.0x"), cgiEnvironmentWrongVersion, {}, -1},
        {"an empty file", "", cgiEnvironmentIO, {}, -1},
        {"a negative string length", head_ + le(-1), cgiEnvironmentIO, {}, -1},
        {"a string length beyond the file", head_ + le(0x7fffffff) + "abc", cgiEnvironmentIO, {}, -1},
        {"cut inside a name: the entries before it", one + le(3) + "ab", cgiEnvironmentSuccess, {a}, 20},
        {"cut inside the fifth string: the strings replayed before are released", head_ + env.substr(0, 4 * 6 + 5),
         cgiEnvironmentIO, {}, 4},
        {"cut after a name", one + str("n"), cgiEnvironmentMemory, {}, 20},
        {"a value length beyond its bytes", named + le(0x7fffffff) + le(0), cgiEnvironmentSuccess, {a, {"n", "v"}}, 20},
        {"a negative value length", named + le(-4) + le(0), cgiEnvironmentMemory, {}, 20},
        {"upload contents cut short", named + le(3) + le(1) + "xy", cgiEnvironmentIO, {}, 20},
        {"upload contents longer than the file", named + le(0x7fffffff) + le(1) + "xyz", cgiEnvironmentIO, {}, 20},
    };
    postUploads();
    const auto live = environment();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(replay(row.file), row.result);
        EXPECT_EQ(cgiRestored, row.result == cgiEnvironmentSuccess);
        EXPECT_EQ(snapshot(), row.fields) << "the live entries are released first";
        for (int i = 0; i < 20; ++i) {
            const std::string replayed = i < row.strings ? "r" + std::to_string(i % 10) : "";
            EXPECT_EQ(*cgiEnvironmentStrings[i], row.strings < 0 ? live[i + 1] : replayed);
        }
    }
}

// A replay that runs out of memory anywhere fails (success would be a
// request with entries missing) and leaves nothing behind.
TEST_F(Capture, ReplayUnderEveryAllocationFailure) {
    postUploads();
    ASSERT_EQ(cgiWriteEnvironment(path_.c_str()), cgiEnvironmentSuccess);
    cgiFreeResources();
    sweep(cgiEnvironmentSuccess, {cgiEnvironmentIO, cgiEnvironmentMemory},
          [&] { return cgiReadEnvironment(path_.c_str()); }, snapshot, cgiFreeResources);
}
