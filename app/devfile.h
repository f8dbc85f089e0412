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
    // Hands the descriptor over; this handle no longer closes it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    Fd(Fd &&other) : fd_(other.release()) {}
    Fd &operator=(Fd &&other) {
        if (this != &other) {
            Fd gone(fd_);
            fd_ = other.release();
        }
        return *this;
    }

private:
    int fd_;
};

// Reads at most `max` bytes of the file into `buf`. The file is opened with
// `flags` (O_CREAT among them creates it empty, mode 0666 less the umask).
// Returns the number of bytes read, kMissing when there is no such file,
// kFailed when it can't be opened for any other reason (no permission, a
// loop of links, no descriptor left) or a read fails (EINTR is retried).
constexpr long kMissing = -1, kFailed = -2;
long readFile(const char *path, int flags, char *buf, std::size_t max);

// Whether a file is at `path`: 1 yes, 0 no (ENOENT), -1 when that can't be
// told (the open failed otherwise).
int fileThere(const char *path);

enum class Replace { ok, openFailed, writeFailed };

// Replaces the file at `path` with `len` bytes of `text`: they go to a
// temporary file beside it, are flushed to storage and renamed over it, so a
// crash leaves the old or the new file, never a partial one. When `path` is
// a symbolic link, the file at the end of its chain is replaced (created, if
// the link dangles) and the link stays. The new file keeps the old one's
// permission bits and its owner and group, or the group alone when this
// process may not set the owner, or neither when it may not set the group.
// `locked`: the caller holds the DirLock that every writer of the file
// takes, so the temporary file has the fixed name `file`.tmp, and one left
// by a crash is removed first; without it the name is one of this
// replacement's own while it runs, and one left by a crash is reclaimed by
// a later replacement. The temporary file is always created anew, so
// nothing another user left at its name is written. Replace::ok means the
// new file is on storage, the directory entry that names it included. On
// failure no temporary file is left, and the old file stays, or the new one
// when only the directory's flush failed.
Replace replaceFile(const char *path, const char *text, std::size_t len, bool locked);

// The same with the whole content of the file at `from`; false when `from`
// can't be read or `to` can't be replaced.
bool copyFile(const char *from, const char *to, bool locked);

// An exclusive advisory lock on a directory, held while in scope. It
// creates no file. When the directory can't be opened (a user who may
// write it but not read it) or locked, there is no lock.
class DirLock {
public:
    explicit DirLock(const char *dir);
    // Whether this process holds the lock.
    bool held() const { return held_; }

private:
    Fd fd_;
    bool held_ = false;
};

} // namespace sethc

#endif // APP_DEVFILE_H
