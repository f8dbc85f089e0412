// The cookie header through both readers: the first line is a cookie name,
// the rest the header.
#include "../tests/support.h"

using namespace cgitest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quietRequests();
    std::string header(reinterpret_cast<const char *>(data), size);
    const std::string name = cut(header, '\n');
    cgiCookie = &header[0];
    char value[16];
    int n = 0;
    cgiCookieString(name.c_str(), value, sizeof value);
    cgiCookieString(name.c_str(), value, 1);
    cgiCookieInteger(name.c_str(), &n, 7);
    char **names = nullptr;
    if (cgiCookies(&names) == cgiFormSuccess) {
        // Every listed name is a piece of the header.
        for (char **p = names; *p; ++p)
            if (!**p || header.find(*p) == std::string::npos)
                std::abort();
        cgiStringArrayFree(names);
    }
    if (cgiAllocLive() != 0)
        std::abort();
    return 0;
}
