#include "devfile.h"
#include "sethc.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

// Makes durable the rename that gave the file open at `fd` its name `path`:
// true once the directory that holds the name is on storage. A flush that
// fails (EIO, EROFS, ENOSPC: the flash failed, or turned read-only) leaves
// the rename in memory alone, and a power cut would undo it. Where no flush
// of the directory can be had (a file system that refuses fsync on a
// directory, or a user who may write the directory but not open it), the
// whole file system is flushed instead: syncfs() reports a failed write
// (since Linux 5.8), but not on a file system already read-only; a kernel
// without it (before 2.6.39) gets sync(), which reports nothing. The file's
// own flush after either reports what it can (on UBIFS it does not cover
// the directory), and a file system found read-only (UBIFS turns read-only
// on a write error, ext4 may) counts as a failure.
bool syncRename(const char *path, int fd) {
    char dir[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    const std::size_t n = slash ? static_cast<std::size_t>(slash - path) : 0;
    std::memcpy(dir, path, n); // `path` fits in PATH_MAX
    std::strcpy(dir + n, slash ? (n ? "" : "/") : ".");
    Fd d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d) {
        if (fsync(d.get()) == 0)
            return true;
        if (errno != EINVAL && errno != EOPNOTSUPP) // ENOTSUP is the same number
            return false;
    }
    if (syncfs(fd) != 0) {
        if (errno != ENOSYS)
            return false;
        sync();
    }
    struct statvfs fs;
    return fsync(fd) == 0 && fstatvfs(fd, &fs) == 0 && !(fs.f_flag & ST_RDONLY);
}

// The file that `path` leads to, into `file`: `path` itself, or the end of
// its chain of symbolic links, which need not exist yet (a rewrite through
// a dangling link creates the file it names, as opening it to write would).
// A relative link is taken from the link's directory. False when the chain
// is longer than the kernel would follow (40 links), or a name does not fit.
bool resolve(const char *path, char (&file)[PATH_MAX]) {
    if (std::strlen(path) >= sizeof file)
        return false;
    std::strcpy(file, path);
    // One look more than the links followed: the 41st name must be the file.
    for (int hops = 0; hops <= 40; ++hops) {
        char link[PATH_MAX];
        ssize_t n = readlink(file, link, sizeof link);
        if (n < 0)
            return true; // not a link, or nothing there: this is the file
        const char *slash = std::strrchr(file, '/');
        std::size_t dir = link[0] != '/' && slash ? static_cast<std::size_t>(slash - file) + 1 : 0;
        if (static_cast<std::size_t>(n) >= sizeof link || dir + static_cast<std::size_t>(n) >= sizeof file)
            return false;
        std::memcpy(file + dir, link, static_cast<std::size_t>(n));
        file[dir + static_cast<std::size_t>(n)] = '\0';
    }
    return false;
}

