// multipart/form-data bodies: the first line is the content type's
// boundary, the rest the body. Uploads are read back through the file
// accessors, and no temporary file may outlive the request.
#include "../tests/support.h"

using namespace cgitest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quietRequests();
    std::string body(reinterpret_cast<const char *>(data), size);
    std::string boundary = cut(body, '\n');
    if (boundary.size() > 1013)
        return 0; // longer than a content type can carry
    cgiMultipartBoundary = &boundary[0];
    cgiFormEntryFirst = nullptr;
    FILE *in = feed(body);
    cgiContentLength = static_cast<int>(body.size());
    cgiParsePostMultipartInput();
    std::fclose(in);
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        char buf[32];
        int n = 0;
        cgiFormFileName(e->attr, buf, sizeof buf);
        cgiFormFileContentType(e->attr, buf, sizeof buf);
        cgiFilePtr h = nullptr;
        if (cgiFormFileSize(e->attr, &n) == cgiFormSuccess && cgiFormFileOpen(e->attr, &h) == cgiFormSuccess) {
            long total = 0;
            char chunk[1024];
            for (int got = 0; cgiFormFileRead(h, chunk, sizeof chunk, &got) == cgiFormSuccess;)
                total += got;
            cgiFormFileClose(h);
            if (total != n)
                std::abort(); // the first entry of this name is the one measured
        } else if (!*e->tfileName && e == cgiFormEntryFindFirst(e->attr) &&
                   static_cast<size_t>(e->valueLength) < std::strlen(e->value)) {
            std::abort(); // a value's length counts every byte up to its end
        }
    }
    cgiFreeResources();
    if (!tmpFiles(privateTempDir()).empty() || cgiAllocLive() != 0)
        std::abort();
    return 0;
}
