// Capture files: replay one, capture what it gave, replay and capture that
// again; the two captures must be the same bytes.
#include "../tests/support.h"

using namespace cgitest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quietRequests();
    const std::string dir = privateTempDir(), input = dir + "/in", first = dir + "/1", second = dir + "/2";
    spit(input, std::string(reinterpret_cast<const char *>(data), size));
    if (cgiReadEnvironment(input.c_str()) == cgiEnvironmentSuccess &&
        cgiWriteEnvironment(first.c_str()) == cgiEnvironmentSuccess &&
        (cgiReadEnvironment(first.c_str()) != cgiEnvironmentSuccess ||
         cgiWriteEnvironment(second.c_str()) != cgiEnvironmentSuccess || slurp(first) != slurp(second)))
        std::abort();
    cgiFreeResources();
    if (!tmpFiles(dir).empty() || cgiAllocLive() != 0)
        std::abort();
    return 0;
}