bool sameFile(int fd, const char *name) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(name, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A writer without the directory lock holds a lock on its temporary file
// until the file is renamed or removed, so a temporary file nobody holds was
// left by a process that no longer runs. Takes such a file's lock and
// removes it; false when it is in use (or files can't be locked here).
// Only the holder of a file's lock removes or renames it, so the name still
// leads to the locked file when it is removed.
// Anything but a regular file at the name is not ours and is left alone;
// the open must not wait for a writer (a FIFO) or a device.
bool reclaim(const char *name) {
    Fd f(open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!f || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || flock(f.get(), LOCK_EX | LOCK_NB) != 0 ||
        !sameFile(f.get(), name))
        return false;
    return unlink(name) == 0;
}

// The name of a temporary file: `file`, ".tmp", and then `pid` and a dot
// and `k`, each when it is not negative. False when it is too long.
bool tempName(char (&tmp)[PATH_MAX], const char *file, long pid, long k) {
    char suffix[48];
    std::memcpy(suffix, ".tmp", 4);
    char *end = suffix + 4;
    if (pid >= 0) {
        end = formatDecimal(end, pid);
        *end++ = '.';
    }
    if (k >= 0)
        end = formatDecimal(end, k);
    const std::size_t n = std::strlen(file);
    const std::size_t m = static_cast<std::size_t>(end - suffix);
    if (n + m >= sizeof tmp)
        return false;
    std::memcpy(tmp, file, n);
    std::memcpy(tmp + n, suffix, m);
    tmp[n + m] = '\0';
    return true;
}

// Creates the temporary file for a new version of `file`, named in `tmp`,
// always as a new inode: whatever another user left at the name (a link to
// a file of theirs, say) is removed, never written or given our mode.
// Under the lock the name is fixed, `file`.tmp, so one left by a crash is
// replaced instead of piling up. Without it two replacements may run at
// once, so each takes a numbered name, `file`.tmp<n>, and holds the new
// file's lock until it is renamed; a numbered file whose lock is free was
// left by a crash and is reclaimed. Where files can't be locked at all, the
// name carries the pid instead, and a crash's file stays.
int createTemp(const char *file, bool locked, char (&tmp)[PATH_MAX]) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    if (locked) {
        if (!tempName(tmp, file, -1, -1))
            return -1;
        unlink(tmp);
        return open(tmp, kFlags, 0600);
    }
    for (unsigned k = 0; k < 100; ++k) {
        if (!tempName(tmp, file, -1, k))
            return -1;
        Fd fd(open(tmp, kFlags, 0600));
        if (!fd) {
            if (errno != EEXIST)
                return -1;
            if (!reclaim(tmp))
                continue;
            fd = Fd(open(tmp, kFlags, 0600));
            if (!fd)
                continue; // another writer took the name first
        }
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Another writer may have reclaimed the name before the lock
            // was taken; then the name is no longer this file.
            if (sameFile(fd.get(), tmp))
                return fd.release();
            continue;
        }
        if (errno == EWOULDBLOCK)
            continue;
        unlink(tmp);
        break;
    }
    for (unsigned k = 0; k < 100; ++k) {
        if (!tempName(tmp, file, getpid(), k))
            return -1;
        int fd = open(tmp, kFlags, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The new file takes the old one's owner and group. Only root may give a
// file away; another user may still set a group it belongs to, and failing
// that the file keeps its creator's group rather than the rewrite failing.
void keepOwner(int fd, const struct stat &old) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
        return;
}

// Writes a new version of the file that `path` leads to through a
// temporary file beside it: `fill` writes the content, then the file takes
// the old one's owner, group and permission bits (`mode` when there is no
// old file), goes to storage and is renamed over the old one.
template <typename Fill>
Replace replace(const char *path, mode_t mode, bool locked, Fill fill) {
    char file[PATH_MAX];
    char tmp[PATH_MAX];
    if (!resolve(path, file))
        return Replace::openFailed;
    struct stat old;
    const bool had = stat(file, &old) == 0;
    Fd out(createTemp(file, locked, tmp));
    if (!out)
        return Replace::openFailed;
    bool ok = fill(out.get());
    if (ok && had)
        keepOwner(out.get(), old);
    // The owner is set first: a change of owner clears the set-id bits.
    ok = ok && fchmod(out.get(), had ? old.st_mode & 07777 : mode) == 0 && fsync(out.get()) == 0;
    // The file stays open, and so locked, until it has its final name: a
    // writer without the directory lock would take a closed temporary file
    // for one left by a crash.
    if (!ok || rename(tmp, file) != 0) {
        unlink(tmp);
        return Replace::writeFailed;
    }
    // fsync has reported any error of the writes; the close releases the
    // lock. A failed directory flush leaves the new file under its name,
    // perhaps in memory alone: the caller must not report it written.
    return syncRename(file, out.get()) ? Replace::ok : Replace::writeFailed;
}

} // namespace

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

long readFile(const char *path, int flags, char *buf, std::size_t max) {
    Fd f(open(path, flags | O_CLOEXEC, 0666));
    if (!f)
        return errno == ENOENT ? kMissing : kFailed;
    std::size_t got = 0;
    while (got < max) {
        ssize_t n = read(f.get(), buf + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        // What was read before an error (a bad flash block) is not the file.
        if (n < 0)
            return kFailed;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

int fileThere(const char *path) {
    Fd f(open(path, O_RDONLY | O_CLOEXEC));
    return f ? 1 : errno == ENOENT ? 0 : -1;
}

Replace replaceFile(const char *path, const char *text, std::size_t len, bool locked) {
    return replace(path, 0644, locked, [&](int fd) { return writeAll(fd, text, len); });
}

bool copyFile(const char *from, const char *to, bool locked) {
    Fd in(open(from, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in || fstat(in.get(), &st) != 0)
        return false;
    return replace(to, st.st_mode & 07777, locked, [&](int fd) {
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
    if (!fd_)
        return;
    int r;
    while ((r = flock(fd_.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    held_ = r == 0;
}

} // namespace sethc
