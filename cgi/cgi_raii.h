// Owning handles for the layer's C resources. C++ only; applications never
// include this header.
#ifndef CGI_CGI_RAII_H
#define CGI_CGI_RAII_H

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cgi_internal.h"

namespace cgi {

// A new temporary file for an uploaded file's contents, open for reading
// and writing: closed and deleted when the handle goes, unless release()
// hands the file to the entry that names it. The layer's one way to make
// such a file.
//
// A web server ends a request whose client went away with SIGTERM (or
// SIGHUP, SIGINT), and /tmp is RAM on the device: so every handle is on a
// list that a handler of those signals walks, together with the entry list,
// to delete the request's files before the process ends. The handler may
// run between any two instructions, so each link it follows is valid at
// every moment.
class TempFile {
public:
    TempFile() noexcept : next_(live_) {
        path_[0] = '\0';
        std::atomic_signal_fence(std::memory_order_seq_cst);
        live_ = this;
    }
    // Deleted while still on the list, and off it before its memory goes (a
    // signal's frame may be the next thing written there).
    ~TempFile() {
        close();
        if (path_[0])
            unlink(path_);
        live_ = next_;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // The descriptor that created the file is kept: opening it again by
    // name with truncation would make some file systems (ext4) write the
    // whole file out at close. Written with write(2), so that no stream
    // buffer (nor the allocator behind it) is needed.
    bool create() {
        if (!guarded_)
            guard();
        static_assert(sizeof path_ >= sizeof cgiTempFileTemplate, "a path must hold the template");
        // The first byte last: the handler sees an empty path or a whole one.
        std::memcpy(path_ + 1, cgiTempFileTemplate + 1, sizeof cgiTempFileTemplate - 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        path_[0] = cgiTempFileTemplate[0];
        fd_ = mkstemp(path_); // a new file of mode 0600, open for reading and writing
        if (fd_ < 0)
            path_[0] = '\0';
        return fd_ >= 0;
    }
    int fd() const { return fd_; }
    const char *path() const { return path_; }
    // Closes the descriptor; false when the close reports an error.
    bool close() {
        bool ok = fd_ < 0 || ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }
    // The entry owns the file from here on. Call it once the entry is on
    // the list, so that one of the two names the file at every moment.
    void release() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        path_[0] = '\0';
    }

private:
    // At the first file of the process, takes SIGHUP, SIGINT and SIGTERM,
    // each only while its action is still the default: a signal that the
    // web server ignores stays ignored, and an application's own handler
    // stays. A request without uploads (the device's own form) makes no
    // system call for it.
    [[gnu::cold]] static void guard() noexcept;
    [[gnu::cold]] static void onSignal(int sig) noexcept;
    static inline bool guarded_ = false;

    // The live handles, newest first. Handles are automatic variables,
    // which go in the reverse order of their making: the list is a stack.
    static inline TempFile *live_ = nullptr;
    TempFile *next_;
    char path_[1024];
    int fd_ = -1;
};

// A stream closed when it goes out of scope.
class File {
public:
    explicit File(FILE *f = nullptr) : f_(f) {}
    ~File() {
        if (f_)
            std::fclose(f_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // Closes now; false when the close reports an error.
    bool close() {
        bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }

private:
    FILE *f_;
};

} // namespace cgi

#endif // CGI_CGI_RAII_H
