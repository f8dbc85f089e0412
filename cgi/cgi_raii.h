// Owning handles for the layer's C resources. C++ only; applications never
// include this header.
#ifndef CGI_CGI_RAII_H
#define CGI_CGI_RAII_H

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
class TempFile {
public:
    TempFile() { path_[0] = '\0'; }
    ~TempFile() {
        close();
        if (path_[0])
            unlink(path_);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // The descriptor that created the file is kept: opening it again by
    // name with truncation would make some file systems (ext4) write the
    // whole file out at close. Written with write(2), so that no stream
    // buffer (nor the allocator behind it) is needed.
    bool create() {
        static_assert(sizeof path_ >= sizeof cgiTempFileTemplate, "a path must hold the template");
        std::memcpy(path_, cgiTempFileTemplate, sizeof cgiTempFileTemplate);
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
    // The entry owns the file from here on.
    void release() { path_[0] = '\0'; }

private:
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
