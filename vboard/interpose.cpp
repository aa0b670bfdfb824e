// The libc entry points the board interposes, and the real calls behind
// them. Each entry point asks descriptors.cpp whether the path or
// descriptor is virtual and otherwise passes the call on to libc
// unchanged; nothing else lives here.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "internal.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace vboard {
namespace {

// Resolved once, on first use. dlsym(RTLD_NEXT) does not call back into
// the calls interposed here, so no recursion guard is needed for it; the
// syscall fallbacks cover the case of a libc that cannot be found at all.
template <typename F>
F next(std::atomic<void *> &slot, const char *name) {
  void *p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<F>(p);
}

#define VBOARD_REAL(name, type)               \
  type real_##name##_fn() {                   \
    static std::atomic<void *> slot{nullptr}; \
    return next<type>(slot, #name);           \
  }

using open_t = int (*)(const char *, int, ...);
using openat_t = int (*)(int, const char *, int, ...);
using read_t = ssize_t (*)(int, void *, size_t);
using write_t = ssize_t (*)(int, const void *, size_t);
using pread_t = ssize_t (*)(int, void *, size_t, off_t);
using pwrite_t = ssize_t (*)(int, const void *, size_t, off_t);
using pread64_t = ssize_t (*)(int, void *, size_t, off64_t);
using pwrite64_t = ssize_t (*)(int, const void *, size_t, off64_t);
using close_t = int (*)(int);
using dup_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using fcntl_t = int (*)(int, int, ...);
using ioctl_t = int (*)(int, unsigned long, ...);
using lseek_t = off_t (*)(int, off_t, int);
using lseek64_t = off64_t (*)(int, off64_t, int);
using stat_t = int (*)(const char *, struct stat *);
using stat64_t = int (*)(const char *, struct stat64 *);
using fstat_t = int (*)(int, struct stat *);
using fstat64_t = int (*)(int, struct stat64 *);
using fstatat_t = int (*)(int, const char *, struct stat *, int);
using fstatat64_t = int (*)(int, const char *, struct stat64 *, int);
using access_t = int (*)(const char *, int);
using faccessat_t = int (*)(int, const char *, int, int);
using fopen_t = FILE *(*)(const char *, const char *);
using fdopen_t = FILE *(*)(int, const char *);
using cfr_t = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int);
using readv_t = ssize_t (*)(int, const struct iovec *, int);
using close_range_t = int (*)(unsigned int, unsigned int, int);
using closefrom_t = void (*)(int);

VBOARD_REAL(open, open_t)
VBOARD_REAL(open64, open_t)
VBOARD_REAL(openat, openat_t)
VBOARD_REAL(openat64, openat_t)
VBOARD_REAL(read, read_t)
VBOARD_REAL(write, write_t)
VBOARD_REAL(pread, pread_t)
VBOARD_REAL(pwrite, pwrite_t)
VBOARD_REAL(pread64, pread64_t)
VBOARD_REAL(pwrite64, pwrite64_t)
VBOARD_REAL(close, close_t)
VBOARD_REAL(dup, dup_t)
VBOARD_REAL(dup2, dup2_t)
VBOARD_REAL(dup3, dup3_t)
VBOARD_REAL(fcntl, fcntl_t)
VBOARD_REAL(fcntl64, fcntl_t)
VBOARD_REAL(ioctl, ioctl_t)
VBOARD_REAL(lseek, lseek_t)
VBOARD_REAL(lseek64, lseek64_t)
VBOARD_REAL(stat, stat_t)
VBOARD_REAL(stat64, stat64_t)
VBOARD_REAL(lstat, stat_t)
VBOARD_REAL(lstat64, stat64_t)
VBOARD_REAL(fstat, fstat_t)
VBOARD_REAL(fstat64, fstat64_t)
VBOARD_REAL(fstatat, fstatat_t)
VBOARD_REAL(fstatat64, fstatat64_t)
VBOARD_REAL(access, access_t)
VBOARD_REAL(faccessat, faccessat_t)
VBOARD_REAL(fopen, fopen_t)
VBOARD_REAL(fopen64, fopen_t)
VBOARD_REAL(fdopen, fdopen_t)
VBOARD_REAL(copy_file_range, cfr_t)
VBOARD_REAL(readv, readv_t)
VBOARD_REAL(writev, readv_t)
VBOARD_REAL(close_range, close_range_t)
VBOARD_REAL(closefrom, closefrom_t)

