// Device files on flash: reading, replacing atomically, and the lock that
// serialises the requests that change them.
#ifndef APP_DEVFILE_H
#define APP_DEVFILE_H

#include <cstddef>

namespace sethc {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; false when the close reports an error (a late write error).
    bool close();

private:
    int fd_;
};

// Reads at most `max` bytes of the file into `buf`. The file is opened with
// `flags` (O_CREAT among them creates it empty, mode 0666 less the umask).
// Returns the number of bytes read, or -1 when the file can't be opened.
long readFile(const char *path, int flags, char *buf, std::size_t max);

enum class Replace { ok, openFailed, writeFailed };

// Replaces the file at `path` with `len` bytes of `text`: they go to a
// temporary file beside it, are flushed to storage and renamed over it, so a
// crash leaves the old or the new file, never a partial one. The new file
// keeps the old one's permission bits. On failure the old file stays and no
// temporary file is left.
Replace replaceFile(const char *path, const char *text, std::size_t len);

// The same with the whole content of the file at `from`; false when `from`
// can't be read or `to` can't be replaced.
bool copyFile(const char *from, const char *to);

// An exclusive advisory lock on a directory, held while in scope. It
// creates no file. When the directory can't be opened there is no lock, and
// the replacement that follows fails on its own.
class DirLock {
public:
    explicit DirLock(const char *dir);

private:
    Fd fd_;
};

} // namespace sethc

#endif // APP_DEVFILE_H
