#pragma once
// Descriptor routing (descriptors.cpp): the table of virtual descriptors
// and the files behind them, and each call on a descriptor or path that
// may be the board's, for the libc entry points. Each takes the board lock
// itself; none is called with it held, except where marked. Included by
// internal.h.
// See internal.h for where things live and the locking rule.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "descriptor_checks.h"
#include "device.h"

namespace vboard {

// Result of an operation on a descriptor that may be virtual.
struct routed {
  bool handled;    // false: the descriptor is real, call libc
  ssize_t result;  // the call's result (-1 with errno set on failure)
};

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
// fopen of a virtual path: the stream, or null with errno; `handled` false
// when the path is real.
FILE *fopen_virtual(const char *path, const char *mode, bool &handled);
// A stream over a virtual descriptor that goes through the board.
FILE *stream_over(int fd, const char *mode);
// The board descriptor under a stream the board made, or -2 for any
// other stream (cheap while the board has made none).
int stream_fd(FILE *fp);

// Takes over the board descriptors this process inherited through exec;
// adoption_done ends the slow path that first descriptor calls take
// until then. Lock held.
void adopt_inherited();
void adoption_done();

}  // namespace vboard
