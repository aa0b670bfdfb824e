// The libc entry points the board interposes (each listed in
// interposed.def, whose declarations they are compiled against). Each
// entry point asks descriptors.cpp whether the path or descriptor is
// virtual and otherwise passes the call on to libc's own (real_of)
// unchanged; nothing else lives here.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <alloca.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "internal.h"
#include "interposed.h"

namespace vboard {
namespace {

// The board's own lock calls syscall() (futex) with the lock held: find
// the real one when the library loads, not under the lock, where the
// loader's own lock would be taken inside the board's.
__attribute__((constructor(101))) void resolve_syscall_early() { (void)real_of<&::syscall>(); }
}  // namespace
long real_syscall6(long number, long a, long b, long c, long d, long e, long f) {
  return real_of<&::syscall>()(number, a, b, c, d, e, f);
}
namespace {

// The syscall fallbacks below cover the case of a libc that cannot be
// found at all (see next_symbol).
int real_dup_any(int oldfd, int, int) { return real_of<&::dup>()(oldfd); }
int real_dup2_any(int oldfd, int newfd, int) { return real_of<&::dup2>()(oldfd, newfd); }
int real_dup3_any(int oldfd, int newfd, int flags) { return real_of<&::dup3>()(oldfd, newfd, flags); }

int real_open_any(int dirfd, const char *path, int flags, mode_t mode, bool at, bool large) {
  if (at) {
    auto f = large ? real_of<&::openat64>() : real_of<&::openat>();
    if (f == nullptr) return static_cast<int>(real_of<&::syscall>()(SYS_openat, dirfd, path, flags, mode));
    return f(dirfd, path, flags, mode);
  }
  auto f = large ? real_of<&::open64>() : real_of<&::open>();
  if (f == nullptr) return static_cast<int>(real_of<&::syscall>()(SYS_openat, AT_FDCWD, path, flags, mode));
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
  out.st_rdev = in.st_rdev;
  out.st_atim = in.st_atim;
  out.st_mtim = in.st_mtim;
  out.st_ctim = in.st_ctim;
}

// 0 or -1 with errno when virtual, 1 when real.
template <typename Stat>
int stat_path(int dirfd, const char *path, Stat *out, bool follow = true) {
  struct stat st {};
  const int r = v_stat_path(dirfd, path, st, follow);
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

// ----- copies and vectors

// What a board descriptor is, for the calls that move data between files.
enum class board_kind { real, regular, other };

board_kind kind_of(int fd, struct stat *st_out = nullptr) {
  if (!maybe_virtual(fd)) return board_kind::real;
  struct stat st {};
  if (v_stat_fd(fd, st) != 0) return board_kind::real;
  if (st_out != nullptr) *st_out = st;
  return S_ISREG(st.st_mode) ? board_kind::regular : board_kind::other;
}

// The kernel's answer for a file without splice support (the devices in
// /dev, directories): EINVAL.
int unspliceable(board_kind k) { return k == board_kind::other ? EINVAL : 0; }

// Scatter/gather on a board file: one store or one read, as the kernel
// makes a single call of it for sysfs. `at` as for pread, null for the
// descriptor's own offset.
routed vector_transfer(int fd, const struct iovec *iov, int count, const off_t *at, bool writing) {
  if (!maybe_virtual(fd) || !is_virtual(fd)) return {false, 0};
  if (count < 0 || count > IOV_MAX) return {true, fail(EINVAL)};
  if (count > 0 && bad_address(iov)) return {true, fail(EFAULT)};
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len > static_cast<std::size_t>(SSIZE_MAX) - total) return {true, fail(EINVAL)};
    total += iov[i].iov_len;
  }
  std::vector<char> buf(total);
  if (writing) {
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
      if (iov[i].iov_len == 0) continue;
      if (bad_address(iov[i].iov_base)) return {true, fail(EFAULT)};
      std::memcpy(buf.data() + pos, iov[i].iov_base, iov[i].iov_len);
      pos += iov[i].iov_len;
    }
    return v_write(fd, buf.data(), total, at);
  }
  const auto r = v_read(fd, buf.data(), total, at);
  if (!r.handled || r.result <= 0) return r;
  std::size_t left = static_cast<std::size_t>(r.result), pos = 0;
  for (int i = 0; i < count && left > 0; ++i) {
    const std::size_t k = std::min(iov[i].iov_len, left);
    if (k == 0) continue;
    if (bad_address(iov[i].iov_base)) return {true, fail(EFAULT)};
    std::memcpy(iov[i].iov_base, buf.data() + pos, k);
    pos += k;
    left -= k;
  }
  return r;
}

// preadv2/pwritev2 flags: sysfs takes the synchronous ones as no-ops and
// refuses RWF_NOWAIT, as a file system without nowait support does.
bool flags_allowed(int flags) {
  return (flags & ~(RWF_HIPRI | RWF_DSYNC | RWF_SYNC | RWF_APPEND)) == 0;
}

// An offset of the 64-bit calls that off_t cannot hold: past any board
// file's end on a 32-bit build, where the file reads as empty.
template <typename Off>
bool fits(Off off) {
  return static_cast<Off>(static_cast<off_t>(off)) == off;
}

// The positioned vector calls on a board descriptor. `flags` is given for
// the "2" forms, where an offset of -1 is the descriptor's own, as for
// readv and writev. An offset past what off_t holds reads nothing and
// writes nothing (EFBIG), as the kernel's own limit does.
template <bool Writing, typename Off>
routed vector_at(int fd, const struct iovec *iov, int count, Off off, const int *flags) {
  if (!maybe_virtual(fd) || !is_virtual(fd)) return {false, 0};
  if (flags != nullptr && !flags_allowed(*flags)) return {true, fail(EOPNOTSUPP)};
  if (flags != nullptr && off == -1) return vector_transfer(fd, iov, count, nullptr, Writing);
  if (off < 0) return {true, fail(EINVAL)};
  if (!fits(off)) return {true, Writing ? fail(EFBIG) : 0};
  const off_t at = static_cast<off_t>(off);
  return vector_transfer(fd, iov, count, &at, Writing);
}

ssize_t real_read_at(int fd, void *buf, std::size_t n, const off64_t *at) {
  if (at == nullptr) return real_read(fd, buf, n);
  return real_of<&::pread64>()(fd, buf, n, *at);
}

ssize_t transfer(int fd, bool board, void *buf, std::size_t n, const off64_t *at, bool writing) {
  if (!board) {
    if (!writing) return real_read_at(fd, buf, n, at);
    if (at == nullptr) return real_write(fd, buf, n);
    return real_of<&::pwrite64>()(fd, buf, n, *at);
  }
  if (at != nullptr && !fits(*at)) return writing ? fail(EFBIG) : 0;
  const off_t o = at != nullptr ? static_cast<off_t>(*at) : 0;
  const auto r = writing ? v_write(fd, buf, n, at != nullptr ? &o : nullptr)
                         : v_read(fd, buf, n, at != nullptr ? &o : nullptr);
  return r.result;
}

