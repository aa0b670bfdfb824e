#pragma once
// The board's own descriptors: the board object's, the stand-ins' memfds,
// epoll wakers, the capture's; kept out of the program's reach, and the
// locks taken on them straight from the kernel (state.cpp). Included by
// internal.h.
// See internal.h for where things live and the locking rule.
#include <sys/types.h>

#include <atomic>

namespace vboard {

// A new descriptor (close-on-exec) on the shared board's object, for locks
// the kernel drops when a process ends; -1 on the private board. Lock held.
int board_object_fd();
// A descriptor of the board object that holds no lock, to look at others'
// locks with; -1 on the private board. Lock held.
int looking_fd();
// True when `fd` is open on the shared board's object. Lock held.
bool is_board_object(int fd);
// The board's own descriptors (those of board_object_fd, the stand-ins'
// memfd, epoll wakers, the capture) are kept out of the program's reach:
// keep_fd moves the one `owner` holds to the top of the descriptor table
// and guards it, close_kept
// closes it and sets `owner` to -1. kept_fd tells whether `fd` is one;
// make_way moves a kept `fd` to another number before the program puts a
// file there (false when it cannot); close_around_kept closes [first,
// last] with `real` (close_range) passing over kept descriptors.
void keep_fd(std::atomic<int> &owner);
// fcntl straight to the kernel: fcntl itself goes through the board.
long raw_fcntl(int fd, int cmd, long arg);
void close_kept(std::atomic<int> &owner);
bool kept_fd(int fd);
bool make_way(int fd);
using close_range_fn = int (*)(unsigned int, unsigned int, int);
int close_around_kept(unsigned int first, unsigned int last, int flags, close_range_fn real);
// An open-file-description lock on the byte at `at` of `fd`: `cmd` is
// F_OFD_SETLK (returns 0 or -1) or F_OFD_GETLK (returns the type that
// would conflict, F_UNLCK for none, or -1). Straight to the kernel: fcntl
// itself goes through the board.
int ofd_lock_byte(int fd, off_t at, short type, int cmd);

}  // namespace vboard
