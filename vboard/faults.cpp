// Faults on paths: a virtual file that fails to open with a given errno,
// or a node that is missing altogether. The core checks them before a
// device handler sees an open or a stat; handlers add their own ones
// (spidev's) through set_open_fault and set_missing.
#include <cerrno>
#include <string>
#include <vector>

#include "internal.h"

namespace vboard {
namespace {

struct open_fault {
  std::string path;  // normalised
  int err;
};

struct path_faults {
  std::vector<open_fault> open;
  std::vector<std::string> missing;  // normalised
};

path_faults &faults() {
  static path_faults &f = *new path_faults();
  return f;
}

}  // namespace

void clear_path_faults() {
  faults().open.clear();
  faults().missing.clear();
}

void set_open_fault(std::string_view path, int err) {
  auto &list = faults().open;
  const std::string norm = normalise(std::string(path).c_str());
  std::erase_if(list, [&](const open_fault &f) { return f.path == norm; });
  if (err != 0) list.push_back({norm, err});
}

void set_missing(std::string_view path, bool missing) {
  auto &list = faults().missing;
  const std::string norm = normalise(std::string(path).c_str());
  std::erase(list, norm);
  if (missing) list.push_back(norm);
}

bool is_missing(const std::string &path) {
  for (const auto &m : faults().missing) {
    if (m == path) return true;
  }
  return false;
}

int open_fault_for(const std::string &path) {
  for (const auto &f : faults().open) {
    if (f.path == path) return f.err;
  }
  return 0;
}

// "path:ERR[,path:ERR...]" and "path[,path...]" lists; `form` is what the
// complaint says was expected. Lock held.
bool add_open_faults(config::reader &r, const char *name, const char *form) {
  const char *v = r.get(name);
  if (v == nullptr) return true;
  for (auto item : config::split(v, ',')) {
    const auto colon = item.rfind(':');
    int err = 0;
    if (colon == std::string_view::npos || colon == 0 ||
        !config::parse_errno(item.substr(colon + 1), err)) {
      r.bad(name, v, form);
      return false;
    }
    set_open_fault(item.substr(0, colon), err);
  }
  return true;
}

bool add_missing(config::reader &r, const char *name, const char *form) {
  const char *v = r.get(name);
  if (v == nullptr) return true;
  for (auto item : config::split(v, ',')) {
    if (item.empty() || item[0] != '/') {
      r.bad(name, v, form);
      return false;
    }
    set_missing(item, true);
  }
  return true;
}

void configure_path_faults(config::reader &r) {
  clear_path_faults();
  add_open_faults(r, "VBOARD_FAIL_OPEN", "/path:ERRNO[,...]");
  add_missing(r, "VBOARD_MISSING", "/path[,...]");
}

}  // namespace vboard

using namespace vboard;

extern "C" {

int vboard_fault_open(const char *path, int err) {
  if (path == nullptr || path[0] != '/' || err < 0) return fail(EINVAL);
  const std::string name(path);  // the caller's memory, read with no lock held
  board_lock lock;
  ensure_ready();
  set_open_fault(name, err);
  return 0;
}

int vboard_fault_missing(const char *path, int missing) {
  if (path == nullptr || path[0] != '/') return fail(EINVAL);
  const std::string name(path);  // the caller's memory, read with no lock held
  board_lock lock;
  ensure_ready();
  set_missing(name, missing != 0);
  return 0;
}

int vboard_fault_export_missing(int missing) {
  return vboard_fault_missing("/sys/class/gpio/export", missing);
}

void vboard_clear_faults(void) {
  board_lock lock;
  ensure_ready();
  clear_path_faults();
  clear_device_faults();
}

}  // extern "C"
