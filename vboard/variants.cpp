// Entry points that programs built in other ways reach for calls the board
// already serves: the fortified variants a distribution's build
// (_FORTIFY_SOURCE) emits for pread, readlink and ppoll, the stat entry
// points of programs built against a C library older than 2.33, and
// formatted writes to a descriptor, which the C library makes through its
// own inner write. Each one checks what the C library would check and
// hands the call to the board's own entry point, which passes anything
// that is not the board's on to the C library. Also isfdtype and
// fallocate, which the C library would answer from the stand-in.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "internal.h"
#include "interposed.h"

namespace {


// The version the stat entry points of older C libraries were given for
// the struct stat of this architecture (_STAT_VER); any other is EINVAL,
// as the C library answers.
bool stat_version_ok(int version) {
#if defined(__x86_64__)
  return version == 0 || version == 1;
#elif defined(__arm__) || defined(__i386__)
  return version == 3;
#else
  return version == 0;
#endif
}

int bad_version() {
  errno = EINVAL;
  return -1;
}

}  // namespace

extern "C" {

int __xstat(int version, const char *path, struct stat *st) {
  return stat_version_ok(version) ? stat(path, st) : bad_version();
}
int __lxstat(int version, const char *path, struct stat *st) {
  return stat_version_ok(version) ? lstat(path, st) : bad_version();
}
int __fxstat(int version, int fd, struct stat *st) {
  return stat_version_ok(version) ? fstat(fd, st) : bad_version();
}
int __fxstatat(int version, int dirfd, const char *path, struct stat *st, int flags) {
  return stat_version_ok(version) ? fstatat(dirfd, path, st, flags) : bad_version();
}
int __xstat64(int version, const char *path, struct stat64 *st) {
  return stat_version_ok(version) ? stat64(path, st) : bad_version();
}
int __lxstat64(int version, const char *path, struct stat64 *st) {
  return stat_version_ok(version) ? lstat64(path, st) : bad_version();
}
int __fxstat64(int version, int fd, struct stat64 *st) {
  return stat_version_ok(version) ? fstat64(fd, st) : bad_version();
}
int __fxstatat64(int version, int dirfd, const char *path, struct stat64 *st, int flags) {
  return stat_version_ok(version) ? fstatat64(dirfd, path, st, flags) : bad_version();
}

ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buflen) {
  if (n > buflen) __chk_fail();
  return pread(fd, buf, n, off);
}
ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t off, size_t buflen) {
  if (n > buflen) __chk_fail();
  return pread64(fd, buf, n, off);
}
ssize_t __readlink_chk(const char *path, char *buf, size_t n, size_t buflen) {
  if (n > buflen) __chk_fail();
  return readlink(path, buf, n);
}
ssize_t __readlinkat_chk(int dirfd, const char *path, char *buf, size_t n, size_t buflen) {
  if (n > buflen) __chk_fail();
  return readlinkat(dirfd, path, buf, n);
}
int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *mask,
                size_t fdslen) {
  if (fdslen / sizeof(*fds) < n) __chk_fail();
  return ppoll(fds, n, t, mask);
}

// The C library formats into a stream over the descriptor and writes it
// with its inner write, which would reach the stand-in: a board file gets
// the text in one write, as the stream's one flush gives a short text.
int vdprintf(int fd, const char *format, va_list ap) {
  if (!vboard::maybe_virtual(fd) || !vboard::is_virtual(fd)) {
    if (auto real = vboard::real_of<&::vdprintf>()) return real(fd, format, ap);
  }
  char *text = nullptr;
  const int n = vasprintf(&text, format, ap);
  if (n < 0) return -1;
  const ssize_t written = write(fd, text, static_cast<size_t>(n));
  const int err = errno;
  free(text);
  errno = err;
  return written < 0 ? -1 : static_cast<int>(written);
}
int dprintf(int fd, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const int r = vdprintf(fd, format, ap);
  va_end(ap);
  return r;
}
// The flag asks the C library to refuse a %n in a format the program can
// write to; the board formats without that check.
int __vdprintf_chk(int fd, int, const char *format, va_list ap) { return vdprintf(fd, format, ap); }
int __dprintf_chk(int fd, int, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const int r = vdprintf(fd, format, ap);
  va_end(ap);
  return r;
}

