#pragma once
// The C library's names the board stands in for, from the one list of
// them (interposed.def): each declared with C linkage, so that a
// definition that differs from its entry fails to compile, and the C
// library's own definition of each, resolved on first use:
//   real_of<&::open>()(path, flags, mode)
// Included by the files that define the entry points. Read as a system
// header, as the C library's own declarations of the same names are: an
// entry may leave out the noexcept the C library declares (its definition
// then does too), but a definition never differs from its entry.
#pragma GCC system_header
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>

#include "next_symbol.h"

extern "C" {
#define VBOARD_LIBC(ret, name, params) ret name params;
#include "interposed.def"
#undef VBOARD_LIBC
// How the fortified entries stop a program that overran its buffer, as the
// C library's own do; declared by no header of the C library.
[[noreturn]] void __chk_fail(void);
}

namespace vboard {

// The symbol name of an entry of the list, by its definition.
template <auto Fn>
struct libc_entry;
#define VBOARD_LIBC(ret, name, params)             \
  template <>                                      \
  struct libc_entry<&::name> {                     \
    static constexpr const char *symbol = #name; \
  };
#include "interposed.def"
#undef VBOARD_LIBC

// The C library's definition of the entry `Fn`, or null when it has none.
template <auto Fn>
decltype(Fn) real_of() {
  static std::atomic<void *> slot{nullptr};
  return next_symbol<decltype(Fn)>(slot, libc_entry<Fn>::symbol);
}

}  // namespace vboard
