// Runs a fuzz target over files and directories of inputs, as an ordinary
// program: the corpus replayed as a test.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int runFile(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::perror(path.c_str());
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int inputs = 0, failures = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::perror(argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            failures += runFile(argv[i]);
            ++inputs;
            continue;
        }
        DIR *d = opendir(argv[i]);
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            failures += runFile(std::string(argv[i]) + "/" + e->d_name);
            ++inputs;
        }
        closedir(d);
    }
    std::printf("%d inputs replayed, %d unreadable\n", inputs, failures);
    return failures ? 1 : inputs ? 0 : 1;
}
