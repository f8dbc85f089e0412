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

// Copies one string member of the first entry named `name`: cgiFormNotFound,
// `empty` when the member is empty, cgiFormTruncated or cgiFormSuccess.
cgiFormResultType copyMember(const char *name, char *cgiFormEntry::*member, char *result,
                             int resultSpace, cgiFormResultType empty) {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
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

} // namespace

cgiFormResultType cgiFormFileName(const char *name, char *result, int resultSpace) noexcept {
    return copyMember(name, &cgiFormEntry::fileName, result, resultSpace, cgiFormNoFileName);
}

cgiFormResultType cgiFormFileContentType(const char *name, char *result, int resultSpace) noexcept {
    return copyMember(name, &cgiFormEntry::contentType, result, resultSpace, cgiFormNoContentType);
}

cgiFormResultType cgiFormFileSize(const char *name, int *sizeP) noexcept {
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
    cgiFormResultType r = !e ? cgiFormNotFound : !*e->tfileName ? cgiFormNotAFile : cgiFormSuccess;
    if (sizeP)
        *sizeP = r == cgiFormSuccess ? e->valueLength : 0;
    return r;
}

cgiFormResultType cgiFormFileOpen(const char *name, cgiFilePtr *cfpp) noexcept {
    *cfpp = nullptr;
    cgiFormEntry *e = cgiFormEntryFindFirst(name);
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
