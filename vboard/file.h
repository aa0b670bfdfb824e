#pragma once
// One open virtual file: what a device's open routine hands the core, and
// how a file lives on through exec. The descriptor table (descriptors.cpp)
// keeps them; every device implements some. Included by device.h.
// See internal.h for where things live and the locking rule.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "vboard_trace.h"

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
  // The most bytes of the caller's buffer a read or write of `n` would
  // copy now (the core touches a large buffer before it locks the board).
  // Default: a page, as sysfs copies; a file that may copy more says so.
  virtual std::size_t reach(std::size_t n) const;
  // Returns the ioctl's result (>= 0) or -errno. Default: -ENOTTY.
  virtual int ioctl(unsigned long request, void *arg, trace_note &note);
  // What fstat reports. Default: a regular file of 4096 bytes, like sysfs.
  virtual void stat(struct stat &st) const;
  // What poll reports for the file now (POLLIN ...), as the kernel's poll
  // routine would. Default: readable and writable, as sysfs and devices
  // without a poll routine are. Lock held.
  virtual int poll_mask() const;
  // True for a file whose read on a blocking descriptor waits until
  // poll_mask() reports POLLIN (or POLLERR): the core waits for the edge
  // with the lock released, then reads. Default: false.
  virtual bool read_waits() const { return false; }
  // A file with no path (one a device's request handed out) that can live
  // on in the program exec starts writes a token for its device's adopter
  // (add_adopter) into `buf` and readies itself to survive the exec; it
  // returns the token's length, or 0 when it cannot survive (the program
  // then finds a descriptor that answers ENODEV). exec_failed undoes the
  // readying. No allocation: it may run in a child of vfork.
  virtual int exec_token(char * /*buf*/, std::size_t /*n*/) { return 0; }
  virtual void exec_failed() {}
};

// Takes up, in a program exec started, a file that exec_token wrote
// `token` for: 0 with `out` set, 1 when the token is not the adopter's,
// or -errno. Lock held. The board's first use takes up what a program
// inherited, so an adopter registers before it (at kRegisterPriority).
using adopt_fn = int (*)(std::string_view token, std::unique_ptr<file> &out);
bool add_adopter(adopt_fn fn);

}  // namespace vboard
