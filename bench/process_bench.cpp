// Whole CGI processes, one request each, timed the way a web server runs
// them: a fresh process, the CGI variables in its environment, the body on
// standard input from a file. Each figure pairs our program with a floor
// (one run of each, in alternating order) and reports medians.
//
//   process_bench BUILD_DIR [RUNS]
//
// Our programs: BUILD_DIR/list.cgi and BUILD_DIR/bench/sethc_bench.cgi (its
// device directory is BUILD_DIR/bench/device); the floors: BUILD_DIR/bench.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "body.h"

namespace {

struct Request {
    std::string label;
    std::vector<std::string> env;
    std::string bodyPath; // empty: no body
};

// Wall time of one process, from spawn to exit, in microseconds.
double spawnOnce(const std::string &program, const Request &req, const char *outPath) {
    std::vector<char *> envp;
    for (const auto &e : req.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(req.bodyPath.empty() ? "/dev/null" : req.bodyPath.c_str(), O_RDONLY);
        int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed on %s\n", program.c_str(), req.label.c_str());
        std::exit(1);
    }
    return (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string readFile(const std::string &path) {
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

void writeFile(const std::string &path, const std::string &content) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(content.data(), 1, content.size(), f) != content.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

struct Side {
    std::string program;
    Request req;
};

// Paired runs of two sides, each preceded by `prepare` (untimed), in
// alternating order; returns the medians of both and of the paired ratios.
struct Pair {
    double a, b, ratio;
};
Pair timePair(const Side &a, const Side &b, int runs, const std::function<void()> &prepare) {
    std::vector<double> ta, tb, ratio;
    for (int i = 0; i < runs; ++i) {
        double x, y;
        prepare();
        if (i % 2) {
            x = spawnOnce(a.program, a.req, "/dev/null");
            prepare();
            y = spawnOnce(b.program, b.req, "/dev/null");
        } else {
            y = spawnOnce(b.program, b.req, "/dev/null");
            prepare();
            x = spawnOnce(a.program, a.req, "/dev/null");
        }
        ta.push_back(x);
        tb.push_back(y);
        ratio.push_back(x / y);
    }
    return {median(ta), median(tb), median(ratio)};
}

// The scratch files of this run, in a directory of its own under $TMPDIR
// (or /tmp), removed with them at exit.
std::string scratch(const char *name) {
    static char dir[4096];
    if (!dir[0]) {
        const char *base = std::getenv("TMPDIR");
        std::snprintf(dir, sizeof dir, "%s/process_bench.XXXXXX", base && *base ? base : "/tmp");
        if (!mkdtemp(dir))
            std::exit(1);
        std::atexit([] { std::system(("rm -rf '" + std::string(dir) + "'").c_str()); });
    }
    return std::string(dir) + "/" + name;
}

// Peak resident memory of one run, in KiB, measured through the small
// static launcher BUILD_DIR/bench/maxrss.
std::string maxrssLauncher;
long peakKiB(const std::string &program, const Request &req) {
    Request r = req;
    const std::string errPath = scratch("rss");
    const char *err = errPath.c_str();
    std::vector<char *> envp;
    for (const auto &e : r.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(r.bodyPath.empty() ? "/dev/null" : r.bodyPath.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(e, 2);
        char *argv[] = {const_cast<char *>(maxrssLauncher.c_str()),
                        const_cast<char *>(program.c_str()), nullptr};
        execve(maxrssLauncher.c_str(), argv, envp.data());
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
    return std::atol(readFile(err).c_str());
}

// Checks our program's answer, then times it against the floor. `prepare`
// runs before every process, untimed.
void compare(const std::string &program, const std::string &floor, const Request &req, int runs,
             const std::function<bool(const std::string &)> &answerOk,
             const std::function<void()> &prepare = [] {}) {
    const std::string outPath = scratch("out");
    const char *out = outPath.c_str();
    prepare();
    spawnOnce(program, req, out);
    if (!answerOk(readFile(out))) {
        std::fprintf(stderr, "%s: unexpected answer:\n%s\n", req.label.c_str(), readFile(out).c_str());
        std::exit(1);
    }
    Pair p = timePair({program, req}, {floor, req}, runs, prepare);
    std::printf("| %s | %.0f us | %.0f us | %.2fx |\n", req.label.c_str(), p.a, p.b, p.ratio);
}

std::function<bool(const std::string &)> lines(size_t n) {
    return [n](const std::string &s) {
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) == n;
    };
}

std::string positions() {
    std::string s;
    for (int f = 1; f <= 41; ++f)
        s += std::to_string(f) + "," + std::to_string(f + 10) + "," + std::to_string(f + 20) + "\n";
    return s;
}

// Pseudo-random bytes: the bulk of an upload.
std::string randomBytes(size_t n) {
    std::string s(n, '\0');
    unsigned long long x = 0x9e3779b97f4a7c15ull;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x);
    }
    return s;
}

// Multipart bodies as a browser sends them: an upload of 64 MiB with two
// small fields, 5,000 small fields, and a body full of near-miss delimiters
// against an ordinary one of the same size.
void multipart(const std::string &dir, const std::string &list, int runs) {
    const std::string bench = dir + "/bench";
    maxrssLauncher = bench + "/maxrss";
    const std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
    auto field = [&](const std::string &name, const std::string &value) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
               value + "\r\n";
    };
    auto withFile = [&](const std::string &content) {
        return field("title", "holiday") + field("note", "two small fields") + "--" + boundary +
               "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"video.bin\"\r\n"
               "Content-Type: application/octet-stream\r\n\r\n" +
               content + "\r\n--" + boundary + "--\r\n";
    };
    auto request = [&](const std::string &label, const std::string &body, const std::string &path) {
        writeFile(path, body);
        return Request{label,
                       {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=" + boundary,
                        "CONTENT_LENGTH=" + std::to_string(body.size())},
                       path};
    };
    const int bigRuns = runs > 21 ? 21 : runs;
    std::printf("\n| multipart request | list.cgi | copy program | list.cgi MB/s | copy MB/s | "
                "throughput ratio | peak RSS list.cgi | peak RSS copy |\n|---|---|---|---|---|---|---|---|\n");
    {
        const size_t n = 64u << 20;
        Request up = request("64 MiB upload + 2 fields", withFile(randomBytes(n)), scratch("upload"));
        const size_t size = n + 400;
        Pair p = timePair({list, up}, {bench + "/floor_copy", up}, bigRuns, [] {});
        std::printf("| %s | %.1f ms | %.1f ms | %.0f | %.0f | %.2f | %ld KiB | %ld KiB |\n", up.label.c_str(),
                    p.a / 1e3, p.b / 1e3, size / p.a, size / p.b, p.b / p.a, peakKiB(list, up),
                    peakKiB(bench + "/floor_copy", up));
    }
    {
        std::string body;
        for (int i = 0; i < 5000; ++i)
            body += field("field" + std::to_string(i), "value " + std::to_string(i) + " text");
        body += "--" + boundary + "--\r\n";
        Request fields = request("5,000 small fields", body, scratch("fields"));
        Pair p = timePair({list, fields}, {bench + "/floor_copy", fields}, runs, [] {});
        std::printf("| %s (%zu bytes) | %.2f ms | %.2f ms | | | time %.2fx | %ld KiB | %ld KiB |\n",
                    fields.label.c_str(), body.size(), p.a / 1e3, p.b / 1e3, p.ratio,
                    peakKiB(list, fields), peakKiB(bench + "/floor_copy", fields));
    }
    {
        const size_t n = 16u << 20;
        const std::string miss = "\r\n--" + boundary.substr(0, boundary.size() - 1);
        std::string near;
        while (near.size() + miss.size() <= n)
            near += miss;
        near += std::string(n - near.size(), 'x');
        Request bad = request("16 MiB of near-miss delimiters", withFile(near), scratch("near"));
        Request ordinary = request("16 MiB ordinary", withFile(randomBytes(n)), scratch("ordinary"));
        Pair p = timePair({list, bad}, {list, ordinary}, bigRuns, [] {});
        std::printf("\n| near-miss body vs ordinary body of the same size (list.cgi both) | near-miss | "
                    "ordinary | ratio |\n|---|---|---|---|\n| 16 MiB upload | %.1f ms | %.1f ms | %.2fx |\n",
                    p.a / 1e3, p.b / 1e3, p.ratio);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BUILD_DIR [RUNS]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string bench = dir + "/bench";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 101;

    const std::string big = urlencodedBody(10000);
    const std::string bigPath = scratch("body");
    writeFile(bigPath, big);
    const std::string typical = "hc_submit=1&chang=2&hang=-1";
    const std::string typicalPath = scratch("typical");
    writeFile(typicalPath, typical);
    const std::vector<std::string> post = {"REQUEST_METHOD=POST",
                                           "CONTENT_TYPE=application/x-www-form-urlencoded"};
    auto withLength = [&](size_t n, std::vector<std::string> env) {
        env.push_back("CONTENT_LENGTH=" + std::to_string(n));
        return env;
    };

    std::printf("%s, %d paired runs per row; times are medians, the ratio is the median of "
                "paired ratios\n\n| request | ours | floor | ratio |\n|---|---|---|---|\n",
                dir.c_str(), runs);
    const std::string list = dir + "/list.cgi";
    compare(list, bench + "/floor_copy",
            {"list.cgi: POST 1 MB, 10,000 fields; floor: static copy of the body to a file",
             withLength(big.size(), post), bigPath},
            runs, lines(10000 + 2));
    compare(list, bench + "/floor_header",
            {"list.cgi: GET 3 fields; floor: C program printing a header",
             {"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=2&c=3"}, ""},
            runs, lines(3 + 2));

    // The typical submit on format 7 of a 41-record file, reseeded before
    // every run so that each one makes the same change.
    const std::string mnt = bench + "/device/mnt";
    mkdir((bench + "/device").c_str(), 0755);
    mkdir(mnt.c_str(), 0755);
    writeFile(mnt + "/format.ini", "format 7\n");
    writeFile(mnt + "/tz582.ini", "0\n");
    const std::string floorFile = bench + "/device/floor.ini";
    Request submit{"sethc.cgi: typical submit; floor: static atomic replace of 500 bytes",
                   withLength(typical.size(), post), typicalPath};
    submit.env.push_back("FLOOR_FILE=" + floorFile);
    auto seed = [&] { writeFile(mnt + "/config.ini", positions()); };
    auto setOk = [](const std::string &s) { return s.find("V=19,H=26\n\nset ok\n") != std::string::npos; };
    compare(dir + "/bench/sethc_bench.cgi", bench + "/floor_durable", submit, runs, setOk, seed);
    submit.label = "floor: rewrite in place and run \"sync\" twice; against the atomic floor";
    compare(bench + "/floor_inplace_sync", bench + "/floor_durable", submit, runs,
            [](const std::string &) { return true; }, seed);

    multipart(dir, list, runs);
    return 0;
}
