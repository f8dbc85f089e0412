// Capture files: replay one, capture what it gave, replay and capture that
// again; the two captures must be the same bytes.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string dir = fuzz::tempDir();
    const std::string input = dir + ".in", first = dir + ".1", second = dir + ".2";
    if (FILE *f = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    if (cgiReadEnvironment(input.c_str()) == cgiEnvironmentSuccess &&
        cgiWriteEnvironment(first.c_str()) == cgiEnvironmentSuccess) {
        if (cgiReadEnvironment(first.c_str()) != cgiEnvironmentSuccess ||
            cgiWriteEnvironment(second.c_str()) != cgiEnvironmentSuccess ||
            fuzz::slurp(first) != fuzz::slurp(second))
            std::abort();
    }
    cgiFreeResources();
    fuzz::expectNoTempFiles();
    if (cgiAllocLive() != 0)
        std::abort();
    unlink(first.c_str());
    unlink(second.c_str());
    return 0;
}