// The copy behind sendfile and copy_file_range when a board file is one
// end: a page at a time, as the kernel splices a sysfs attribute, so a
// store reaches the file as one write per page. The descriptors' own
// offsets move unless an offset is given; bytes read but not taken by the
// writer are given back to a reader without an offset.
ssize_t copy_pages(int out, bool out_board, off64_t *out_off, int in, bool in_board,
                   off64_t *in_off, std::size_t count) {
  char buf[kPage];
  std::size_t done = 0;
  int err = 0;
  while (done < count) {
    const std::size_t want = std::min(count - done, sizeof buf);
    const ssize_t got = transfer(in, in_board, buf, want, in_off, false);
    if (got <= 0) {
      if (got < 0) err = errno;
      break;
    }
    const ssize_t put = transfer(out, out_board, buf, static_cast<std::size_t>(got), out_off, true);
    const ssize_t taken = put > 0 ? put : 0;
    if (put < 0) err = errno;
    if (in_off != nullptr) *in_off += taken;
    if (out_off != nullptr) *out_off += taken;
    if (taken < got && in_off == nullptr) lseek64(in, taken - got, SEEK_CUR);
    done += static_cast<std::size_t>(taken);
    if (taken < got) break;
  }
  if (done == 0 && err != 0) return fail(err);
  return static_cast<ssize_t>(done);
}

template <typename Off>
ssize_t sendfile_any(int out, int in, Off *offset, std::size_t count, bool &handled) {
  const board_kind ik = kind_of(in), ok = kind_of(out);
  handled = ik != board_kind::real || ok != board_kind::real;
  if (!handled) return 0;
  if (const int e = unspliceable(ik) ? unspliceable(ik) : unspliceable(ok)) return fail(e);
  if (offset != nullptr && bad_address(offset)) return fail(EFAULT);
  off64_t at = offset != nullptr ? static_cast<off64_t>(*offset) : 0;
  if (at < 0) return fail(EINVAL);
  const ssize_t r = copy_pages(out, ok != board_kind::real, nullptr, in, ik != board_kind::real,
                               offset != nullptr ? &at : nullptr, count);
  if (offset != nullptr) *offset = static_cast<Off>(at);
  return r;
}

bool is_pipe(int fd) {
  struct stat st {};
  return real_fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// ----- the file systems of the tree

constexpr long kSysfsMagic = 0x62656572;
constexpr long kTmpfsMagic = 0x01021994;
// statfs marks its f_flags as filled with this bit; statvfs drops it.
constexpr long kStValid = 0x0020;

// What statfs says of a board node: sysfs (mounted nosuid, nodev, noexec)
// for the GPIO tree; for the devices, devtmpfs, which reports itself as
// tmpfs: the machine's own /dev gives the figures.
void board_fs(const struct stat &st, struct statfs &out) {
  std::memset(&out, 0, sizeof out);
  if (S_ISCHR(st.st_mode) && real_of<&::statfs>()("/dev", &out) == 0) {
    out.f_type = kTmpfsMagic;
    return;
  }
  std::memset(&out, 0, sizeof out);  // a failed statfs may have left some
  const long page = sysconf(_SC_PAGESIZE);
  out.f_type = S_ISCHR(st.st_mode) ? kTmpfsMagic : kSysfsMagic;
  out.f_bsize = page > 0 ? page : 4096;
  out.f_frsize = out.f_bsize;
  out.f_namelen = NAME_MAX;
  out.f_flags = kStValid | ST_NOSUID | ST_RELATIME | (S_ISCHR(st.st_mode) ? 0 : ST_NODEV | ST_NOEXEC);
}

// 0 and `out` filled, -1 with errno, or 1 when real.
int fs_path(const char *path, struct statfs &out) {
  struct stat st {};
  const int r = v_stat_path(AT_FDCWD, path, st, true);
  if (r == 0) board_fs(st, out);
  return r;
}
int fs_fd(int fd, struct statfs &out) {
  struct stat st {};
  const int r = v_stat_fd(fd, st);
  if (r == 0) board_fs(st, out);
  return r;
}

template <typename Out>
void copy_statfs(const struct statfs &in, Out &out) {
  std::memset(&out, 0, sizeof out);
  out.f_type = in.f_type;
  out.f_bsize = in.f_bsize;
  out.f_blocks = in.f_blocks;
  out.f_bfree = in.f_bfree;
  out.f_bavail = in.f_bavail;
  out.f_files = in.f_files;
  out.f_ffree = in.f_ffree;
  out.f_fsid = in.f_fsid;
  out.f_namelen = in.f_namelen;
  out.f_frsize = in.f_frsize;
  out.f_flags = in.f_flags;
}

// statvfs as libc derives it from statfs.
template <typename Out>
void to_statvfs(const struct statfs &in, Out &out) {
  std::memset(&out, 0, sizeof out);
  out.f_bsize = static_cast<unsigned long>(in.f_bsize);
  out.f_frsize = static_cast<unsigned long>(in.f_frsize != 0 ? in.f_frsize : in.f_bsize);
  out.f_blocks = in.f_blocks;
  out.f_bfree = in.f_bfree;
  out.f_bavail = in.f_bavail;
  out.f_files = in.f_files;
  out.f_ffree = in.f_ffree;
  out.f_favail = in.f_ffree;
  std::memcpy(&out.f_fsid, &in.f_fsid, std::min(sizeof out.f_fsid, sizeof in.f_fsid));
  out.f_flag = static_cast<unsigned long>(in.f_flags & ~kStValid);
  out.f_namemax = static_cast<unsigned long>(in.f_namelen);
}

}  // namespace

int real_open(const char *path, int flags, mode_t mode) {
  if (auto f = real_of<&::open>()) return f(path, flags, mode);
  return static_cast<int>(real_of<&::syscall>()(SYS_openat, AT_FDCWD, path, flags, mode));
}
ssize_t real_read(int fd, void *buf, std::size_t n) {
  if (auto f = real_of<&::read>()) return f(fd, buf, n);
  return real_of<&::syscall>()(SYS_read, fd, buf, n);
}
ssize_t real_write(int fd, const void *buf, std::size_t n) {
  if (auto f = real_of<&::write>()) return f(fd, buf, n);
  return real_of<&::syscall>()(SYS_write, fd, buf, n);
}
ssize_t real_pread(int fd, void *buf, std::size_t n, off_t off) {
  return real_of<&::pread>()(fd, buf, n, off);
}
int real_close(int fd) {
  if (auto f = real_of<&::close>()) return f(fd);
  return static_cast<int>(real_of<&::syscall>()(SYS_close, fd));
}
DIR *real_opendir(const char *path) { return real_of<&::opendir>()(path); }
void *real_mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off) {
  return real_of<&::mmap>()(addr, len, prot, flags, fd, off);
}
DIR *real_fdopendir(int fd) { return real_of<&::fdopendir>()(fd); }
struct dirent *real_readdir(DIR *d) {
  return real_of<&::readdir>()(d);
}
struct dirent64 *real_readdir64(DIR *d) {
  return real_of<&::readdir64>()(d);
}
int real_closedir(DIR *d) { return real_of<&::closedir>()(d); }
int real_poll(struct pollfd *fds, nfds_t n, int timeout) { return real_of<&::poll>()(fds, n, timeout); }
int real_epoll_wait(int epfd, struct epoll_event *ev, int max, int timeout) {
  return real_of<&::epoll_wait>()(epfd, ev, max, timeout);
}
int real_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev) {
  return real_of<&::epoll_ctl>()(epfd, op, fd, ev);
}