// An absolute path, or one from the working directory, lists as scandir
// lists it, the board's folders among them.
extern "C++" template <typename Ent>
int scan_at(int (*real)(int, const char *, Ent ***, int (*)(const Ent *),
                        int (*)(const Ent **, const Ent **)),
            int (*scan)(const char *, Ent ***, int (*)(const Ent *),
                        int (*)(const Ent **, const Ent **)),
            int dirfd, const char *path, Ent ***list, int (*keep)(const Ent *),
            int (*order)(const Ent **, const Ent **)) {
  if (path[0] == '/' || dirfd == AT_FDCWD) return scan(path, list, keep, order);
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(dirfd, path, list, keep, order);
}
int scandirat(int dirfd, const char *path, struct dirent ***list,
              int (*keep)(const struct dirent *),
              int (*order)(const struct dirent **, const struct dirent **)) {
  return scan_at(vboard::real_of<&::scandirat>(), scandir, dirfd, path, list, keep, order);
}
int scandirat64(int dirfd, const char *path, struct dirent64 ***list,
                int (*keep)(const struct dirent64 *),
                int (*order)(const struct dirent64 **, const struct dirent64 **)) {
  return scan_at(vboard::real_of<&::scandirat64>(), scandir64, dirfd, path, list, keep, order);
}

// As epoll_pwait, with the time in nanoseconds: a wait on a set with no
// board descriptor is the kernel's; when the board's wake-up ends it
// (another thread added one), the wait goes on through the board.
int epoll_pwait2(int epfd, struct epoll_event *ev, int max, const struct timespec *t,
                 const sigset_t *mask) {
  if (t != nullptr && (t->tv_sec < 0 || t->tv_nsec < 0 || t->tv_nsec >= 1000000000)) {
    errno = EINVAL;
    return -1;
  }
  auto real = vboard::real_of<&::epoll_pwait2>();
  const std::int64_t deadline =
      t == nullptr ? -1
                   : static_cast<std::int64_t>(vboard::monotonic_ns()) +
                         static_cast<std::int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec;
  while (true) {
    std::int64_t left = -1;
    if (deadline >= 0) {
      left = deadline - static_cast<std::int64_t>(vboard::monotonic_ns());
      if (left < 0) left = 0;
    }
    sigset_t old;
    if (mask != nullptr) pthread_sigmask(SIG_SETMASK, mask, &old);
    const int r = vboard::v_epoll_wait(epfd, ev, max, left);
    const int err = errno;
    if (mask != nullptr) pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    if (r != -2) return r;
    if (real == nullptr) {
      errno = ENOSYS;
      return -1;
    }
    const timespec rest{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    const int k = real(epfd, ev, max, left < 0 ? nullptr : &rest, mask);
    bool woken = false;
    const int kept = vboard::epoll_drop_wakes(epfd, ev, k, woken);
    if (kept > 0 || !woken) return kept;
  }
}

// The C library tells a descriptor's kind from its inner fstat, which
// would see the stand-in; the board's fstat sees the board's file.
int isfdtype(int fd, int type) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  return (st.st_mode & S_IFMT) == static_cast<mode_t>(type) ? 1 : 0;
}

// sysfs and the devices have no room to allocate: EOPNOTSUPP, where the
// stand-in, a memory file, would take it.
int fallocate(int fd, int mode, off_t off, off_t len) {
  if (vboard::maybe_virtual(fd) && vboard::is_virtual(fd)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  auto real = vboard::real_of<&::fallocate>();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, mode, off, len);
}
int fallocate64(int fd, int mode, off64_t off, off64_t len) {
  if (vboard::maybe_virtual(fd) && vboard::is_virtual(fd)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  auto real = vboard::real_of<&::fallocate64>();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, mode, off, len);
}

// The effective user's rights, as the C library asks the kernel for them.
int euidaccess(const char *path, int mode) { return faccessat(AT_FDCWD, path, mode, AT_EACCESS); }
int eaccess(const char *path, int mode) { return faccessat(AT_FDCWD, path, mode, AT_EACCESS); }

}  // extern "C"
