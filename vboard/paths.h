#pragma once
// Paths and directories of the virtual tree: normalising a path as the
// kernel's walk does, links, realpath and directory streams
// (descriptors.cpp, directories.cpp). Included by internal.h; the entry
// points and the devices use it.
// See internal.h for where things live and the locking rule.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace vboard {

// Collapses "//", "/./" and "dir/.." and drops a trailing slash.
std::string normalise(const char *path);
// normalise as the kernel's path walk resolves: ".." after a board link
// is the parent of the link's target. Takes the lock when the path has
// a "..", so never call it with the lock held on such a path.
std::string walk_path(const char *path);

// True when `path` ends in a slash, "/." or "/..": the kernel's path walk
// then wants a directory there and follows a last link to one, for lstat,
// readlink and O_NOFOLLOW too (normalise drops what tells it).
bool names_directory(const char *path);

// Directories and links (directories.cpp), for the libc entry points;
// each takes the lock itself.

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

}  // namespace vboard