int real_fstat(int fd, struct stat *st) {
  if (auto f = real_of<&::fstat>()) return f(fd, st);
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
  return r.handled ? r.result : real_of<&::pread>()(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  const auto r = v_write(fd, buf, n, &off);
  return r.handled ? r.result : real_of<&::pwrite>()(fd, buf, n, off);
}
ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_read(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_of<&::pread64>()(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_write(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_of<&::pwrite64>()(fd, buf, n, off);
}

int close(int fd) {
  if (kept_fd(fd)) {
    errno = EBADF;  // the board's own: never the program's to close
    return -1;
  }
  const auto r = v_close(fd);
  if (!r.handled) {
    const int closed = real_close(fd);
    const int err = errno;
    epoll_closed(fd);
    errno = err;
    return closed;
  }
  if (fd <= 2) {
    const int err = errno;
    after_close(fd);
    errno = err;
  }
  return static_cast<int>(r.result);
}

off_t lseek(int fd, off_t off, int whence) noexcept {
  const auto r = v_seek(fd, off, whence);
  return r.handled ? static_cast<off_t>(r.result) : real_of<&::lseek>()(fd, off, whence);
}
off64_t lseek64(int fd, off64_t off, int whence) noexcept {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_seek(fd, o, whence);
    if (r.handled) return r.result;
  }
  return real_of<&::lseek64>()(fd, off, whence);
}

int dup(int fd) noexcept {
  if (!maybe_virtual(fd)) return real_of<&::dup>()(fd);
  return dup_virtual(fd, -1, 0, real_dup_any, false);
}
// A dup2 or dup3 onto a number the board keeps moves the board's
// descriptor away first; the kernel would only fail for a bad `oldfd`.
static bool clear_target(int oldfd, int newfd) {
  if (oldfd == newfd || !kept_fd(newfd) || kept_fd(oldfd)) return true;
  if (real_of<&::fcntl>()(oldfd, F_GETFD) < 0) return false;  // errno EBADF
  if (make_way(newfd)) return true;
  errno = EMFILE;
  return false;
}
int dup2(int oldfd, int newfd) noexcept {
  if (!clear_target(oldfd, newfd)) return -1;
  if (!maybe_virtual(oldfd) && !maybe_virtual(newfd)) return real_of<&::dup2>()(oldfd, newfd);
  return dup_virtual(oldfd, newfd, 0, real_dup2_any, true);
}
int dup3(int oldfd, int newfd, int flags) noexcept {
  if (!clear_target(oldfd, newfd)) return -1;
  if (!maybe_virtual(oldfd) && !maybe_virtual(newfd)) return real_of<&::dup3>()(oldfd, newfd, flags);
  return dup_virtual(oldfd, newfd, flags, real_dup3_any, true);
}

static int fcntl_any(bool large, int fd, int cmd, void *arg) {
  auto real = large ? real_of<&::fcntl64>() : real_of<&::fcntl>();
  if (real == nullptr) real = real_of<&::fcntl>();
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
  return r.handled ? static_cast<int>(r.result) : real_of<&::ioctl>()(fd, request, arg);
}

int stat(const char *path, struct stat *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_of<&::stat>()(path, st);
}
int stat64(const char *path, struct stat64 *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_of<&::stat64>()(path, st);
}
int lstat(const char *path, struct stat *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st, false);
  return r != 1 ? r : real_of<&::lstat>()(path, st);
}
int lstat64(const char *path, struct stat64 *st) noexcept {
  const int r = stat_path(AT_FDCWD, path, st, false);
  return r != 1 ? r : real_of<&::lstat64>()(path, st);
}
int fstat(int fd, struct stat *st) noexcept {
  const int r = stat_fd(fd, st);
  return r != 1 ? r : real_of<&::fstat>()(fd, st);
}
int fstat64(int fd, struct stat64 *st) noexcept {
  const int r = stat_fd(fd, st);
  return r != 1 ? r : real_of<&::fstat64>()(fd, st);
}
int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = stat_fd(dirfd, st);
  else
    r = stat_path(dirfd, path, st, (flags & AT_SYMLINK_NOFOLLOW) == 0);
  return r != 1 ? r : real_of<&::fstatat>()(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = stat_fd(dirfd, st);
  else
    r = stat_path(dirfd, path, st, (flags & AT_SYMLINK_NOFOLLOW) == 0);
  return r != 1 ? r : real_of<&::fstatat64>()(dirfd, path, st, flags);
}
int access(const char *path, int mode) noexcept {
  const int r = v_access(AT_FDCWD, path, mode);
  return r != 1 ? r : real_of<&::access>()(path, mode);
}
int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
  const int r = v_access(dirfd, path, mode, (flags & AT_EACCESS) != 0);
  return r != 1 ? r : real_of<&::faccessat>()(dirfd, path, mode, flags);
}

