#pragma once
// What the parts of the virtual board share and callers must not see.
//
// The core (board.cpp) interposes the libc calls, keeps the table of
// virtual descriptors, the faults, the inputs and the trace. Each kind of
// virtual file lives in a provider: a path prefix with an open and a stat
// routine. A provider registers itself from a static initialiser:
//
//   namespace {
//   const bool registered = vboard::add_provider({"/dev/spidev", open_fn, stat_fn});
//   }
//
// Registration may come before or after the board's own constructor; a
// late provider still gets the descriptors the process inherited through
// exec (virtual files are backed by memfds named after their path, so a
// new program image can recognise them).
//
// Locking: the core holds the board lock (one mutex) around every call into
// a provider or a file, so providers and files never lock anything
// themselves, and every routine below that is marked "lock held" must only be
// called from inside such a call. Inside, never call the interposed libc
// routines (open, read, write, fopen ...): use the real_* entry points.
//
// Results inside the board follow the kernel's convention: >= 0 for success,
// -errno for failure; the core turns them into -1 and errno for the caller.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "chip.h"
#include "vboard.h"

namespace vboard {

// Extra facts a file gives the trace about an ioctl (e.g. the bytes of an
// SPI message). Left alone, the event shows only request and result.
struct trace_note {
  std::uint64_t bytes = 0;
  std::size_t data_len = 0;
  unsigned char data[VBOARD_TRACE_DATA] = {};
  void keep(const void *bytes_in, std::size_t n);  // copies up to VBOARD_TRACE_DATA
};

// One open virtual file. dup'ed descriptors share the object (and offset),
// as they share an open file description in the kernel; it is destroyed
// when the last of them is closed.
class file {
 public:
  virtual ~file() = default;
  // Reads at `offset` and advances it. Returns bytes read or -errno.
  virtual ssize_t read(void *buf, std::size_t n, off_t &offset);
  // Writes at `offset` and advances it. Returns bytes taken or -errno.
  virtual ssize_t write(const void *buf, std::size_t n, off_t &offset);
  // Returns the ioctl's result (>= 0) or -errno. Default: -ENOTTY.
  virtual int ioctl(unsigned long request, void *arg, trace_note &note);
  // What fstat reports. Default: a regular file of 4096 bytes, like sysfs.
  virtual void stat(struct stat &st) const;
};

struct provider {
  const char *prefix;  // absolute path prefix, e.g. "/sys/class/gpio"
  // Opens `path` (normalised: no "//", "/./", ".." or trailing slash;
  // starting with prefix). Returns 0 and sets `out`, or -errno, or 1 to
  // decline a path that only shares the prefix (it then reaches the real
  // file system). `flags` are open's flags. Lock held.
  int (*open)(const char *path, int flags, std::unique_ptr<file> &out);
  // Fills `st` for `path` the way stat would. Returns 0, -errno, or 1 to
  // decline, as open. Lock held.
  int (*stat)(const char *path, struct stat &st);
};

// Registers a provider; later prefixes are tried first. Returns true.
bool add_provider(const provider &p);

// Fills a stat record for a virtual node: `mode` gives type and permission
// bits; the inode number is derived from the path so it is stable.
void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size = 4096);

// The shared chip model. Lock held.
mcp3008_model &chip();

// Board time in nanoseconds: CLOCK_MONOTONIC since the library loaded.
std::uint64_t now_ns();

// Appends one event to the trace (memory and VBOARD_TRACE file). Lock held.
void trace(int op, const char *file, unsigned long request, std::uint64_t bytes, const void *data,
           std::size_t data_len, std::int64_t result, int err);

// Transfer fault: when one is pending, consumes it and returns true with the
// result and errno the transfer must report instead of moving data. Lock held.
bool take_transfer_fault(int &result, int &err);

// Configuration read from the environment, with the defaults applied.
struct pin_wiring {
  int clock = 4;
  int dout = 27;
  int din = 5;
  int cs = 17;
};
// Current wiring of the chip's lines to GPIO pins. Lock held.
const pin_wiring &wiring();

// The GPIO side (gpio.cpp), for the core and the control calls.
// Reads VBOARD_NGPIO and VBOARD_STATE; with `unexport_all` every pin is
// released (also in a shared state file). Lock held.
void gpio_configure(bool unexport_all);
// Value file of `pin` reads empty (fault). Lock held.
bool empty_value_fault(int pin);
// For the control calls: with `level` false, 1 when `pin` is exported, 0
// when not; with `level` true, the level its value file reads, -1 when not
// exported. -1 for a number that is no pin. Lock held.
int gpio_pin_query(int pin, bool level);

// Real libc entry points (resolved with dlsym(RTLD_NEXT), safe to call
// before the library's constructors ran).
int real_open(const char *path, int flags, mode_t mode);
ssize_t real_read(int fd, void *buf, std::size_t n);
ssize_t real_write(int fd, const void *buf, std::size_t n);
int real_close(int fd);
int real_fstat(int fd, struct stat *st);

// Tells on standard error that a variable's value was malformed and is
// ignored; straight to the descriptor, since stdio may not be ready yet.
void complain(const char *var, const char *value);

}  // namespace vboard
