#pragma once
// Files and device handlers: what a device of the board implements.
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

namespace vboard {

namespace config {
class reader;
}

// ---------------------------------------------------------------------------
// Files and device handlers

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
// or -errno. Lock held.
using adopt_fn = int (*)(std::string_view token, std::unique_ptr<file> &out);
bool add_adopter(adopt_fn fn);

// One name in a virtual directory listing; `type` is a DT_* value.
struct dir_entry {
  std::string name;
  unsigned char type;
};

struct provider {
  const char *prefix;  // absolute path prefix, e.g. "/sys/class/gpio"
  // Opens `path` (normalised: no "//", "/./", ".." or trailing slash;
  // starting with prefix). Returns 0 and sets `out`, or -errno, or 1 to
  // decline a path that only shares the prefix (it then reaches the real
  // file system). `flags` are open's flags. Lock held.
  int (*open)(const char *path, int flags, std::unique_ptr<file> &out);
  // Fills `st` for `path` the way stat (`follow`) or lstat would. Returns
  // 0, -errno, or 1 to decline, as open. Lock held.
  int (*stat)(const char *path, struct stat &st, bool follow);
  // The target of the symbolic link `path`: 0, -EINVAL when `path` is no
  // link, -errno, or 1 to decline. May be null (no links). Lock held.
  int (*readlink)(const char *path, std::string &target);
  // Lists directory `path` (normalised; any absolute path, also outside the
  // prefix): 0 with `out` the whole listing of a virtual directory, 2 with
  // `out` names to add to the real directory `path` (the devices in /dev),
  // 1 when it has nothing there, or -errno. May be null. Lock held.
  int (*list)(const char *path, std::vector<dir_entry> &out);
  // Reads the handler's own VBOARD_* variables (through the readers
  // below); `restore` as for configure_core. Returns false when one was
  // malformed (it was reported and its default kept). Lock held.
  bool (*configure)(bool restore);
  // Back to power-on: what the handler's devices hold goes. Lock held.
  void (*reset)();
  // Removes the handler's injected faults. Lock held.
  void (*clear_faults)();
};

// Registers a handler; later prefixes are tried first. Returns true, or
// false (and says so on standard error) when the table is full.
bool add_provider(const provider &p);

// ---------------------------------------------------------------------------
// A device's part of the shared board object
//
// A device that keeps state in the shared board object (layout.h) owns
// that part of it: it sets it at power-on, tells what makes it unusable
// when a process finds the object, and describes it for `vboard show`.
// The core knows none of it. They run in `order`, lowest first, whatever
// order their files load in; each hook may be null.
struct shared_board;
struct part {
  const char *name;
  int order;
  // Sets the part's fields on a board whose bytes were all just zeroed.
  void (*power_on)(shared_board &b);
  // Why the part found on a board object cannot be run from (a short
  // phrase, "the chip's state is invalid"), or null. The object may hold
  // anything: read each field once.
  const char *(*damage)(const shared_board &b);
  // Appends the part's lines of `vboard show` to `out`. Lock held.
  void (*show)(const shared_board &b, std::string &out);
  // This process now runs on `b` (first use, or a power cycle that took
  // up a board refused before). Lock held.
  void (*attached)(shared_board &b);
  // A power cycle has reset and configured every device. Lock held.
  void (*powered)();
  // The part's own slice of the board object (0 bytes: none), aligned to
  // `slice_align` (at most 16); the core lays the slices out after the
  // header, by `slice_place` (lowest first; `order` is where the part's
  // lines go in `vboard show`), and stores where this one starts in
  // `*slice_at` (board_slice finds it). Their names and sizes make the
  // layout's fingerprint: an object made with other slices is refused.
  std::uint32_t slice_size;
  std::uint32_t slice_align;
  int slice_place;
  std::size_t *slice_at;
  // Reads the part's VBOARD_* variables through `r` (its `restore` as for
  // configure_core), ahead of the core's own variables and of the
  // handlers' configure hooks; the parts' hooks run by `configure_place`,
  // lowest first, so that the board's complaints come in one fixed order
  // whatever order the parts load or show in. Lock held.
  void (*configure)(config::reader &r);
  int configure_place;
};

// The slice at `at` (a part's *slice_at) of board `b`.
inline void *board_slice(shared_board &b, std::size_t at) {
  return reinterpret_cast<unsigned char *>(&b) + at;
}
inline const void *board_slice(const shared_board &b, std::size_t at) {
  return reinterpret_cast<const unsigned char *>(&b) + at;
}

// Appends one line of `vboard show`, formatted as printf does, to `out`;
// a line is cut at 255 bytes.
void show_line(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The constructor priority a part registers from: ahead of every ordinary
// constructor, the board's first use among them, e.g.
//   [[gnu::constructor(vboard::kRegisterPriority)]] void add_my_part() { add_part({...}); }
constexpr int kRegisterPriority = 110;
// Registers a part. Returns false, after saying so, when the table or the
// object has no room for it or the board was already in use (its power-on
// and checks are past); the device then registers no handler either.
bool add_part(const part &p);

// Fills a stat record for a virtual node: `mode` gives type and permission
// bits; the inode number is derived from the path so it is stable.
void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size = 4096);

// Collapses "//", "/./" and "dir/.." and drops a trailing slash.
std::string normalise(const char *path);
// normalise as the kernel's path walk resolves: ".." after a board link
// is the parent of the link's target. Takes the lock when the path has
// a "..", so never call it with the lock held on such a path.
std::string walk_path(const char *path);

}  // namespace vboard