ssize_t readv(int fd, const struct iovec *iov, int count) {
  const auto r = vector_transfer(fd, iov, count, nullptr, false);
  return r.handled ? r.result : real_of<&::readv>()(fd, iov, count);
}
ssize_t writev(int fd, const struct iovec *iov, int count) {
  const auto r = vector_transfer(fd, iov, count, nullptr, true);
  return r.handled ? r.result : real_of<&::writev>()(fd, iov, count);
}
ssize_t preadv(int fd, const struct iovec *iov, int count, off_t off) {
  const auto r = vector_at<false>(fd, iov, count, off, nullptr);
  return r.handled ? r.result : real_of<&::preadv>()(fd, iov, count, off);
}
ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t off) {
  const auto r = vector_at<true>(fd, iov, count, off, nullptr);
  return r.handled ? r.result : real_of<&::pwritev>()(fd, iov, count, off);
}
ssize_t preadv64(int fd, const struct iovec *iov, int count, off64_t off) {
  const auto r = vector_at<false>(fd, iov, count, off, nullptr);
  return r.handled ? r.result : real_of<&::preadv64>()(fd, iov, count, off);
}
ssize_t pwritev64(int fd, const struct iovec *iov, int count, off64_t off) {
  const auto r = vector_at<true>(fd, iov, count, off, nullptr);
  return r.handled ? r.result : real_of<&::pwritev64>()(fd, iov, count, off);
}
ssize_t preadv2(int fd, const struct iovec *iov, int count, off_t off, int flags) {
  const auto r = vector_at<false>(fd, iov, count, off, &flags);
  return r.handled ? r.result : real_of<&::preadv2>()(fd, iov, count, off, flags);
}
ssize_t pwritev2(int fd, const struct iovec *iov, int count, off_t off, int flags) {
  const auto r = vector_at<true>(fd, iov, count, off, &flags);
  return r.handled ? r.result : real_of<&::pwritev2>()(fd, iov, count, off, flags);
}
ssize_t preadv64v2(int fd, const struct iovec *iov, int count, off64_t off, int flags) {
  const auto r = vector_at<false>(fd, iov, count, off, &flags);
  return r.handled ? r.result : real_of<&::preadv64v2>()(fd, iov, count, off, flags);
}
ssize_t pwritev64v2(int fd, const struct iovec *iov, int count, off64_t off, int flags) {
  const auto r = vector_at<true>(fd, iov, count, off, &flags);
  return r.handled ? r.result : real_of<&::pwritev64v2>()(fd, iov, count, off, flags);
}

// sysfs attributes splice (sendfile works out of them and into them); the
// devices in /dev do not.
ssize_t sendfile(int out, int in, off_t *offset, size_t count) noexcept {
  bool handled = false;
  const ssize_t r = sendfile_any(out, in, offset, count, handled);
  return handled ? r : real_of<&::sendfile>()(out, in, offset, count);
}
ssize_t sendfile64(int out, int in, off64_t *offset, size_t count) noexcept {
  bool handled = false;
  const ssize_t r = sendfile_any(out, in, offset, count, handled);
  return handled ? r : real_of<&::sendfile64>()(out, in, offset, count);
}

// splice moves between a board file and a pipe, one page at most per call.
ssize_t splice(int in, off64_t *in_off, int out, off64_t *out_off, size_t len,
               unsigned int flags) {
  const board_kind ik = kind_of(in), ok = kind_of(out);
  if (ik == board_kind::real && ok == board_kind::real)
    return real_of<&::splice>()(in, in_off, out, out_off, len, flags);
  if (const int e = unspliceable(ik) ? unspliceable(ik) : unspliceable(ok)) return fail(e);
  // One end must be a pipe, and a pipe has no offset.
  const bool from_board = ik != board_kind::real;
  const int pipe_end = from_board ? out : in;
  if (!is_pipe(pipe_end)) return fail(EINVAL);
  if ((from_board ? out_off : in_off) != nullptr) return fail(ESPIPE);
  off64_t *board_off = from_board ? in_off : out_off;
  if (board_off != nullptr && (bad_address(board_off) || *board_off < 0))
    return fail(bad_address(board_off) ? EFAULT : EINVAL);
  return copy_pages(out, ok != board_kind::real, out_off, in, from_board, in_off,
                    std::min(len, kPage));
}

