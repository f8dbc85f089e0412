// Request capture and replay.
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include "fixture.h"

// A capture file's Integer (4 bytes, little-endian) and String.
static std::string le(int v) {
    const unsigned u = static_cast<unsigned>(v);
    return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}
static std::string str(const std::string &s) { return le(static_cast<int>(s.size())) + s; }

// The content length and the twenty environment strings.
static std::vector<std::string> environment() {
    std::vector<std::string> env{std::to_string(cgiContentLength)};
    for (char **s : cgiEnvironmentStrings)
        env.push_back(*s);
    return env;
}

using Capture = Request;
static const std::string kCapture = kTempDir + "/capture", kHead = str("CGIC2.0"), kFailed = kTempDir + "/failed";

// A replay gives back the captured request; one that runs out of memory
// anywhere fails (success would be a request with entries missing) and
// leaves nothing behind. A capture that fails reports it and leaves no
// file.
TEST_F(Capture, ReplayGivesBackTheCapturedRequestOrFails) {
    ASSERT_EQ(cgiWriteEnvironment(kCapture.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(slurp(kCapture), kHead + std::string(84, '\0')) << "the magic, 20 empty strings, length 0";
    postUploads();
    auto live = snapshot();
    const auto env = environment();
    ASSERT_EQ(cgiWriteEnvironment(kCapture.c_str()), cgiEnvironmentSuccess);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const struct { const char *label; rlim_t sizeLimit; bool cutUpload; } failures[] = {
        {"a file size limit far below the capture", 200, false},
        {"an upload whose file lost bytes", RLIM_INFINITY, true},
    };
    for (const auto &row : failures) {
        ASSERT_TRUE(!row.cutUpload || truncate(cgiFormEntryFindFirst("big")->tfileName, 10) == 0);
        // Beyond the limit a write fails (EFBIG) once SIGXFSZ is ignored.
        const rlimit limit = {std::min(row.sizeLimit, old.rlim_cur), old.rlim_max};
        void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const cgiEnvironmentResultType r = cgiWriteEnvironment(kFailed.c_str());
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(std::make_pair(r, access(kFailed.c_str(), F_OK) == 0), std::make_pair(cgiEnvironmentIO, false))
            << row.label << " (true: the failed capture left its file)";
    }
    live[5].value = "a"; // a value is stored up to its first NUL, and comes back that long
    ASSERT_EQ(cgiReadEnvironment(kCapture.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(std::make_tuple(cgiRestored, environment(), snapshot()), std::make_tuple(1, env, live));
    cgiFreeResources();
    EXPECT_STREQ(cgiServerName, "") << "a released replayed string must read as empty";
    sweep(cgiEnvironmentSuccess, {cgiEnvironmentIO, cgiEnvironmentMemory},
          [&] { return cgiReadEnvironment(kCapture.c_str()); }, snapshot, cgiFreeResources);
}

// Files that are no capture, or are cut or lie about their lengths: what
// comes back, and how many environment strings (r0, r1, ...: the rest read
// as empty, the live ones after a file that is no capture).
TEST_F(Capture, ReplayTrustsNoLength) {
    std::string env;
    for (int i = 0; i < 20; ++i)
        env += str("r" + std::to_string(i % 10));
    const std::string one = kHead + env + le(0) + str("a") + str("1") + le(0) + le(0) + le(1) + le(0);
    const std::string named = one + str("n") + str("v") + le(0) + le(0); // then valueLength and the file flag
    const Field a = {"a", "1"};
    const struct { const char *label; std::string file; cgiEnvironmentResultType result; std::vector<Field> fields;
                   int strings; } rows[] = {
        {"another version", str("CGIC2.1") + std::string(84, '\0'), cgiEnvironmentWrongVersion, {}, -1},
        {"a magic of another length", str("CGIC2.0x"), cgiEnvironmentWrongVersion, {}, -1},
        {"an empty file", "", cgiEnvironmentIO, {}, -1},
        {"a negative string length", kHead + le(-1), cgiEnvironmentIO, {}, -1},
        {"a string length beyond the file", kHead + le(0x7fffffff) + "abc", cgiEnvironmentIO, {}, -1},
        {"cut inside a name: the entries before it", one + le(3) + "ab", cgiEnvironmentSuccess, {a}, 20},
        {"cut inside the fifth string: the strings replayed before are released", kHead + env.substr(0, 4 * 6 + 5),
         cgiEnvironmentIO, {}, 4},
        {"cut after a name: an input failure", one + str("n"), cgiEnvironmentIO, {}, 20},
        {"a value length beyond its bytes", named + le(0x7fffffff) + le(0), cgiEnvironmentSuccess, {a, {"n", "v"}}, 20},
        {"a negative value length", named + le(-4) + le(0), cgiEnvironmentIO, {}, 20},
        {"upload contents cut short", named + le(3) + le(1) + "xy", cgiEnvironmentIO, {}, 20},
    };
    postUploads();
    const auto live = environment();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        spit(kCapture, row.file);
        const cgiEnvironmentResultType r = cgiReadEnvironment(kCapture.c_str());
        EXPECT_EQ(std::make_tuple(r, cgiRestored, snapshot()),
                  std::make_tuple(row.result, row.result == cgiEnvironmentSuccess, row.fields));
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(*cgiEnvironmentStrings[i],
                      row.strings < 0 ? live[i + 1] : i < row.strings ? "r" + std::to_string(i % 10) : "");
    }
}