int real_dup_any(int oldfd, int, int) { return real_dup_fn()(oldfd); }
int real_dup2_any(int oldfd, int newfd, int) { return real_dup2_fn()(oldfd, newfd); }
int real_dup3_any(int oldfd, int newfd, int flags) { return real_dup3_fn()(oldfd, newfd, flags); }

int real_open_any(int dirfd, const char *path, int flags, mode_t mode, bool at, bool large) {
  if (at) {
    auto f = large ? real_openat64_fn() : real_openat_fn();
    if (f == nullptr) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
    return f(dirfd, path, flags, mode);
  }
  auto f = large ? real_open64_fn() : real_open_fn();
  if (f == nullptr) return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
  return f(path, flags, mode);
}

int open_any(int dirfd, const char *path, int flags, mode_t mode, bool at, bool large) {
  const int r = open_virtual(at ? dirfd : AT_FDCWD, path, flags);
  if (r != -2) return r;
  return real_open_any(dirfd, path, flags, mode, at, large);
}

template <typename Stat>
void copy_stat(const struct stat &in, Stat &out) {
  std::memset(&out, 0, sizeof out);
  out.st_dev = in.st_dev;
  out.st_ino = in.st_ino;
  out.st_mode = in.st_mode;
  out.st_nlink = in.st_nlink;
  out.st_uid = in.st_uid;
  out.st_gid = in.st_gid;
  out.st_size = in.st_size;
  out.st_blksize = in.st_blksize;
  out.st_blocks = in.st_blocks;
}

// 0 or -1 with errno when virtual, 1 when real.
template <typename Stat>
int stat_path(int dirfd, const char *path, Stat *out) {
  struct stat st {};
  const int r = v_stat_path(dirfd, path, st);
  if (r == 0) copy_stat(st, *out);
  return r;
}
template <typename Stat>
int stat_fd(int fd, Stat *out) {
  struct stat st {};
  const int r = v_stat_fd(fd, st);
  if (r == 0) copy_stat(st, *out);
  return r;
}

mode_t mode_arg(int flags, va_list ap) {
  // The mode is only passed when the call can create a file.
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(ap, unsigned int));
  }
  return 0;
}

}  // namespace

int real_open(const char *path, int flags, mode_t mode) {
  if (auto f = real_open_fn()) return f(path, flags, mode);
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
ssize_t real_read(int fd, void *buf, std::size_t n) {
  if (auto f = real_read_fn()) return f(fd, buf, n);
  return syscall(SYS_read, fd, buf, n);
}
ssize_t real_write(int fd, const void *buf, std::size_t n) {
  if (auto f = real_write_fn()) return f(fd, buf, n);
  return syscall(SYS_write, fd, buf, n);
}
int real_close(int fd) {
  if (auto f = real_close_fn()) return f(fd);
  return static_cast<int>(syscall(SYS_close, fd));
}
int real_fstat(int fd, struct stat *st) {
  if (auto f = real_fstat_fn()) return f(fd, st);
  errno = ENOSYS;
  return -1;
}

}  // namespace vboard

using namespace vboard;

