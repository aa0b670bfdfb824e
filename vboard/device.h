#pragma once
// Device handlers: a path prefix and the routines that open, stat, list
// and read links under it, as each device registers one, and the core's
// calls of every handler's hooks. Included by internal.h; a device that
// keeps state in the board object also has a part (part.h).
// See internal.h for where things live and the locking rule.
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "file.h"

namespace vboard {

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

// Registers what a device's requests of type `magic` (_IOC_TYPE) do to the
// caller's memory: `probe` touches it (touch, real.h) before the board lock
// is taken, so that a bad pointer faults in the caller without the lock
// held. It runs only for the board's descriptors, and must touch only what
// the request will use, as the driver would copy it.
using ioctl_probe = void (*)(unsigned long request, void *arg);
bool add_ioctl_probe(unsigned magic, ioctl_probe probe);

// Fills a stat record for a virtual node: `mode` gives type and permission
// bits; the inode number is derived from the path so it is stable.
void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size = 4096);

// Per-handler hooks for every registered handler. Lock held.
bool configure_devices(bool restore);
void reset_devices();
void clear_device_faults();
// Registers a handler in the table add_provider fills (descriptors.cpp).
bool register_provider(const provider &p);

}  // namespace vboard
