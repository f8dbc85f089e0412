// URL-encoded input, as a query string and as a POST body, then every
// accessor over what it gave.
#include "../tests/support.h"

using namespace cgitest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quietRequests();
    cgiFormEntryFirst = nullptr;
    if (size && (data[0] & 1)) {
        // A POST body read through cgiIn.
        FILE *in = feed(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
        cgiContentLength = static_cast<int>(size - 1);
        cgiParsePostFormInput();
        std::fclose(in);
    } else {
        cgiParseFormInput(reinterpret_cast<const char *>(data), static_cast<int>(size));
    }
    char buf[64];
    int n = 0;
    double d = 0;
    char **a = nullptr;
    if (cgiFormEntryFirst) {
        const char *name = cgiFormEntryFirst->attr;
        cgiFormString(name, buf, sizeof buf);
        cgiFormStringNoNewlines(name, buf, 3);
        cgiFormStringSpaceNeeded(name, &n);
        cgiFormIntegerBounded(name, &n, -5, 5, 0);
        cgiFormDoubleBounded(name, &d, -1, 1, 0);
        if (cgiFormStringMultiple(name, &a) != cgiFormMemory)
            cgiStringArrayFree(a);
        static const char *const choices[] = {"", "a", "1", "a b"};
        int flags[4];
        cgiFormSelectMultiple(name, choices, 4, flags, &n);
        cgiFormSelectSingle(name, choices, 4, &n, 0);
    }
    if (cgiFormEntries(&a) == cgiFormSuccess)
        cgiStringArrayFree(a);
    cgiFreeResources();
    if (cgiAllocLive() != 0)
        std::abort();
    return 0;
}
