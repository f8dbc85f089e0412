// Uploaded file access: the temporary files that hold uploaded contents (and
// their removal when a signal ends the request), what the client sent with a
// file field, and read handles on its file.
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "cgi_raii.h"

char cgiTempFileTemplate[64] = "/tmp/cgicXXXXXX";

bool cgiWriteAll(int fd, const char *p, std::size_t n) noexcept {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void cgi::TempFile::guard() noexcept {
    guarded_ = true;
    static struct sigaction action;
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;
    // The three by a mask, in fewer bytes than a table takes.
    for (int sig = 1; sig <= SIGTERM; ++sig) {
        struct sigaction old;
        if ((1 << SIGHUP | 1 << SIGINT | 1 << SIGTERM) >> sig & 1 && sigaction(sig, nullptr, &old) == 0 &&
            old.sa_handler == SIG_DFL)
            sigaction(sig, &action, nullptr);
    }
}

// Deletes the files of the live handles and of the entries, then lets the
// signal end the process. Its action went back to the default as the
// handler began, and the signal stays blocked until the handler returns;
// then it ends the process, whose parent sees it killed by that signal as
// it would without the handler. unlink and raise are safe in a handler.
void cgi::TempFile::onSignal(int sig) noexcept {
    for (const TempFile *t = live_; t; t = t->next_)
        if (t->path_[0])
            unlink(t->path_);
    cgiDeleteEntryFiles();
    raise(sig);
}

namespace {

// The `index`-th upload named `name`: 0-based, counting uploads alone, in
// input order; null when there is none.
cgiFormEntry *findUpload(const char *name, int index) {
    int seen = 0;
    for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext())
        if (*e->tfileName && seen++ == index)
            return e;
    return nullptr;
}

// Copies one string member of the entry `e`: cgiFormNotFound without an
// entry, `empty` when the member is empty, cgiFormTruncated or
// cgiFormSuccess.
cgiFormResultType copyMember(const cgiFormEntry *e, char *cgiFormEntry::*member, char *result,
                             int resultSpace, cgiFormResultType empty) {
    if (!e) {
        if (resultSpace > 0)
            result[0] = '\0';
        return cgiFormNotFound;
    }
    const char *s = e->*member;
    bool truncated = cgiCopyOut(s, std::strlen(s), result, resultSpace);
    if (!*s)
        return empty;
    return truncated ? cgiFormTruncated : cgiFormSuccess;
}

// The size of the upload `e`: cgiFormNotFound without an entry,
// cgiFormNotAFile when it is no upload; 0 then.
cgiFormResultType fileSize(const cgiFormEntry *e, int *sizeP) {
    cgiFormResultType r = !e ? cgiFormNotFound : !*e->tfileName ? cgiFormNotAFile : cgiFormSuccess;
    if (sizeP)
        *sizeP = r == cgiFormSuccess ? e->valueLength : 0;
    return r;
}

// A new read handle on the upload `e`, null on failure.
cgiFormResultType fileOpen(const cgiFormEntry *e, cgiFilePtr *cfpp) {
    *cfpp = nullptr;
    if (!e)
        return cgiFormNotFound;
    if (!*e->tfileName)
        return cgiFormNotAFile;
    auto *cfp = static_cast<cgiFilePtr>(cgiAlloc(sizeof(cgiFileStruct)));
    if (!cfp)
        return cgiFormMemory;
    cfp->in = std::fopen(e->tfileName, "rb");
    if (!cfp->in) {
        cgiRelease(cfp);
        return cgiFormIO;
    }
    *cfpp = cfp;
    return cgiFormSuccess;
}

} // namespace

// The lookups by name alone read the first entry of the name, upload or not.
cgiFormResultType cgiFormFileName(const char *name, char *result, int resultSpace) noexcept {
    return copyMember(cgiFormEntryFindFirst(name), &cgiFormEntry::fileName, result, resultSpace,
                      cgiFormNoFileName);
}

cgiFormResultType cgiFormFileContentType(const char *name, char *result, int resultSpace) noexcept {
    return copyMember(cgiFormEntryFindFirst(name), &cgiFormEntry::contentType, result, resultSpace,
                      cgiFormNoContentType);
}

cgiFormResultType cgiFormFileSize(const char *name, int *sizeP) noexcept {
    return fileSize(cgiFormEntryFindFirst(name), sizeP);
}

cgiFormResultType cgiFormFileOpen(const char *name, cgiFilePtr *cfpp) noexcept {
    return fileOpen(cgiFormEntryFindFirst(name), cfpp);
}

cgiFormResultType cgiFormFileRead(cgiFilePtr cfp, char *buffer, int bufferSize, int *gotP) noexcept {
    if (!cfp)
        return cgiFormOpenFailed;
    if (bufferSize <= 0)
        return cgiFormEOF;
    std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(bufferSize), cfp->in);
    if (got == 0)
        return cgiFormEOF;
    *gotP = static_cast<int>(got);
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileClose(cgiFilePtr cfp) noexcept {
    if (!cfp)
        return cgiFormOpenFailed;
    std::fclose(cfp->in);
    cgiRelease(cfp);
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileCount(const char *name, int *count) noexcept {
    int uploads = 0;
    bool named = false;
    for (cgiFormEntry *e = cgiFormEntryFindFirst(name); e; e = cgiFormEntryFindNext()) {
        named = true;
        uploads += *e->tfileName != '\0';
    }
    *count = uploads;
    return uploads ? cgiFormSuccess : named ? cgiFormNotAFile : cgiFormNotFound;
}

cgiFormResultType cgiFormFileNameAt(const char *name, int index, char *result, int resultSpace) noexcept {
    return copyMember(findUpload(name, index), &cgiFormEntry::fileName, result, resultSpace,
                      cgiFormNoFileName);
}

cgiFormResultType cgiFormFileContentTypeAt(const char *name, int index, char *result,
                                           int resultSpace) noexcept {
    return copyMember(findUpload(name, index), &cgiFormEntry::contentType, result, resultSpace,
                      cgiFormNoContentType);
}

cgiFormResultType cgiFormFileSizeAt(const char *name, int index, int *sizeP) noexcept {
    return fileSize(findUpload(name, index), sizeP);
}

cgiFormResultType cgiFormFileOpenAt(const char *name, int index, cgiFilePtr *cfpp) noexcept {
    return fileOpen(findUpload(name, index), cfpp);
}