extern "C" {

// vfork's child would share the board's tables with its parent and leave
// its own descriptors behind in them; a real fork keeps them apart.
pid_t vfork(void) noexcept { return fork(); }

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(AT_FDCWD, path, flags, mode, false, false);
}
int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(AT_FDCWD, path, flags, mode, false, true);
}
int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(dirfd, path, flags, mode, true, false);
}
int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(dirfd, path, flags, mode, true, true);
}
int __open_2(const char *path, int flags) {
  return open_any(AT_FDCWD, path, flags, 0, false, false);
}
int __open64_2(const char *path, int flags) {
  return open_any(AT_FDCWD, path, flags, 0, false, true);
}
int __openat_2(int dirfd, const char *path, int flags) {
  return open_any(dirfd, path, flags, 0, true, false);
}
int __openat64_2(int dirfd, const char *path, int flags) {
  return open_any(dirfd, path, flags, 0, true, true);
}
int creat(const char *path, mode_t mode) {
  return open_any(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false, false);
}
int creat64(const char *path, mode_t mode) {
  return open_any(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false, true);
}

ssize_t read(int fd, void *buf, size_t n) {
  const auto r = v_read(fd, buf, n, nullptr);
  return r.handled ? r.result : real_read(fd, buf, n);
}
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
  if (n > buflen) __chk_fail();
  return read(fd, buf, n);
}
ssize_t write(int fd, const void *buf, size_t n) {
  const auto r = v_write(fd, buf, n, nullptr);
  return r.handled ? r.result : real_write(fd, buf, n);
}
ssize_t pread(int fd, void *buf, size_t n, off_t off) {
  const auto r = v_read(fd, buf, n, &off);
  return r.handled ? r.result : real_pread_fn()(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  const auto r = v_write(fd, buf, n, &off);
  return r.handled ? r.result : real_pwrite_fn()(fd, buf, n, off);
}
ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_read(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_pread64_fn()(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_write(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_pwrite64_fn()(fd, buf, n, off);
}

int close(int fd) {
  const auto r = v_close(fd);
  if (!r.handled) return real_close(fd);
  if (fd <= 2) {
    const int err = errno;
    after_close(fd);
    errno = err;
  }
  return static_cast<int>(r.result);
}

off_t lseek(int fd, off_t off, int whence) noexcept {
  const auto r = v_seek(fd, off, whence);
  return r.handled ? static_cast<off_t>(r.result) : real_lseek_fn()(fd, off, whence);
}
off64_t lseek64(int fd, off64_t off, int whence) noexcept {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_seek(fd, o, whence);
    if (r.handled) return r.result;
  }
  return real_lseek64_fn()(fd, off, whence);
}

int dup(int fd) noexcept {
  if (!maybe_virtual(fd)) return real_dup_fn()(fd);
  return dup_virtual(fd, -1, 0, real_dup_any, false);
}
int dup2(int oldfd, int newfd) noexcept {
  if (!maybe_virtual(oldfd) && !maybe_virtual(newfd)) return real_dup2_fn()(oldfd, newfd);
  return dup_virtual(oldfd, newfd, 0, real_dup2_any, true);
}
int dup3(int oldfd, int newfd, int flags) noexcept {
  if (!maybe_virtual(oldfd) && !maybe_virtual(newfd)) return real_dup3_fn()(oldfd, newfd, flags);
  return dup_virtual(oldfd, newfd, flags, real_dup3_any, true);
}

static int fcntl_any(bool large, int fd, int cmd, void *arg) {
  auto real = large ? real_fcntl64_fn() : real_fcntl_fn();
  if (real == nullptr) real = real_fcntl_fn();
  if (!maybe_virtual(fd)) return real(fd, cmd, arg);
  return fcntl_virtual(fd, cmd, arg, real);
}
int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_any(false, fd, cmd, arg);
}
int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_any(true, fd, cmd, arg);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  const auto r = v_ioctl(fd, request, arg);
  return r.handled ? static_cast<int>(r.result) : real_ioctl_fn()(fd, request, arg);
}

