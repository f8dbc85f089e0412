#include "devfile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sethc {

namespace {

bool writeAll(int fd, const char *p, std::size_t len) {
    while (len) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Makes a rename in the directory of `path` durable. Some file systems
// refuse fsync on a directory; the rename has happened all the same.
void syncDirOf(const char *path) {
    char dir[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    std::size_t n = slash ? static_cast<std::size_t>(slash - path) : 0;
    if (n >= sizeof dir)
        return;
    std::memcpy(dir, path, n);
    std::strcpy(dir + n, slash ? (n ? "" : "/") : ".");
    Fd d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d)
        fsync(d.get());
}

// Writes a new version of `path` through the temporary file `path`.tmp:
// `fill` writes the content, then the file takes `mode`, goes to storage and
// is renamed over `path`. The temporary name is fixed, so a file left by a
// crash is reused by the next replacement instead of piling up.
template <typename Fill>
Replace replace(const char *path, mode_t mode, Fill fill) {
    char tmp[PATH_MAX];
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp", path) >= static_cast<int>(sizeof tmp))
        return Replace::openFailed;
    Fd out(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        return Replace::openFailed;
    bool ok = fill(out.get()) && fchmod(out.get(), mode) == 0 && fsync(out.get()) == 0;
    ok = out.close() && ok;
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return Replace::writeFailed;
    }
    syncDirOf(path);
    return Replace::ok;
}

// The permission bits that a new version of `path` keeps: the old file's,
// or `otherwise` when there is none.
mode_t keptMode(const char *path, mode_t otherwise) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_mode & 07777 : otherwise;
}

} // namespace

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Fd::close() {
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
}

long readFile(const char *path, int flags, char *buf, std::size_t max) {
    Fd f(open(path, flags | O_CLOEXEC, 0666));
    if (!f)
        return -1;
    std::size_t got = 0;
    while (got < max) {
        ssize_t n = read(f.get(), buf + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

Replace replaceFile(const char *path, const char *text, std::size_t len) {
    return replace(path, keptMode(path, 0644),
                   [&](int fd) { return writeAll(fd, text, len); });
}

bool copyFile(const char *from, const char *to) {
    Fd in(open(from, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in || fstat(in.get(), &st) != 0)
        return false;
    return replace(to, keptMode(to, st.st_mode & 07777), [&](int fd) {
               char buf[4096];
               for (;;) {
                   ssize_t n = read(in.get(), buf, sizeof buf);
                   if (n < 0 && errno == EINTR)
                       continue;
                   if (n <= 0)
                       return n == 0;
                   if (!writeAll(fd, buf, static_cast<std::size_t>(n)))
                       return false;
               }
           }) == Replace::ok;
}

DirLock::DirLock(const char *dir) : fd_(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_)
        while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
}

} // namespace sethc