// Between two board files the kernel splices (same file system); between
// a board file and any other file system it refuses with EXDEV, as it does
// for sysfs on kernels since 5.19; devices and directories are refused
// as for any file that is not regular.
ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t n,
                        unsigned int flags) {
  struct stat ist {}, ost {};
  const board_kind ik = kind_of(in, &ist), ok = kind_of(out, &ost);
  if (ik == board_kind::real && ok == board_kind::real)
    return real_of<&::copy_file_range>()(in, in_off, out, out_off, n, flags);
  if (flags != 0) return fail(EINVAL);
  for (const auto &[k, st] : {std::pair{ik, &ist}, std::pair{ok, &ost}}) {
    if (k == board_kind::other) return fail(S_ISDIR(st->st_mode) ? EISDIR : EINVAL);
  }
  if (ik == board_kind::real || ok == board_kind::real) {
    // The real end's own checks come first in the kernel; a bad
    // descriptor is EBADF, not EXDEV.
    struct stat st {};
    if (real_fstat(ik == board_kind::real ? in : out, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    return fail(EXDEV);
  }
  off64_t start = in_off != nullptr ? *in_off : lseek64(in, 0, SEEK_CUR);
  if (start < 0 || (out_off != nullptr && *out_off < 0)) return fail(EINVAL);
  // Clamped to the source's size, as the kernel does before splicing.
  const off64_t size = ist.st_size;
  const std::size_t room = start >= size ? 0 : static_cast<std::size_t>(size - start);
  return copy_pages(out, true, out_off, in, true, in_off, std::min(n, room));
}

// The tree's and the devices' file systems, as fs_path and fs_fd give
// them, in the form each call returns; anything else is the kernel's.
extern "C++" {
template <typename Key, typename Out, typename Real>
int board_fs(Key key, Out *out, Real real) {
  struct statfs fs {};
  int r = 0;
  if constexpr (std::is_same_v<Key, int>) {
    r = fs_fd(key, fs);
  } else {
    r = fs_path(key, fs);
  }
  if constexpr (std::is_same_v<Out, struct statfs> || std::is_same_v<Out, struct statfs64>) {
    if (r == 0) copy_statfs(fs, *out);
  } else {
    if (r == 0) to_statvfs(fs, *out);
  }
  return r != 1 ? r : real(key, out);
}
}  // extern "C++"

int statfs(const char *path, struct statfs *out) noexcept {
  return board_fs(path, out, real_of<&::statfs>());
}
int statfs64(const char *path, struct statfs64 *out) noexcept {
  return board_fs(path, out, real_of<&::statfs64>());
}
int fstatfs(int fd, struct statfs *out) noexcept { return board_fs(fd, out, real_of<&::fstatfs>()); }
int fstatfs64(int fd, struct statfs64 *out) noexcept {
  return board_fs(fd, out, real_of<&::fstatfs64>());
}
int statvfs(const char *path, struct statvfs *out) noexcept {
  return board_fs(path, out, real_of<&::statvfs>());
}
int statvfs64(const char *path, struct statvfs64 *out) noexcept {
  return board_fs(path, out, real_of<&::statvfs64>());
}
int fstatvfs(int fd, struct statvfs *out) noexcept { return board_fs(fd, out, real_of<&::fstatvfs>()); }
int fstatvfs64(int fd, struct statvfs64 *out) noexcept {
  return board_fs(fd, out, real_of<&::fstatvfs64>());
}

int close_range(unsigned int first, unsigned int last, int flags) noexcept {
  if (first > last) return real_of<&::close_range>()(first, last, flags);  // EINVAL
  const int r = close_around_kept(first, last, flags, real_of<&::close_range>());
  if (r == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0) forget_range(first, last);
  return r;
}
void closefrom(int lowfd) noexcept {
  if (lowfd < 0) return real_of<&::closefrom>()(lowfd);
  if (close_around_kept(static_cast<unsigned int>(lowfd), ~0U, 0, real_of<&::close_range>()) != 0)
    real_of<&::closefrom>()(lowfd);  // no close_range in this kernel
  forget_range(static_cast<unsigned int>(lowfd), ~0U);
}

FILE *fopen(const char *path, const char *mode) {
  bool handled = false;
  FILE *fp = fopen_virtual(path, mode, handled);
  if (handled) return fp;
  if (auto f = real_of<&::fopen>()) return f(path, mode);
  errno = ENOSYS;
  return nullptr;
}
FILE *fopen64(const char *path, const char *mode) {
  bool handled = false;
  FILE *fp = fopen_virtual(path, mode, handled);
  if (handled) return fp;
  if (auto f = real_of<&::fopen64>()) return f(path, mode);
  errno = ENOSYS;
  return nullptr;
}
FILE *fdopen(int fd, const char *mode) noexcept {
  // libc's own streams would read the stand-in descriptor directly.
  if (maybe_virtual(fd) && is_virtual(fd)) return stream_over(fd, mode);
  return real_of<&::fdopen>()(fd, mode);
}

// The descriptor under a board stream, which stdio does not know.
int fileno(FILE *fp) noexcept {
  const int fd = stream_fd(fp);
  return fd != -2 ? fd : real_of<&::fileno>()(fp);
}
int fileno_unlocked(FILE *fp) noexcept {
  const int fd = stream_fd(fp);
  return fd != -2 ? fd : real_of<&::fileno_unlocked>()(fp);
}

// ----- directories

DIR *opendir(const char *path) {
  bool handled = false;
  void *d = dir_open(path, handled);
  return handled ? static_cast<DIR *>(d) : real_of<&::opendir>()(path);
}
DIR *fdopendir(int fd) {
  if (maybe_virtual(fd)) {
    bool handled = false;
    void *d = dir_from_fd(fd, handled);
    if (handled) return static_cast<DIR *>(d);
  }
  return real_of<&::fdopendir>()(fd);
}
struct dirent *readdir(DIR *d) {
  if (board_dirs_open() && is_board_dir(d)) return static_cast<struct dirent *>(dir_read(d, false));
  return real_of<&::readdir>()(d);
}
struct dirent64 *readdir64(DIR *d) {
  if (board_dirs_open() && is_board_dir(d))
    return static_cast<struct dirent64 *>(dir_read(d, true));
  return real_of<&::readdir64>()(d);
}
// Deprecated, but programs still call them, and the board's own stand in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
int readdir_r(DIR *d, struct dirent *entry, struct dirent **result) {
  if (!board_dirs_open() || !is_board_dir(d)) return real_of<&::readdir_r>()(d, entry, result);
  const auto *e = static_cast<struct dirent *>(dir_read(d, false));
  if (e != nullptr) std::memcpy(entry, e, sizeof *entry);
  *result = e != nullptr ? entry : nullptr;
  return 0;
}
int readdir64_r(DIR *d, struct dirent64 *entry, struct dirent64 **result) {
  if (!board_dirs_open() || !is_board_dir(d)) return real_of<&::readdir64_r>()(d, entry, result);
  const auto *e = static_cast<struct dirent64 *>(dir_read(d, true));
  if (e != nullptr) std::memcpy(entry, e, sizeof *entry);
  *result = e != nullptr ? entry : nullptr;
  return 0;
}
#pragma GCC diagnostic pop
int closedir(DIR *d) {
  if (board_dirs_open()) {
    const int r = dir_close(d);
    if (r != 1) return r;
  }
  return real_of<&::closedir>()(d);
}
int dirfd(DIR *d) noexcept {
  if (board_dirs_open()) {
    const int r = dir_fd(d);
    if (r != -2) return r;
  }
  return real_of<&::dirfd>()(d);
}
void rewinddir(DIR *d) {
  if (board_dirs_open() && is_board_dir(d)) return dir_rewind(d);
  real_of<&::rewinddir>()(d);
}
long telldir(DIR *d) noexcept {
  if (board_dirs_open() && is_board_dir(d)) return dir_tell(d);
  return real_of<&::telldir>()(d);
}
void seekdir(DIR *d, long pos) noexcept {
  if (board_dirs_open() && is_board_dir(d)) return dir_seek(d, pos);
  real_of<&::seekdir>()(d, pos);
}

}  // extern "C"

namespace {

// scandir over a directory the board lists: the same contract as libc's.
template <typename Ent>
int scan(const char *path, Ent ***list, int (*keep)(const Ent *),
         int (*order)(const Ent **, const Ent **), bool large, bool &handled) {
  void *d = dir_open(path, handled);
  if (!handled) return 0;
  if (d == nullptr) return -1;
  std::vector<Ent *> out;
  while (const auto *e = static_cast<const Ent *>(dir_read(d, large))) {
    if (keep != nullptr && keep(e) == 0) continue;
    auto *copy = static_cast<Ent *>(std::malloc(sizeof(Ent)));
    if (copy == nullptr) {
      for (Ent *c : out) std::free(c);
      dir_close(d);
      errno = ENOMEM;
      return -1;
    }
    std::memcpy(copy, e, sizeof(Ent));
    out.push_back(copy);
  }
  dir_close(d);
  auto **array = static_cast<Ent **>(std::malloc((out.size() + 1) * sizeof(Ent *)));
  if (array == nullptr) {
    for (Ent *c : out) std::free(c);
    errno = ENOMEM;
    return -1;
  }
  std::copy(out.begin(), out.end(), array);
  if (order != nullptr) {
    std::qsort(array, out.size(), sizeof(Ent *),
               reinterpret_cast<int (*)(const void *, const void *)>(order));
  }
  *list = array;
  return static_cast<int>(out.size());
}

// The directory part of a glob pattern before its first wildcard.
bool glob_may_be_virtual(const char *pattern) {
  if (pattern == nullptr || pattern[0] != '/') return false;
  std::string p(pattern);
  const auto wild = p.find_first_of("*?[");
  p = p.substr(0, wild);
  const auto slash = p.rfind('/');
  p = slash == 0 ? "/" : p.substr(0, slash);
  return dir_may_be_virtual(p.c_str());
}

void *glob_opendir(const char *path) { return opendir(path); }
struct dirent *glob_readdir(void *d) {
  return readdir(static_cast<DIR *>(d));
}
struct dirent64 *glob_readdir64(void *d) {
  return readdir64(static_cast<DIR *>(d));
}
void glob_closedir(void *d) { closedir(static_cast<DIR *>(d)); }
int glob_stat(const char *p, struct stat *st) { return stat(p, st); }
int glob_lstat(const char *p, struct stat *st) { return lstat(p, st); }
int glob_stat64(const char *p, struct stat64 *st) { return stat64(p, st); }
int glob_lstat64(const char *p, struct stat64 *st) { return lstat64(p, st); }

void fill_statx(const struct stat &st, struct statx &x) {
  std::memset(&x, 0, sizeof x);
  x.stx_mask = STATX_BASIC_STATS;
  x.stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
  x.stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
  x.stx_uid = st.st_uid;
  x.stx_gid = st.st_gid;
  x.stx_mode = static_cast<std::uint16_t>(st.st_mode);
  x.stx_ino = st.st_ino;
  x.stx_size = static_cast<std::uint64_t>(st.st_size);
  x.stx_blocks = static_cast<std::uint64_t>(st.st_blocks);
  auto ts = [](const timespec &t) {
    return statx_timestamp{t.tv_sec, static_cast<std::uint32_t>(t.tv_nsec), 0};
  };
  x.stx_atime = ts(st.st_atim);
  x.stx_mtime = ts(st.st_mtim);
  x.stx_ctime = ts(st.st_ctim);
  x.stx_btime = ts(st.st_ctim);
  x.stx_rdev_major = major(st.st_rdev);
  x.stx_rdev_minor = minor(st.st_rdev);
  x.stx_dev_major = major(st.st_dev);
  x.stx_dev_minor = minor(st.st_dev);
}

std::int64_t ms_to_ns(int ms) { return ms < 0 ? -1 : static_cast<std::int64_t>(ms) * 1000000; }
// A time the kernel refuses with EINVAL.
bool bad_time(const timespec *t) {
  return t != nullptr && (t->tv_sec < 0 || t->tv_nsec < 0 || t->tv_nsec >= 1000000000);
}
std::int64_t ts_to_ns(const timespec *t) {
  if (t == nullptr) return -1;
  return static_cast<std::int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec;
}

// select and pselect as poll: read is POLLIN, write POLLOUT, except
// POLLPRI, with POLLERR counting as readable and writable, as the kernel
// maps them.
int select_any(int n, fd_set *r, fd_set *w, fd_set *e, std::int64_t timeout_ns, bool &handled) {
  handled = false;
  if (n <= 0 || n > FD_SETSIZE) return 0;
  std::vector<pollfd> fds;
  bool any = false;
  for (int fd = 0; fd < n; ++fd) {
    short ev = 0;
    if (r != nullptr && FD_ISSET(fd, r)) ev |= POLLIN;
    if (w != nullptr && FD_ISSET(fd, w)) ev |= POLLOUT;
    if (e != nullptr && FD_ISSET(fd, e)) ev |= POLLPRI;
    if (ev == 0) continue;
    if (maybe_virtual(fd) && is_virtual(fd)) any = true;
    fds.push_back({fd, ev, 0});
  }
  if (!any) return 0;
  const int k = v_poll(fds.data(), fds.size(), timeout_ns, handled);
  if (!handled || k < 0) return k;
  if (r != nullptr) FD_ZERO(r);
  if (w != nullptr) FD_ZERO(w);
  if (e != nullptr) FD_ZERO(e);
  int count = 0;
  for (const auto &p : fds) {
    if (r != nullptr && (p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      FD_SET(p.fd, r);
      ++count;
    }
    if (w != nullptr && (p.events & POLLOUT) && (p.revents & (POLLOUT | POLLERR))) {
      FD_SET(p.fd, w);
      ++count;
    }
    if (e != nullptr && (p.events & POLLPRI) && (p.revents & POLLPRI)) {
      FD_SET(p.fd, e);
      ++count;
    }
  }
  return count;
}

// Runs `wait` with `mask` as the signal mask, as ppoll and pselect do.
template <typename F>
int with_mask(const sigset_t *mask, F wait) {
  sigset_t old;
  if (mask != nullptr) pthread_sigmask(SIG_SETMASK, mask, &old);
  const int r = wait();
  const int err = errno;
  if (mask != nullptr) pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return r;
}

}  // namespace

extern "C" {

int scandir(const char *path, struct dirent ***list, int (*keep)(const struct dirent *),
            int (*order)(const struct dirent **, const struct dirent **)) {
  bool handled = false;
  const int r = scan(path, list, keep, order, false, handled);
  return handled ? r : real_of<&::scandir>()(path, list, keep, order);
}
int scandir64(const char *path, struct dirent64 ***list, int (*keep)(const struct dirent64 *),
              int (*order)(const struct dirent64 **, const struct dirent64 **)) {
  bool handled = false;
  const int r = scan(path, list, keep, order, true, handled);
  return handled ? r : real_of<&::scandir64>()(path, list, keep, order);
}

// libc's glob reads directories through its own inner calls; given its
// directory hooks it goes through the board.
int glob(const char *pattern, int flags, int (*errfunc)(const char *, int), glob_t *g) {
  if (glob_may_be_virtual(pattern) && (flags & GLOB_ALTDIRFUNC) == 0) {
    g->gl_opendir = glob_opendir;
    g->gl_readdir = glob_readdir;
    g->gl_closedir = glob_closedir;
    g->gl_stat = glob_stat;
    g->gl_lstat = glob_lstat;
    flags |= GLOB_ALTDIRFUNC;
  }
  return real_of<&::glob>()(pattern, flags, errfunc, g);
}
int glob64(const char *pattern, int flags, int (*errfunc)(const char *, int), glob64_t *g) {
  if (glob_may_be_virtual(pattern) && (flags & GLOB_ALTDIRFUNC) == 0) {
    g->gl_opendir = glob_opendir;
    g->gl_readdir = glob_readdir64;
    g->gl_closedir = glob_closedir;
    g->gl_stat = glob_stat64;
    g->gl_lstat = glob_lstat64;
    flags |= GLOB_ALTDIRFUNC;
  }
  return real_of<&::glob64>()(pattern, flags, errfunc, g);
}

// ----- links

ssize_t readlink(const char *path, char *buf, size_t size) noexcept {
  const ssize_t r = v_readlink(AT_FDCWD, path, buf, size);
  return r != -2 ? r : real_of<&::readlink>()(path, buf, size);
}
ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size) noexcept {
  const ssize_t r = v_readlink(dirfd, path, buf, size);
  return r != -2 ? r : real_of<&::readlinkat>()(dirfd, path, buf, size);
}
char *realpath(const char *path, char *resolved) noexcept {
  bool handled = false;
  char *r = v_realpath(path, resolved, handled);
  return handled ? r : real_of<&::realpath>()(path, resolved);
}
char *__realpath_chk(const char *path, char *resolved, size_t resolvedlen) {
  if (resolvedlen < PATH_MAX) __chk_fail();
  return realpath(path, resolved);
}
char *canonicalize_file_name(const char *path) noexcept {
  bool handled = false;
  char *r = v_realpath(path, nullptr, handled);
  return handled ? r : real_of<&::canonicalize_file_name>()(path);
}

int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *out) noexcept {
  struct stat st {};
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = v_stat_fd(dirfd, st);
  else
    r = v_stat_path(dirfd, path, st, (flags & AT_SYMLINK_NOFOLLOW) == 0);
  if (r == 0) fill_statx(st, *out);
  return r != 1 ? r : real_of<&::statx>()(dirfd, path, flags, mask, out);
}

// Runtimes that make their own system calls through syscall() (libuv's
// statx, so Node's fs.stat and fs.realpath) reach the board for the file
// system numbers when the path or descriptor is the board's; every other
// call goes to the C library's syscall unchanged, with all six arguments.
long syscall(long number, ...) noexcept {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long &x : a) x = va_arg(ap, long);
  va_end(ap);
  const auto real = [&] { return real_of<&::syscall>()(number, a[0], a[1], a[2], a[3], a[4], a[5]); };
  const auto board_path = [](long dirfd, long path) {
    std::string full, norm;
    return virtual_path(static_cast<int>(dirfd), reinterpret_cast<const char *>(path), full) &&
           provider_for(full.c_str(), norm) != nullptr;
  };
  // A descriptor call on a board descriptor: as the C library's call would
  // go, else it would reach the empty stand-in and succeed on nothing.
  const auto board_fd = [&] {
    const int fd = static_cast<int>(a[0]);
    return maybe_virtual(fd) && is_virtual(fd);
  };
  const int dirfd = static_cast<int>(a[0]);
  const auto *path = reinterpret_cast<const char *>(a[1]);
  const auto *buf = reinterpret_cast<void *>(a[1]);
  const auto n = static_cast<size_t>(a[2]);
  switch (number) {
    case SYS_read:
      return board_fd() ? read(dirfd, const_cast<void *>(buf), n) : real();
    case SYS_write:
      return board_fd() ? write(dirfd, buf, n) : real();
    case SYS_close:
      return board_fd() ? close(dirfd) : real();
    case SYS_lseek:
      return board_fd() ? lseek(dirfd, static_cast<off_t>(a[1]), static_cast<int>(a[2])) : real();
    case SYS_ioctl:
      return board_fd() ? ioctl(dirfd, static_cast<unsigned long>(a[1]), a[2]) : real();
#if __SIZEOF_LONG__ == 8
    // On 32-bit builds the offset comes in two halves, placed by the ABI.
    case SYS_pread64:
      return board_fd() ? pread(dirfd, const_cast<void *>(buf), n, static_cast<off_t>(a[3]))
                        : real();
    case SYS_pwrite64:
      return board_fd() ? pwrite(dirfd, buf, n, static_cast<off_t>(a[3])) : real();
#endif
    case SYS_statx:
      if (!board_path(a[0], a[1])) return real();
      return statx(dirfd, path, static_cast<int>(a[2]), static_cast<unsigned int>(a[3]),
                   reinterpret_cast<struct statx *>(a[4]));
    case SYS_openat:
      if (!board_path(a[0], a[1])) return real();
      return open_any(dirfd, path, static_cast<int>(a[2]), static_cast<mode_t>(a[3]), true, true);
#ifdef SYS_newfstatat
    case SYS_newfstatat:
      if (!board_path(a[0], a[1])) return real();
      return fstatat(dirfd, path, reinterpret_cast<struct stat *>(a[2]), static_cast<int>(a[3]));
#endif
#ifdef SYS_fstatat64
    case SYS_fstatat64:
      if (!board_path(a[0], a[1])) return real();
      return fstatat64(dirfd, path, reinterpret_cast<struct stat64 *>(a[2]),
                       static_cast<int>(a[3]));
#endif
    case SYS_readlinkat:
      if (!board_path(a[0], a[1])) return real();
      return readlinkat(dirfd, path, reinterpret_cast<char *>(a[2]), static_cast<size_t>(a[3]));
#ifdef SYS_open
    case SYS_open:
      if (!board_path(AT_FDCWD, a[0])) return real();
      return open_any(AT_FDCWD, reinterpret_cast<const char *>(a[0]), static_cast<int>(a[1]),
                      static_cast<mode_t>(a[2]), false, true);
#endif
    default:
      return real();
  }
}