int stat(const char *path, struct stat *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_stat_fn()(path, st);
}
int stat64(const char *path, struct stat64 *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_stat64_fn()(path, st);
}
int lstat(const char *path, struct stat *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_lstat_fn()(path, st);
}
int lstat64(const char *path, struct stat64 *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_lstat64_fn()(path, st);
}
int fstat(int fd, struct stat *st) noexcept {
  const int r = stat_fd(fd, st);
  return r != 1 ? r : real_fstat_fn()(fd, st);
}
int fstat64(int fd, struct stat64 *st) noexcept {
  const int r = stat_fd(fd, st);
  return r != 1 ? r : real_fstat64_fn()(fd, st);
}
int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = stat_fd(dirfd, st);
  else
    r = stat_path(dirfd, path, st);
  return r != 1 ? r : real_fstatat_fn()(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = stat_fd(dirfd, st);
  else
    r = stat_path(dirfd, path, st);
  return r != 1 ? r : real_fstatat64_fn()(dirfd, path, st, flags);
}
int access(const char *path, int mode) noexcept {
  const int r = v_access(AT_FDCWD, path, mode);
  return r != 1 ? r : real_access_fn()(path, mode);
}
int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
  const int r = v_access(dirfd, path, mode);
  return r != 1 ? r : real_faccessat_fn()(dirfd, path, mode, flags);
}

// Scatter/gather on a virtual file: one store or one read, as the kernel
// makes a single call of it for sysfs.
ssize_t readv(int fd, const struct iovec *iov, int count) {
  if (maybe_virtual(fd) && count >= 0) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    std::vector<char> buf(total);
    const auto r = v_read(fd, buf.data(), total, nullptr);
    if (r.handled) {
      std::size_t left = r.result > 0 ? static_cast<std::size_t>(r.result) : 0, at = 0;
      for (int i = 0; i < count && left > 0; ++i) {
        const std::size_t k = iov[i].iov_len < left ? iov[i].iov_len : left;
        std::memcpy(iov[i].iov_base, buf.data() + at, k);
        at += k;
        left -= k;
      }
      return r.result;
    }
  }
  return real_readv_fn()(fd, iov, count);
}
ssize_t writev(int fd, const struct iovec *iov, int count) {
  if (maybe_virtual(fd) && count >= 0) {
    std::vector<char> buf;
    for (int i = 0; i < count; ++i) {
      const char *p = static_cast<const char *>(iov[i].iov_base);
      buf.insert(buf.end(), p, p + iov[i].iov_len);
    }
    const auto r = v_write(fd, buf.data(), buf.size(), nullptr);
    if (r.handled) return r.result;
  }
  return real_writev_fn()(fd, iov, count);
}

int close_range(unsigned int first, unsigned int last, int flags) noexcept {
  const int r = real_close_range_fn()(first, last, flags);
  if (r == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0 && first <= last) forget_range(first, last);
  return r;
}
void closefrom(int lowfd) noexcept {
  real_closefrom_fn()(lowfd);
  if (lowfd >= 0) forget_range(static_cast<unsigned int>(lowfd), ~0U);
}

ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t n,
                        unsigned int flags) {
  if ((maybe_virtual(in) || maybe_virtual(out)) && (is_virtual(in) || is_virtual(out))) {
    // Like a kernel file system without this support: callers fall back
    // to read and write, which the board serves.
    return fail(EINVAL);
  }
  return real_copy_file_range_fn()(in, in_off, out, out_off, n, flags);
}

FILE *fopen(const char *path, const char *mode) {
  bool handled = false;
  FILE *fp = fopen_virtual(path, mode, handled);
  if (handled) return fp;
  if (auto f = real_fopen_fn()) return f(path, mode);
  errno = ENOSYS;
  return nullptr;
}
FILE *fopen64(const char *path, const char *mode) {
  bool handled = false;
  FILE *fp = fopen_virtual(path, mode, handled);
  if (handled) return fp;
  if (auto f = real_fopen64_fn()) return f(path, mode);
  errno = ENOSYS;
  return nullptr;
}
FILE *fdopen(int fd, const char *mode) noexcept {
  // libc's own streams would read the stand-in descriptor directly.
  if (maybe_virtual(fd) && is_virtual(fd)) return stream_over(fd, mode);
  return real_fdopen_fn()(fd, mode);
}

}  // extern "C"
