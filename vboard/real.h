#pragma once
// The real libc entry points behind the interposed ones, which the board
// calls itself. Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vboard {

// ---------------------------------------------------------------------------
// Real libc entry points (resolved with dlsym(RTLD_NEXT), safe to call
// before the library's constructors ran).
int real_open(const char *path, int flags, mode_t mode);
ssize_t real_read(int fd, void *buf, std::size_t n);
ssize_t real_write(int fd, const void *buf, std::size_t n);
ssize_t real_pread(int fd, void *buf, std::size_t n, off_t off);
int real_close(int fd);
void *real_mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off);
int real_fstat(int fd, struct stat *st);
// The C library's syscall with all six arguments given: the board's own
// syscall() reads six, which a shorter call from inside the board would
// leave it reading past (sanitizers say so).
long real_syscall6(long number, long a, long b, long c, long d, long e, long f);
inline long syscall_arg(long v) { return v; }
inline long syscall_arg(const void *p) {
  return static_cast<long>(reinterpret_cast<std::intptr_t>(p));
}
template <typename... A>
long real_syscall(long number, A... args) {
  static_assert(sizeof...(A) <= 6);
  const long v[6] = {syscall_arg(args)...};
  return real_syscall6(number, v[0], v[1], v[2], v[3], v[4], v[5]);
}
DIR *real_opendir(const char *path);
DIR *real_fdopendir(int fd);
struct dirent *real_readdir(DIR *d);
struct dirent64 *real_readdir64(DIR *d);
int real_closedir(DIR *d);
ssize_t real_readlink_at(int dirfd, const char *path, char *buf, std::size_t size);
int real_poll(struct pollfd *fds, nfds_t n, int timeout);
int real_epoll_wait(int epfd, struct epoll_event *ev, int max, int timeout);
int real_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev);

// Sets errno and returns -1.
int fail(int err);

// A page: the unit a caller's buffer is touched in, and what a sysfs
// attribute holds at most.
inline constexpr std::size_t kPage = 4096;

// True for a pointer the kernel would answer with EFAULT whatever the
// process maps: null and the rest of the first page, which is never mapped.
inline bool bad_address(const void *p) { return reinterpret_cast<std::uintptr_t>(p) < kPage; }

// Touches one byte of every page of [p, p + n) as a read, or, `writable`,
// as a write that leaves the byte as it is: a buffer the program may not
// use (unmapped, read-only) then faults here, in the program that passed
// it, before the board lock is taken. Pointers into the first page are
// left to the caller's EFAULT.
void touch_pages(const void *p, std::size_t n, bool writable);
// One byte of it: a read, or a compare-and-swap of the byte with itself,
// a write the program's other threads cannot lose a store of theirs to.
[[gnu::always_inline]] inline void touch_byte(const void *p, bool writable) {
  if (!writable) {
    static_cast<void>(*static_cast<const volatile unsigned char *>(p));
    return;
  }
  auto *byte = static_cast<unsigned char *>(const_cast<void *>(p));
  unsigned char seen = __atomic_load_n(byte, __ATOMIC_RELAXED);
  (void)__atomic_compare_exchange_n(byte, &seen, seen, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}
// touch_pages without the call for the usual buffer, within one page.
[[gnu::always_inline]] inline void touch(const void *p, std::size_t n, bool writable) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (n == 0 || a < kPage || n > kPage - (a & (kPage - 1))) return touch_pages(p, n, writable);
  touch_byte(p, writable);
}

}  // namespace vboard