// Mapping: sysfs attributes, spidev and the GPIO character device have
// no mmap routine, so the kernel answers ENODEV; the stand-in would map
// an empty file and succeed.
static bool maps_board_file(int flags, int fd) {
  return (flags & MAP_ANONYMOUS) == 0 && maybe_virtual(fd) && is_virtual(fd);
}
void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept {
  if (maps_board_file(flags, fd)) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return real_of<&::mmap>()(addr, len, prot, flags, fd, off);
}
void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept {
  if (maps_board_file(flags, fd)) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return real_of<&::mmap64>()(addr, len, prot, flags, fd, off);
}

// Extended attributes: sysfs nodes have none (ls -l asks for ACLs).
static int xattr_path(const char *path, bool follow) {
  struct stat st {};
  return stat_path(AT_FDCWD, path, &st, follow);
}
ssize_t getxattr(const char *path, const char *name, void *value, size_t size) noexcept {
  const int r = xattr_path(path, true);
  if (r == 1) return real_of<&::getxattr>()(path, name, value, size);
  return r < 0 ? r : fail(ENODATA);
}
ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size) noexcept {
  const int r = xattr_path(path, false);
  if (r == 1) return real_of<&::lgetxattr>()(path, name, value, size);
  return r < 0 ? r : fail(ENODATA);
}
ssize_t fgetxattr(int fd, const char *name, void *value, size_t size) noexcept {
  if (maybe_virtual(fd) && is_virtual(fd)) return fail(ENODATA);
  return real_of<&::fgetxattr>()(fd, name, value, size);
}
ssize_t listxattr(const char *path, char *list, size_t size) noexcept {
  const int r = xattr_path(path, true);
  return r == 1 ? real_of<&::listxattr>()(path, list, size) : r;
}
ssize_t llistxattr(const char *path, char *list, size_t size) noexcept {
  const int r = xattr_path(path, false);
  return r == 1 ? real_of<&::llistxattr>()(path, list, size) : r;
}
ssize_t flistxattr(int fd, char *list, size_t size) noexcept {
  if (maybe_virtual(fd) && is_virtual(fd)) return 0;
  return real_of<&::flistxattr>()(fd, list, size);
}

