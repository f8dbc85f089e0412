// multipart/form-data bodies: the first line is the content type's
// boundary, the rest the body. Uploads are read back through the file
// accessors, and no temporary file may outlive the request.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::tempDir();
    std::string boundary = fuzz::headOf(data, size, '\n');
    if (boundary.size() > 1013)
        return 0; // longer than a content type can carry
    cgiMultipartBoundary = &boundary[0];
    cgiFormEntryFirst = nullptr;
    FILE *f = fuzz::streamOf(data, size);
    cgiParsePostMultipartInput();
    std::fclose(f);
    for (cgiFormEntry *e = cgiFormEntryFirst; e; e = e->next) {
        char buf[32];
        int n = 0;
        cgiFormFileName(e->attr, buf, sizeof buf);
        cgiFormFileContentType(e->attr, buf, sizeof buf);
        if (cgiFormFileSize(e->attr, &n) == cgiFormSuccess) {
            cgiFilePtr h = nullptr;
            long total = 0;
            if (cgiFormFileOpen(e->attr, &h) == cgiFormSuccess) {
                char chunk[1024];
                int got = 0;
                while (cgiFormFileRead(h, chunk, sizeof chunk, &got) == cgiFormSuccess)
                    total += got;
                cgiFormFileClose(h);
                // The first entry of this name is the one measured.
                if (total != n)
                    std::abort();
            }
        } else if (e == cgiFormEntryFindFirst(e->attr) &&
                   static_cast<size_t>(e->valueLength) < std::strlen(e->value)) {
            std::abort(); // a value's length counts every byte up to its end
        }
    }
    cgiFreeResources();
    fuzz::expectNoTempFiles();
    if (cgiAllocLive() != 0)
        std::abort();
    return 0;
}
