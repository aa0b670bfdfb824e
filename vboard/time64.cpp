// The entry points of programs built with 64-bit time on a 32-bit target
// (_TIME_BITS=64, Debian's default for armhf from trixie on): their stat,
// ioctl, fcntl and waits call these names, not the plain ones. This file
// is itself built with 64-bit time, so that struct stat, timespec and
// timeval here are those programs' own; each call reaches the board's
// plain entry point, converting times where they differ, and goes to the
// C library's own 64-bit-time entry point for what is not the board's.
// On a 64-bit target the names are plain forwarders that nothing calls.
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "descriptor_checks.h"
#include "interposed.h"
#include "next_symbol.h"

namespace {

#if __TIMESIZE == 32
// The plain entry points' own time types on a 32-bit target.
struct timespec32 {
  std::int32_t tv_sec;
  std::int32_t tv_nsec;
};
struct timeval32 {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};

// A relative time for the plain entry points; one past their range (68
// years) waits as long as they can. False for a time the kernel refuses.
bool to32(const timespec &in, timespec32 &out) {
  if (in.tv_sec < 0 || in.tv_nsec < 0 || in.tv_nsec >= 1000000000) return false;
  out.tv_sec = in.tv_sec > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(in.tv_sec);
  out.tv_nsec = static_cast<std::int32_t>(in.tv_nsec);
  return true;
}

using vboard::next_symbol;

bool on_board(int fd) { return vboard::maybe_virtual(fd) && vboard::is_virtual(fd); }

int no_entry() {
  errno = ENOSYS;
  return -1;
}
#endif

// statx answers for the board's paths and descriptors (the board's own
// statx) and for every other file (the kernel's), in a layout that does
// not depend on the size of time, as the C library itself builds a
// 64-bit-time stat from it.
int stat_via_statx(int dirfd, const char *path, struct stat *st, int flags) {
  struct statx x {};
  if (statx(dirfd, path, flags | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &x) != 0) return -1;
  memset(st, 0, sizeof *st);
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_blksize = static_cast<blksize_t>(x.stx_blksize);
  st->st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
  st->st_atim.tv_sec = x.stx_atime.tv_sec;
  st->st_atim.tv_nsec = x.stx_atime.tv_nsec;
  st->st_mtim.tv_sec = x.stx_mtime.tv_sec;
  st->st_mtim.tv_nsec = x.stx_mtime.tv_nsec;
  st->st_ctim.tv_sec = x.stx_ctime.tv_sec;
  st->st_ctim.tv_nsec = x.stx_ctime.tv_nsec;
  return 0;
}

}  // namespace

extern "C" {

#if __TIMESIZE == 32
// The board's plain entry points, by their symbol names.
int board_ioctl(int, unsigned long, ...) __asm__("ioctl");
int board_fcntl64(int, int, ...) __asm__("fcntl64");
int board_ppoll(struct pollfd *, nfds_t, const timespec32 *, const sigset_t *) __asm__("ppoll");
int board_select(int, fd_set *, fd_set *, fd_set *, timeval32 *) __asm__("select");
int board_pselect(int, fd_set *, fd_set *, fd_set *, const timespec32 *,
                  const sigset_t *) __asm__("pselect");
int board_epoll_pwait2(int, struct epoll_event *, int, const timespec32 *,
                       const sigset_t *) __asm__("epoll_pwait2");
#endif

// Requests on the board's devices carry no time of their own size (a line
// event's stamp is 64 bits either way); any other descriptor's go to the
// C library, which converts those that do.
int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
#if __TIMESIZE == 32
  if (on_board(fd)) return board_ioctl(fd, request, arg);
  using fn = int (*)(int, unsigned long, ...);
  static std::atomic<void *> slot{nullptr};
  auto next = next_symbol<fn>(slot, "__ioctl_time64");
  return next != nullptr ? next(fd, request, arg) : no_entry();
#else
  return ioctl(fd, request, arg);
#endif
}

int __fcntl_time64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
#if __TIMESIZE == 32
  if (on_board(fd)) return board_fcntl64(fd, cmd, arg);
  using fn = int (*)(int, int, ...);
  static std::atomic<void *> slot{nullptr};
  auto next = next_symbol<fn>(slot, "__fcntl_time64");
  return next != nullptr ? next(fd, cmd, arg) : no_entry();
#else
  return fcntl(fd, cmd, arg);
#endif
}

int __fstatat64_time64(int dirfd, const char *path, struct stat *st, int flags) {
  if (stat_via_statx(dirfd, path, st, flags) == 0) return 0;
#if __TIMESIZE == 32
  // A kernel without statx: the C library's own way.
  if (errno == ENOSYS) {
    using fn = int (*)(int, const char *, struct stat *, int);
    static std::atomic<void *> slot{nullptr};
    auto next = next_symbol<fn>(slot, "__fstatat64_time64");
    return next != nullptr ? next(dirfd, path, st, flags) : no_entry();
  }
#endif
  return -1;
}
int __stat64_time64(const char *path, struct stat *st) {
  return __fstatat64_time64(AT_FDCWD, path, st, 0);
}
int __lstat64_time64(const char *path, struct stat *st) {
  return __fstatat64_time64(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}
int __fstat64_time64(int fd, struct stat *st) {
  return __fstatat64_time64(fd, "", st, AT_EMPTY_PATH);
}

int __ppoll64(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *mask) {
#if __TIMESIZE == 32
  timespec32 t32{};
  if (t != nullptr && !to32(*t, t32)) {
    errno = EINVAL;
    return -1;
  }
  return board_ppoll(fds, n, t != nullptr ? &t32 : nullptr, mask);
#else
  return ppoll(fds, n, t, mask);
#endif
}

int __select64(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t) {
#if __TIMESIZE == 32
  if (t == nullptr) return board_select(n, r, w, e, nullptr);
  if (t->tv_sec < 0 || t->tv_usec < 0) {
    errno = EINVAL;
    return -1;
  }
  // Whole seconds in tv_usec count, as the kernel carries them.
  const std::int64_t sec = t->tv_sec + t->tv_usec / 1000000;
  timeval32 t32{sec > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(sec),
                static_cast<std::int32_t>(t->tv_usec % 1000000)};
  const int k = board_select(n, r, w, e, &t32);
  // select leaves the time that was left, as the kernel does.
  t->tv_sec = t32.tv_sec;
  t->tv_usec = t32.tv_usec;
  return k;
#else
  return select(n, r, w, e, t);
#endif
}

int __pselect64(int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *t,
                const sigset_t *mask) {
#if __TIMESIZE == 32
  timespec32 t32{};
  if (t != nullptr && !to32(*t, t32)) {
    errno = EINVAL;
    return -1;
  }
  return board_pselect(n, r, w, e, t != nullptr ? &t32 : nullptr, mask);
#else
  return pselect(n, r, w, e, t, mask);
#endif
}

int __epoll_pwait2_time64(int epfd, struct epoll_event *ev, int max, const struct timespec *t,
                          const sigset_t *mask) {
#if __TIMESIZE == 32
  timespec32 t32{};
  if (t != nullptr && !to32(*t, t32)) {
    errno = EINVAL;
    return -1;
  }
  return board_epoll_pwait2(epfd, ev, max, t != nullptr ? &t32 : nullptr, mask);
#else
  return epoll_pwait2(epfd, ev, max, t, mask);
#endif
}

}  // extern "C"
