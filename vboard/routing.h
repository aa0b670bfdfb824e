#pragma once
// Directories, links, waiting and descriptor routing, for the libc entry points.
// Part of internal.h: see there for where things live and the locking rule.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "chip.h"
#include "vboard.h"
#include "real.h"

namespace vboard {

// ---------------------------------------------------------------------------
// Directories, links and waiting (directories.cpp, wait.cpp), for the libc
// entry points; each takes the lock itself.

// The path a call names: `path` as given when absolute, or joined to the
// virtual directory `dirfd` is open on. False when it names nothing
// virtual (relative to the working directory or to a real directory).
bool virtual_path(int dirfd, const char *path, std::string &out);
// readlink on a virtual path: the length, -1 with errno, or -2 when real.
ssize_t v_readlink(int dirfd, const char *path, char *buf, std::size_t size);
// realpath resolving virtual links; `handled` false when nothing in the
// path is virtual.
char *v_realpath(const char *path, char *resolved, bool &handled);

// Directory streams: a DIR the board made, or a real one it passes on.
bool board_dirs_open();  // cheap: any stream of ours open at all?
bool is_board_dir(void *dir);
void *dir_open(const char *path, bool &handled);
void *dir_from_fd(int fd, bool &handled);
void *dir_read(void *dir, bool large);  // struct dirent * or dirent64 *
int dir_close(void *dir);
int dir_fd(void *dir);
void dir_rewind(void *dir);
long dir_tell(void *dir);
void dir_seek(void *dir, long pos);
// True when directory listings of `path` may involve the board.
bool dir_may_be_virtual(const char *path);

// poll over descriptors that may be virtual: the count, or -1 with errno;
// `handled` false when none is. timeout_ns < 0 waits without limit.
int v_poll(struct pollfd *fds, unsigned long n, std::int64_t timeout_ns, bool &handled);
// epoll registrations of virtual descriptors, kept by the board since the
// kernel's epoll cannot see them: 0, -1 with errno, or 1 when real.
int v_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev);
// epoll_wait over an epoll set with virtual registrations: the count, -1
// with errno, or -2 when the set has none.
int v_epoll_wait(int epfd, struct epoll_event *events, int max, std::int64_t timeout_ns);
// Takes the board's own wake-ups (an add to a set another thread waits
// on) out of `n` events the kernel reported; `woken` when there was one.
// The events left.
int epoll_drop_wakes(int epfd, struct epoll_event *events, int n, bool &woken);
// The program closed `epfd`: the eventfd the board added to it goes too,
// and so do the board descriptors it held.
void epoll_closed(int epfd);

// ---------------------------------------------------------------------------
// Descriptor routing (descriptors.cpp), for the libc entry points. Each
// takes the board lock itself; none is called with it held.

// Result of an operation on a descriptor that may be virtual.
struct routed {
  bool handled;    // false: the descriptor is real, call libc
  ssize_t result;  // the call's result (-1 with errno set on failure)
};

// True when `path` ends in a slash, "/." or "/..": the kernel's path walk
// then wants a directory there and follows a last link to one, for lstat,
// readlink and O_NOFOLLOW too (normalise drops what tells it).
bool names_directory(const char *path);
// The handler whose prefix `path` lies under, with the path normalised
// into `norm`; null when none (cheap, no lock needed).
const provider *provider_for(const char *path, std::string &norm);
// Every registered handler, for listings. Lock held.
std::size_t provider_count();
const provider &provider_at(std::size_t i);
// The virtual file open on `fd` and its path, or null. Lock held.
file *virtual_file(int fd, std::string *path = nullptr);

// A new descriptor for `f`, a file an ioctl made (a line request): a
// stand-in named after `path` like any other, close-on-exec with
// O_CLOEXEC in `flags`. The descriptor, or -errno. Lock held.
int add_descriptor(std::unique_ptr<file> f, const std::string &path, int flags);

// Cheap check without the lock: could `fd` be virtual at all?
bool maybe_virtual(int fd);
// Opens `path` when it is virtual: the descriptor, -1 with errno, or -2
// when the path is real. `dirfd` is openat's, AT_FDCWD for open.
int open_virtual(int dirfd, const char *path, int flags);
// `at` is the offset of a pread/pwrite, null for read/write.
routed v_read(int fd, void *buf, std::size_t n, const off_t *at);
routed v_write(int fd, const void *buf, std::size_t n, const off_t *at);
routed v_close(int fd);
routed v_seek(int fd, off_t off, int whence);
routed v_ioctl(int fd, unsigned long request, void *arg);
// Stat of a virtual path or descriptor: 0, -1 with errno, or 1 when real.
int v_stat_path(int dirfd, const char *path, struct stat &st, bool follow);
int v_stat_fd(int fd, struct stat &st);
// `effective`: as faccessat with AT_EACCESS, the effective user's rights.
int v_access(int dirfd, const char *path, int mode, bool effective = false);
// dup/dup2/dup3/F_DUPFD: runs `real` (which returns the new descriptor)
// under the lock, so the new descriptor shares the virtual file; keeps
// the standard streams in step when one of 0-2 changes.
using dup_fn = int (*)(int oldfd, int newfd, int flags);
int dup_virtual(int oldfd, int newfd, int flags, dup_fn real, bool onto);
// fcntl on a descriptor that may be virtual; `real` is libc's fcntl.
using fcntl_fn = int (*)(int, int, ...);
int fcntl_virtual(int fd, int cmd, void *arg, fcntl_fn real);
// The standard stream of descriptor 0-2 that closed stops going through
// the board.
void after_close(int fd);
// Before an exec, or a spawn whose child inherits descriptors (`all`:
// file actions may copy close-on-exec ones too): each board descriptor
// that the new program will hold gets a stand-in of its own that names
// its file, for the new program's board to adopt. after_exec undoes what
// it must when the exec failed or the spawn is done. No allocation.
void before_exec(bool all);
void after_exec();
// Descriptors closed in bulk stop being virtual.
void forget_range(unsigned int first, unsigned int last);
// True when `fd` is a virtual descriptor (takes the lock).
bool is_virtual(int fd);
// fopen of a virtual path: the stream, or null with errno; `handled` false
// when the path is real.
FILE *fopen_virtual(const char *path, const char *mode, bool &handled);
// A stream over a virtual descriptor that goes through the board.
FILE *stream_over(int fd, const char *mode);
// The board descriptor under a stream the board made, or -2 for any
// other stream (cheap while the board has made none).
int stream_fd(FILE *fp);

}  // namespace vboard