// ----- waiting

int poll(struct pollfd *fds, nfds_t n, int timeout) {
  bool handled = false;
  const int r = v_poll(fds, n, ms_to_ns(timeout), handled);
  return handled ? r : real_of<&::poll>()(fds, n, timeout);
}
int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
  if (fdslen / sizeof(*fds) < n) __chk_fail();
  return poll(fds, n, timeout);
}
int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *mask) {
  if (bad_time(t)) return fail(EINVAL);  // else a wait without end
  bool handled = false;
  int r = 0;
  if (n > 0) {
    r = with_mask(mask, [&] { return v_poll(fds, n, ts_to_ns(t), handled); });
  }
  return handled ? r : real_of<&::ppoll>()(fds, n, t, mask);
}
int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t) {
  // The kernel carries whole seconds out of tv_usec but refuses a negative
  // time, which would otherwise wait without end.
  if (t != nullptr && (t->tv_sec < 0 || t->tv_usec < 0)) return fail(EINVAL);
  bool handled = false;
  const std::int64_t ns =
      t == nullptr ? -1 : static_cast<std::int64_t>(t->tv_sec) * 1000000000 + t->tv_usec * 1000;
  const int k = select_any(n, r, w, e, ns, handled);
  return handled ? k : real_of<&::select>()(n, r, w, e, t);
}
int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *t,
            const sigset_t *mask) {
  if (bad_time(t)) return fail(EINVAL);
  bool handled = false;
  const int k = with_mask(mask, [&] { return select_any(n, r, w, e, ts_to_ns(t), handled); });
  return handled ? k : real_of<&::pselect>()(n, r, w, e, t, mask);
}

int epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev) noexcept {
  const int r = v_epoll_ctl(epfd, op, fd, ev);
  return r != 1 ? r : real_of<&::epoll_ctl>()(epfd, op, fd, ev);
}
// A wait on a set with no board descriptor is the kernel's; when the
// board's wake-up ends it (another thread added one), the wait goes on
// through the board for what is left of the time.
static int epoll_any(int epfd, struct epoll_event *ev, int max, int timeout,
                     const sigset_t *mask, bool pwait) {
  const std::int64_t deadline =
      timeout < 0 ? -1 : static_cast<std::int64_t>(monotonic_ns()) + ms_to_ns(timeout);
  while (true) {
    std::int64_t left_ns = -1;
    if (deadline >= 0)
      left_ns = std::max<std::int64_t>(0, deadline - static_cast<std::int64_t>(monotonic_ns()));
    const int r = pwait ? with_mask(mask, [&] { return v_epoll_wait(epfd, ev, max, left_ns); })
                        : v_epoll_wait(epfd, ev, max, left_ns);
    if (r != -2) return r;
    const int ms = left_ns < 0 ? -1 : static_cast<int>((left_ns + 999999) / 1000000);
    const int k = pwait ? real_of<&::epoll_pwait>()(epfd, ev, max, ms, mask)
                        : real_of<&::epoll_wait>()(epfd, ev, max, ms);
    bool woken = false;
    const int kept = epoll_drop_wakes(epfd, ev, k, woken);
    if (kept > 0 || !woken) return kept;
  }
}
int epoll_wait(int epfd, struct epoll_event *ev, int max, int timeout) {
  return epoll_any(epfd, ev, max, timeout, nullptr, false);
}
int epoll_pwait(int epfd, struct epoll_event *ev, int max, int timeout, const sigset_t *mask) {
  return epoll_any(epfd, ev, max, timeout, mask, true);
}

// ----- Starting programs
//
// A program started by exec, a spawn, system or popen finds the board
// descriptors it inherits named, so its own board takes them up (see
// before_exec). libc's exec family and spawns reach the kernel through
// its internal calls, so each is stood in for here.

extern "C++" {
namespace {
// Runs `start` with the board's descriptors named for the new program;
// what the start leaves in this process (a failed exec, a spawn's return)
// gets the descriptors back as they were. Keeps start's errno.
template <typename Start>
auto starting(bool all, Start start) {
  if (maybe_virtual(0)) before_exec(all);
  const auto r = start();
  const int err = errno;
  if (maybe_virtual(0)) after_exec();
  errno = err;
  return r;
}

template <typename Real>
Real or_enosys(Real fn) {
  if (fn == nullptr) errno = ENOSYS;
  return fn;
}

// execl's arguments, counted (with the terminating null) from `ap`.
std::size_t count_args(va_list ap) {
  va_list c;
  va_copy(c, ap);
  std::size_t n = 1;
  while (va_arg(c, char *) != nullptr) ++n;
  va_end(c);
  return n + 1;
}
void fill_args(char **argv, const char *arg, va_list ap, std::size_t n) {
  argv[0] = const_cast<char *>(arg);
  for (std::size_t i = 1; i < n; ++i) argv[i] = va_arg(ap, char *);
}
}  // namespace
}  // extern "C++"

int execve(const char *path, char *const argv[], char *const envp[]) {
  return starting(false, [&] { return real_of<&::execve>()(path, argv, envp); });
}
int execv(const char *path, char *const argv[]) {
  return starting(false, [&] { return real_of<&::execv>()(path, argv); });
}
int execvp(const char *file, char *const argv[]) {
  return starting(false, [&] { return real_of<&::execvp>()(file, argv); });
}
int execvpe(const char *file, char *const argv[], char *const envp[]) {
  auto real = or_enosys(real_of<&::execvpe>());
  return real == nullptr ? -1 : starting(false, [&] { return real(file, argv, envp); });
}
int fexecve(int fd, char *const argv[], char *const envp[]) {
  return starting(false, [&] { return real_of<&::fexecve>()(fd, argv, envp); });
}
int execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int flags) {
  auto real = or_enosys(real_of<&::execveat>());
  return real == nullptr ? -1 : starting(false, [&] { return real(dirfd, path, argv, envp, flags); });
}
int execl(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  const std::size_t n = count_args(ap);
  auto **argv = static_cast<char **>(alloca(n * sizeof(char *)));
  fill_args(argv, arg, ap, n);
  va_end(ap);
  return execv(path, argv);
}
int execlp(const char *file, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  const std::size_t n = count_args(ap);
  auto **argv = static_cast<char **>(alloca(n * sizeof(char *)));
  fill_args(argv, arg, ap, n);
  va_end(ap);
  return execvp(file, argv);
}
int execle(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  const std::size_t n = count_args(ap);
  auto **argv = static_cast<char **>(alloca(n * sizeof(char *)));
  fill_args(argv, arg, ap, n);
  char *const *envp = va_arg(ap, char *const *);
  va_end(ap);
  return execve(path, argv, envp);
}
int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  return starting(true, [&] { return real_of<&::posix_spawn>()(pid, path, actions, attr, argv, envp); });
}
int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  return starting(true,
                  [&] { return real_of<&::posix_spawnp>()(pid, file, actions, attr, argv, envp); });
}
int system(const char *command) {
  return starting(false, [&] { return real_of<&::system>()(command); });
}
FILE *popen(const char *command, const char *type) {
  return starting(false, [&] { return real_of<&::popen>()(command, type); });
}

}  // extern "C"
