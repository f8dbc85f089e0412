// Whole CGI processes, one request each, timed the way a web server runs
// them: a fresh process, the CGI variables in its environment, the body on
// standard input from a file. Runs are paired (program and floor one after
// the other) and reported as medians.
//
//   process_bench BUILD_DIR [RUNS [PROGRAM]]
//
// PROGRAM defaults to BUILD_DIR/list.cgi; the floors come from BUILD_DIR/bench.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
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
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, req.bodyPath.empty() ? "/dev/null" : req.bodyPath.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> envp;
    for (const auto &e : req.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv, envp.data()) != 0) {
        std::perror(program.c_str());
        std::exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    posix_spawn_file_actions_destroy(&fa);
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

std::string readFile(const char *path) {
    std::string s;
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

void compare(const std::string &program, const std::string &floor, const Request &req, int runs,
             size_t expectLines) {
    const char *out = "/tmp/process_bench.out";
    // Check the answer before timing anything.
    spawnOnce(program, req, out);
    std::string answer = readFile(out);
    size_t lines = static_cast<size_t>(std::count(answer.begin(), answer.end(), '\n'));
    if (lines != expectLines) {
        std::fprintf(stderr, "%s: %zu lines in the answer, expected %zu\n", req.label.c_str(),
                     lines, expectLines);
        std::exit(1);
    }
    std::vector<double> ours, base, ratio;
    for (int i = 0; i < runs; ++i) {
        // Alternate the order so that neither side always runs on a warm cache.
        double a, b;
        if (i % 2) {
            a = spawnOnce(program, req, "/dev/null");
            b = spawnOnce(floor, req, "/dev/null");
        } else {
            b = spawnOnce(floor, req, "/dev/null");
            a = spawnOnce(program, req, "/dev/null");
        }
        ours.push_back(a);
        base.push_back(b);
        ratio.push_back(a / b);
    }
    std::printf("| %s | %.0f us | %.0f us | %.2fx |\n", req.label.c_str(), median(ours),
                median(base), median(ratio));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BUILD_DIR [RUNS]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 101;
    const std::string program = argc > 3 ? argv[3] : dir + "/list.cgi";

    const std::string body = urlencodedBody(10000);
    const std::string bodyPath = "/tmp/process_bench.body";
    FILE *f = std::fopen(bodyPath.c_str(), "wb");
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
    const std::string typical = "hc_submit=1&chang=2&hang=-1";
    const std::string typicalPath = "/tmp/process_bench.typical";
    f = std::fopen(typicalPath.c_str(), "wb");
    std::fwrite(typical.data(), 1, typical.size(), f);
    std::fclose(f);

    std::printf("%d paired runs per row; times are medians, the ratio is the median of paired ratios\n\n", runs);
    std::printf("%s\n\n| request | ours | floor | ratio |\n|---|---|---|---|\n", program.c_str());
    compare(program, dir + "/bench/floor_copy",
            {"POST 1 MB, 10,000 fields (floor: static copy to a file)",
             {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
              "CONTENT_LENGTH=" + std::to_string(body.size())},
             bodyPath},
            runs, 10000 + 2);
    compare(program, dir + "/bench/floor_copy",
            {"POST 27 bytes, typical submit (floor: static copy to a file)",
             {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
              "CONTENT_LENGTH=" + std::to_string(typical.size())},
             typicalPath},
            runs, 3 + 2);
    compare(program, dir + "/bench/floor_header",
            {"GET 3 fields (floor: C program printing a header)",
             {"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=2&c=3"}, ""},
            runs, 3 + 2);
    return 0;
}
