// The core of the virtual board: libc interposition, virtual descriptors,
// inputs, faults and the trace. Device files live in providers (gpio.cpp,
// spidev.cpp); this file only routes calls to them.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "internal.h"
#include "spidev.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace vboard {

// ---------------------------------------------------------------------------
// Real libc entry points

namespace {

// Resolved once, on first use. dlsym(RTLD_NEXT) does not call back into
// the calls interposed here, so no recursion guard is needed for it; the
// syscall fallbacks cover the case of a libc that cannot be found at all.
template <typename F>
F next(std::atomic<void *> &slot, const char *name) {
  void *p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<F>(p);
}

#define VBOARD_REAL(name, type)               \
  type real_##name##_fn() {                   \
    static std::atomic<void *> slot{nullptr}; \
    return next<type>(slot, #name);           \
  }

using open_t = int (*)(const char *, int, ...);
using openat_t = int (*)(int, const char *, int, ...);
using read_t = ssize_t (*)(int, void *, size_t);
using write_t = ssize_t (*)(int, const void *, size_t);
using pread_t = ssize_t (*)(int, void *, size_t, off_t);
using pwrite_t = ssize_t (*)(int, const void *, size_t, off_t);
using pread64_t = ssize_t (*)(int, void *, size_t, off64_t);
using pwrite64_t = ssize_t (*)(int, const void *, size_t, off64_t);
using close_t = int (*)(int);
using dup_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using fcntl_t = int (*)(int, int, ...);
using ioctl_t = int (*)(int, unsigned long, ...);
using lseek_t = off_t (*)(int, off_t, int);
using lseek64_t = off64_t (*)(int, off64_t, int);
using stat_t = int (*)(const char *, struct stat *);
using stat64_t = int (*)(const char *, struct stat64 *);
using fstat_t = int (*)(int, struct stat *);
using fstat64_t = int (*)(int, struct stat64 *);
using fstatat_t = int (*)(int, const char *, struct stat *, int);
using fstatat64_t = int (*)(int, const char *, struct stat64 *, int);
using access_t = int (*)(const char *, int);
using faccessat_t = int (*)(int, const char *, int, int);
using fopen_t = FILE *(*)(const char *, const char *);
using fdopen_t = FILE *(*)(int, const char *);
using cfr_t = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int);
using readv_t = ssize_t (*)(int, const struct iovec *, int);
using close_range_t = int (*)(unsigned int, unsigned int, int);
using closefrom_t = void (*)(int);

VBOARD_REAL(open, open_t)
VBOARD_REAL(open64, open_t)
VBOARD_REAL(openat, openat_t)
VBOARD_REAL(openat64, openat_t)
VBOARD_REAL(read, read_t)
VBOARD_REAL(write, write_t)
VBOARD_REAL(pread, pread_t)
VBOARD_REAL(pwrite, pwrite_t)
VBOARD_REAL(pread64, pread64_t)
VBOARD_REAL(pwrite64, pwrite64_t)
VBOARD_REAL(close, close_t)
VBOARD_REAL(dup, dup_t)
VBOARD_REAL(dup2, dup2_t)
VBOARD_REAL(dup3, dup3_t)
VBOARD_REAL(fcntl, fcntl_t)
VBOARD_REAL(fcntl64, fcntl_t)
VBOARD_REAL(ioctl, ioctl_t)
VBOARD_REAL(lseek, lseek_t)
VBOARD_REAL(lseek64, lseek64_t)
VBOARD_REAL(stat, stat_t)
VBOARD_REAL(stat64, stat64_t)
VBOARD_REAL(lstat, stat_t)
VBOARD_REAL(lstat64, stat64_t)
VBOARD_REAL(fstat, fstat_t)
VBOARD_REAL(fstat64, fstat64_t)
VBOARD_REAL(fstatat, fstatat_t)
VBOARD_REAL(fstatat64, fstatat64_t)
VBOARD_REAL(access, access_t)
VBOARD_REAL(faccessat, faccessat_t)
VBOARD_REAL(fopen, fopen_t)
VBOARD_REAL(fopen64, fopen_t)
VBOARD_REAL(fdopen, fdopen_t)
VBOARD_REAL(copy_file_range, cfr_t)
VBOARD_REAL(readv, readv_t)
VBOARD_REAL(writev, readv_t)
VBOARD_REAL(close_range, close_range_t)
VBOARD_REAL(closefrom, closefrom_t)

}  // namespace

int real_open(const char *path, int flags, mode_t mode) {
  if (auto f = real_open_fn()) return f(path, flags, mode);
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
ssize_t real_read(int fd, void *buf, std::size_t n) {
  if (auto f = real_read_fn()) return f(fd, buf, n);
  return syscall(SYS_read, fd, buf, n);
}
ssize_t real_write(int fd, const void *buf, std::size_t n) {
  if (auto f = real_write_fn()) return f(fd, buf, n);
  return syscall(SYS_write, fd, buf, n);
}
int real_close(int fd) {
  if (auto f = real_close_fn()) return f(fd);
  return static_cast<int>(syscall(SYS_close, fd));
}

int real_fstat(int fd, struct stat *st) {
  if (auto f = real_fstat_fn()) return f(fd, st);
  errno = ENOSYS;
  return -1;
}

// ---------------------------------------------------------------------------
// Default file behaviour

void trace_note::keep(const void *bytes_in, std::size_t n) {
  data_len = n < sizeof data ? n : sizeof data;
  if (data_len != 0) std::memcpy(data, bytes_in, data_len);
}

ssize_t file::read(void *, std::size_t, off_t &) { return -EINVAL; }
ssize_t file::write(const void *, std::size_t, off_t &) { return -EINVAL; }
int file::ioctl(unsigned long, void *, trace_note &) { return -ENOTTY; }
void file::stat(struct stat &st) const { fill_stat(st, "", S_IFREG | 0644); }

void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size) {
  std::memset(&st, 0, sizeof st);
  // A stable inode per path, so "is the input the output" checks (cat)
  // and dup'ed descriptors agree.
  std::uint64_t h = 1469598103934665603ULL;
  for (const char *p = path; *p != '\0'; ++p) {
    h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
  }
  st.st_dev = 0x5642;  // "VB"
  st.st_ino = static_cast<ino_t>(h | 1U);
  st.st_mode = mode;
  st.st_nlink = S_ISDIR(mode) ? 2 : 1;
  st.st_uid = getuid();
  st.st_gid = getgid();
  st.st_size = S_ISDIR(mode) ? 0 : size;
  st.st_blksize = 4096;
  st.st_blocks = 0;
}

// ---------------------------------------------------------------------------
// Board state

namespace {

std::uint64_t load_time_ns() {
  static const std::uint64_t t0 = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }();
  return t0;
}

// A quantity given either in volts or in LSB (code units).
struct level {
  double value = 0.0;
  bool volts = false;
  double lsb(double ref) const { return volts ? value * 1024.0 / ref : value; }
};

struct input {
  enum kind_t { code, sine, ramp } kind = code;
  level fixed;        // code: the constant level
  level amp, offset;  // sine
  double freq = 0.0, phase_deg = 0.0;
  level from, to;  // ramp
  double period = 1.0;
};

struct open_fault {
  std::string path;
  int err;
};
struct request_fault {
  std::string path;
  unsigned long request;
  int err;
};

struct desc {
  std::shared_ptr<file> f;
  std::string path;
  int flags = 0;
  off_t offset = 0;
};

constexpr std::size_t kMaxProviders = 8;

struct board {
  double reference = 3.3;
  input inputs[VBOARD_CHANNELS];
  pin_wiring pins;
  bool dout_idle = false;
  mcp3008_model model{[this](int ch) { return channel_lsb(ch); }};

  std::vector<open_fault> open_faults;
  std::vector<std::string> missing;
  std::vector<int> empty_pins;
  std::vector<request_fault> request_faults;
  int transfer_fault_count = 0, transfer_fault_result = 0, transfer_fault_err = 0;

  std::vector<vboard_event> events;
  std::size_t trace_limit = 262144;
  std::size_t dropped = 0;
  std::uint64_t seq = 0;
  int trace_fd = -1;

  std::vector<std::shared_ptr<desc>> fds;
  bool configured = false;

  double channel_lsb(int ch) const {
    if (ch < 0 || ch >= VBOARD_CHANNELS) return 0.0;
    const input &in = inputs[ch];
    const double t = static_cast<double>(now_ns()) / 1e9;
    switch (in.kind) {
      case input::code:
        return in.fixed.lsb(reference);
      case input::sine:
        return in.offset.lsb(reference) +
               in.amp.lsb(reference) * std::sin(2.0 * std::numbers::pi * in.freq * t +
                                                in.phase_deg * std::numbers::pi / 180.0);
      case input::ramp: {
        const double frac = std::fmod(t, in.period) / in.period;
        const double a = in.from.lsb(reference), b = in.to.lsb(reference);
        return a + (b - a) * frac;
      }
    }
    return 0.0;
  }
};

std::mutex board_mutex;
// Starts at 1 so that the first descriptor call takes the slow path, which
// adopts the descriptors inherited through exec (see adopt_inherited).
std::atomic<int> virtual_fds{1};
bool adoption_pending = true;

struct provider_table {
  provider items[kMaxProviders];
  std::size_t count = 0;
};
provider_table &providers() {
  static provider_table t;
  return t;
}

board &state();

// ----- environment parsing

bool parse_double(std::string_view s, double &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtod(tmp.c_str(), &end);
  return !tmp.empty() && end == tmp.c_str() + tmp.size() && errno == 0 && std::isfinite(out);
}

bool parse_long(std::string_view s, long &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtol(tmp.c_str(), &end, 0);
  return !tmp.empty() && end == tmp.c_str() + tmp.size() && errno == 0;
}

// Request numbers have the top bit set (read requests are 0x80......), which
// a 32-bit long cannot hold: parse them unsigned.
bool parse_request(std::string_view s, unsigned long &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtoul(tmp.c_str(), &end, 0);
  return !tmp.empty() && tmp[0] != '-' && end == tmp.c_str() + tmp.size() && errno == 0;
}

bool parse_level(std::string_view s, level &out) {
  out.volts = false;
  if (!s.empty() && (s.back() == 'V' || s.back() == 'v')) {
    out.volts = true;
    s.remove_suffix(1);
  }
  return parse_double(s, out.value);
}

bool parse_errno(std::string_view s, int &err) {
  long n = 0;
  if (parse_long(s, n)) {
    if (n <= 0 || n > 4095) return false;
    err = static_cast<int>(n);
    return true;
  }
  for (int e = 1; e < 200; ++e) {
    const char *name = strerrorname_np(e);
    if (name != nullptr && s == name) {
      err = e;
      return true;
    }
  }
  return false;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  while (true) {
    const auto p = s.find(sep);
    parts.push_back(s.substr(0, p));
    if (p == std::string_view::npos) break;
    s.remove_prefix(p + 1);
  }
  return parts;
}

// "512", "1.65V", "sine:amp=1V,offset=1.65V,freq=0.5[,phase=90]",
// "ramp:from=0,to=1023,period=2".
bool parse_input(std::string_view s, input &out) {
  input in;
  auto params = [&](std::string_view list, auto &&take) {
    for (auto kv : split(list, ',')) {
      const auto eq = kv.find('=');
      if (eq == std::string_view::npos || !take(kv.substr(0, eq), kv.substr(eq + 1))) return false;
    }
    return true;
  };
  if (s.starts_with("sine:")) {
    in.kind = input::sine;
    bool has_amp = false, has_freq = false;
    if (!params(s.substr(5),
                [&](std::string_view k, std::string_view v) {
                  if (k == "amp") return has_amp = parse_level(v, in.amp);
                  if (k == "offset") return parse_level(v, in.offset);
                  if (k == "freq") return has_freq = parse_double(v, in.freq) && in.freq >= 0.0;
                  if (k == "phase") return parse_double(v, in.phase_deg);
                  return false;
                }) ||
        !has_amp || !has_freq) {
      return false;
    }
  } else if (s.starts_with("ramp:")) {
    in.kind = input::ramp;
    bool has_period = false, has_to = false;
    if (!params(s.substr(5),
                [&](std::string_view k, std::string_view v) {
                  if (k == "from") return parse_level(v, in.from);
                  if (k == "to") return has_to = parse_level(v, in.to);
                  if (k == "period")
                    return has_period = parse_double(v, in.period) && in.period > 0.0;
                  return false;
                }) ||
        !has_period || !has_to) {
      return false;
    }
  } else {
    in.kind = input::code;
    if (!parse_level(s, in.fixed)) return false;
    if (!in.fixed.volts && (in.fixed.value < 0 || in.fixed.value > 1023 ||
                            in.fixed.value != std::floor(in.fixed.value))) {
      return false;
    }
  }
  out = in;
  return true;
}

// Applies the environment over the defaults. Returns false when a variable
// was malformed (it is then ignored).
bool configure(board &b) {
  bool ok = true;
  b.reference = 3.3;
  for (auto &in : b.inputs) in = input{};
  b.pins = pin_wiring{};
  b.dout_idle = false;
  b.open_faults.clear();
  b.missing.clear();
  b.empty_pins.clear();
  b.request_faults.clear();
  b.transfer_fault_count = 0;

  auto env = [](const char *name) -> const char * {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
  };
  auto bad = [&](const char *name, const char *v) {
    complain(name, v);
    ok = false;
  };

  if (const char *v = env("VBOARD_VREF")) {
    double r = 0;
    if (parse_double(v, r) && r > 0)
      b.reference = r;
    else
      bad("VBOARD_VREF", v);
  }
  for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
    char name[16];
    std::snprintf(name, sizeof name, "VBOARD_CH%d", ch);
    if (const char *v = env(name)) {
      if (!parse_input(v, b.inputs[ch])) bad(name, v);
    }
  }
  struct pin_var {
    const char *name;
    int pin_wiring::*field;
  };
  static constexpr pin_var pin_vars[] = {
      {"VBOARD_PIN_CLK", &pin_wiring::clock},
      {"VBOARD_PIN_DOUT", &pin_wiring::dout},
      {"VBOARD_PIN_DIN", &pin_wiring::din},
      {"VBOARD_PIN_CS", &pin_wiring::cs},
  };
  for (const auto &pv : pin_vars) {
    if (const char *v = env(pv.name)) {
      long n = 0;
      if (parse_long(v, n) && n >= 0 && n < 1024)
        b.pins.*pv.field = static_cast<int>(n);
      else
        bad(pv.name, v);
    }
  }
  if (const char *v = env("VBOARD_DOUT_IDLE")) {
    if (std::string_view(v) == "0" || std::string_view(v) == "1")
      b.dout_idle = *v == '1';
    else
      bad("VBOARD_DOUT_IDLE", v);
  }
  if (const char *v = env("VBOARD_TRACE_LIMIT")) {
    long n = 0;
    if (parse_long(v, n) && n >= 0)
      b.trace_limit = static_cast<std::size_t>(n);
    else
      bad("VBOARD_TRACE_LIMIT", v);
  }
  // path:ERR lists
  auto path_errs = [&](const char *name, auto &&add) {
    if (const char *v = env(name)) {
      for (auto item : split(v, ',')) {
        const auto colon = item.rfind(':');
        int err = 0;
        if (colon == std::string_view::npos || colon == 0 ||
            !parse_errno(item.substr(colon + 1), err)) {
          bad(name, v);
          return;
        }
        add(item.substr(0, colon), err);
      }
    }
  };
  auto add_open = [&](std::string_view p, int err) {
    b.open_faults.push_back({std::string(p), err});
  };
  path_errs("VBOARD_FAIL_OPEN", add_open);
  path_errs("VBOARD_SPIDEV_FAIL_OPEN", add_open);
  for (const char *name : {"VBOARD_MISSING", "VBOARD_SPIDEV_MISSING"}) {
    if (const char *v = env(name)) {
      for (auto item : split(v, ',')) {
        if (item.empty() || item[0] != '/') {
          bad(name, v);
          break;
        }
        b.missing.emplace_back(item);
      }
    }
  }
  if (const char *v = env("VBOARD_EMPTY_VALUE")) {
    for (auto item : split(v, ',')) {
      long n = 0;
      if (!parse_long(item, n) || n < 0 || n >= 1024) {
        bad("VBOARD_EMPTY_VALUE", v);
        break;
      }
      b.empty_pins.push_back(static_cast<int>(n));
    }
  }
  if (const char *v = env("VBOARD_SPIDEV_FAIL_REQUEST")) {
    for (auto item : split(v, ',')) {
      auto f = split(item, ':');
      unsigned long req = 0;
      int err = 0;
      if (f.size() != 3 || f[0].empty() || !parse_request(f[1], req) || !parse_errno(f[2], err)) {
        bad("VBOARD_SPIDEV_FAIL_REQUEST", v);
        break;
      }
      b.request_faults.push_back({std::string(f[0]), req, err});
    }
  }
  if (const char *v = env("VBOARD_SPIDEV_FAIL_TRANSFERS")) {
    auto f = split(v, ':');
    long count = 0, result = 0;
    int err = 0;
    if ((f.size() == 2 || f.size() == 3) && parse_long(f[0], count) && count >= 0 &&
        parse_long(f[1], result) && (f.size() == 2 || parse_errno(f[2], err))) {
      b.transfer_fault_count = static_cast<int>(count);
      b.transfer_fault_result = static_cast<int>(result);
      b.transfer_fault_err = result < 0 ? (err != 0 ? err : EIO) : 0;
    } else {
      bad("VBOARD_SPIDEV_FAIL_TRANSFERS", v);
    }
  }
  if (const char *v = env("VBOARD_TRACE")) {
    if (b.trace_fd < 0) {
      b.trace_fd = real_open(v, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (b.trace_fd < 0) bad("VBOARD_TRACE", v);
    }
  }
  b.model.reset();
  b.model.set_idle_level(b.dout_idle);
  return ok;
}

void adopt_inherited(board &b);

// The board, configured from the environment on first use. Its first use
// comes after every provider registered itself (static initialisers run
// before the program's main), whatever order the constructors ran in.
board &state() {
  static board b;
  if (!b.configured) {
    b.configured = true;
    load_time_ns();
    configure(b);
    gpio_configure(false);
  }
  if (adoption_pending) {
    adoption_pending = false;
    adopt_inherited(b);
    virtual_fds.fetch_sub(1, std::memory_order_relaxed);
  }
  return b;
}

// ----- paths

// Collapses "//", "/./" and "dir/.." and drops a trailing slash, so that
// "/sys/class/gpio//gpio4/./value" reaches the same node.
std::string normalise(const char *path) {
  std::vector<std::string_view> parts;
  for (auto part : split(path, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return std::string(1, '/');
  std::string out;
  for (auto part : parts) {
    out += '/';
    out += part;
  }
  return out;
}

// Cheap test before taking the lock: could this path belong to a provider?
// Only absolute paths do; relative ones never lead into the virtual tree
// because its directories cannot become the working directory.
const provider *find_provider(const char *path, std::string &norm) {
  if (path == nullptr || path[0] != '/') return nullptr;
  const auto &t = providers();
  bool candidate = false;
  for (std::size_t i = 0; i < t.count && !candidate; ++i) {
    // Compare on the path's skeleton: extra slashes may hide the prefix.
    std::string_view pre(t.items[i].prefix);
    std::size_t pi = 0;
    for (const char *p = path; *p != '\0' && pi < pre.size(); ++p) {
      if (*p == '/' && p[1] == '/') continue;
      if (*p != pre[pi]) break;
      ++pi;
    }
    candidate = pi == pre.size() || std::strstr(path, "/.") != nullptr;
  }
  if (!candidate) return nullptr;
  norm = normalise(path);
  for (std::size_t i = t.count; i-- > 0;) {
    if (norm.starts_with(t.items[i].prefix)) return &t.items[i];
  }
  return nullptr;
}

bool is_missing(const board &b, const std::string &path) {
  for (const auto &m : b.missing) {
    if (normalise(m.c_str()) == path) return true;
  }
  return false;
}

int open_fault_for(const board &b, const std::string &path) {
  for (const auto &f : b.open_faults) {
    if (normalise(f.path.c_str()) == path) return f.err;
  }
  return 0;
}

// ----- descriptors

std::shared_ptr<desc> lookup(board &b, int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= b.fds.size()) return nullptr;
  return b.fds[static_cast<std::size_t>(fd)];
}

// The kernel releases an open file description when its last descriptor
// goes; the trace shows "close" then, not for each dup'ed copy (shells move
// redirections around with dup2 and close before anything is written).
void release(std::shared_ptr<desc> &&d, int result, int err) {
  if (d && d.use_count() == 1) {
    trace(VBOARD_OP_CLOSE, d->path.c_str(), 0, 0, nullptr, 0, result, err);
  }
  d.reset();
}

void bind(board &b, int fd, std::shared_ptr<desc> d) {
  const auto i = static_cast<std::size_t>(fd);
  if (i >= b.fds.size()) b.fds.resize(i + 1);
  if (!b.fds[i] && d) virtual_fds.fetch_add(1, std::memory_order_relaxed);
  if (b.fds[i] && !d) virtual_fds.fetch_sub(1, std::memory_order_relaxed);
  std::shared_ptr<desc> old = std::move(b.fds[i]);
  b.fds[i] = std::move(d);
  release(std::move(old), 0, 0);
}

// A stand-in descriptor: a memfd named after the virtual file, so that a
// program started with exec finds out what its inherited descriptors are
// (shells open redirections before they exec the command).
constexpr char kStandInTag[] = "vboard:";

int stand_in(const std::string &path, int flags) {
  char name[240];
  std::snprintf(name, sizeof name, "%s%x:%s", kStandInTag, static_cast<unsigned>(flags),
                path.c_str());
  const int fd = memfd_create(name, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
  if (fd >= 0) return fd;
  return real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
}

// A file whose node went away between exec and adoption.
class gone_file final : public file {
 public:
  ssize_t read(void *, std::size_t, off_t &) override { return -ENODEV; }
  ssize_t write(const void *, std::size_t, off_t &) override { return -ENODEV; }
};

void adopt_std_streams(board &b);

// Takes over the stand-ins this process inherited through exec.
void adopt_inherited(board &b) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  const int dfd = dirfd(dir);
  while (const dirent *ent = readdir(dir)) {
    char *end = nullptr;
    const long fd = std::strtol(ent->d_name, &end, 10);
    if (end == ent->d_name || *end != '\0' || fd == dfd || fd < 0) continue;
    if (lookup(b, static_cast<int>(fd))) continue;
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%ld", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string_view t(target, static_cast<std::size_t>(n));
    constexpr std::string_view memfd = "/memfd:";
    constexpr std::string_view deleted = " (deleted)";
    if (!t.starts_with(memfd)) continue;
    t.remove_prefix(memfd.size());
    if (t.ends_with(deleted)) t.remove_suffix(deleted.size());
    if (!t.starts_with(kStandInTag)) continue;
    t.remove_prefix(sizeof kStandInTag - 1);
    const auto colon = t.find(':');
    if (colon == std::string_view::npos) continue;
    const int flags =
        static_cast<int>(std::strtoul(std::string(t.substr(0, colon)).c_str(), nullptr, 16));
    const std::string path(t.substr(colon + 1));
    std::string norm;
    const provider *prov = find_provider(path.c_str(), norm);
    if (prov == nullptr) continue;
    auto d = std::make_shared<desc>();
    std::unique_ptr<file> f;
    // Re-opened without O_CREAT/O_TRUNC: the open already happened.
    if (prov->open(norm.c_str(), flags & ~(O_CREAT | O_EXCL | O_TRUNC), f) != 0 || !f) {
      f = std::make_unique<gone_file>();
    }
    d->f = std::move(f);
    d->path = norm;
    d->flags = flags;
    bind(b, static_cast<int>(fd), std::move(d));
  }
  closedir(dir);
  adopt_std_streams(b);
}

bool maybe_virtual(int fd) { return fd >= 0 && virtual_fds.load(std::memory_order_relaxed) != 0; }

int fail(int err) {
  errno = err;
  return -1;
}

// Opens a virtual path; returns the descriptor, -1 with errno, or -2 when
// the path is not virtual after all.
int virtual_open(const provider *prov, const std::string &path, int flags) {
  std::lock_guard lock(board_mutex);
  board &b = state();
  int err = 0;
  std::unique_ptr<file> f;
  if (is_missing(b, path)) {
    err = ENOENT;
  } else if (int e = open_fault_for(b, path)) {
    err = e;
  } else {
    const int r = prov->open(path.c_str(), flags, f);
    if (r == 1) return -2;
    if (r < 0) err = -r;
  }
  int fd = -1;
  if (err == 0) {
    // A real descriptor stands in for the virtual file, so numbers never
    // collide with real files and dup/fcntl/select keep working on it.
    fd = stand_in(path, flags);
    if (fd < 0) {
      err = errno;
    } else {
      auto d = std::make_shared<desc>();
      d->f = std::move(f);
      d->path = path;
      d->flags = flags;
      bind(b, fd, std::move(d));
    }
  }
  trace(VBOARD_OP_OPEN, path.c_str(), static_cast<unsigned long>(flags), 0, nullptr, 0,
        err == 0 ? fd : -1, err);
  return err == 0 ? fd : fail(err);
}

void retarget_std_stream(int fd, bool is_virtual, int flags);

int open_any(int dirfd, const char *path, int flags, mode_t mode, bool at, bool large) {
  std::string norm;
  const provider *prov = (at && dirfd != AT_FDCWD && (path == nullptr || path[0] != '/'))
                             ? nullptr
                             : find_provider(path, norm);
  if (prov != nullptr) {
    const int r = virtual_open(prov, norm, flags);
    if (r >= 0 && r <= 2) retarget_std_stream(r, true, flags);
    if (r != -2) return r;
  }
  if (at) {
    auto f = large ? real_openat64_fn() : real_openat_fn();
    if (f == nullptr) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
    return f(dirfd, path, flags, mode);
  }
  auto f = large ? real_open64_fn() : real_open_fn();
  if (f == nullptr) return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
  return f(path, flags, mode);
}

// Result of an operation on a descriptor that may be virtual.
struct routed {
  bool handled;
  ssize_t result;
};

// One read or write on a descriptor that may be virtual; `at` is the offset
// of a pread/pwrite, which leaves the descriptor's own offset alone.
template <bool Writing>
routed v_transfer(int fd, std::conditional_t<Writing, const void *, void *> buf, std::size_t n,
                  const off_t *at) {
  if (!maybe_virtual(fd)) return {false, 0};
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (!d) return {false, 0};
  ssize_t r = -EBADF;
  if ((d->flags & O_ACCMODE) != (Writing ? O_RDONLY : O_WRONLY)) {
    off_t positioned = at != nullptr ? *at : 0;
    off_t &off = at != nullptr ? positioned : d->offset;
    if constexpr (Writing) {
      r = d->f->write(buf, n, off);
    } else {
      r = d->f->read(buf, n, off);
    }
  }
  const int err = r < 0 ? static_cast<int>(-r) : 0;
  // A write traces the bytes offered; a read the bytes it delivered.
  const std::size_t shown = Writing ? n : (r > 0 ? static_cast<std::size_t>(r) : 0);
  trace(Writing ? VBOARD_OP_WRITE : VBOARD_OP_READ, d->path.c_str(), 0, n, buf, shown,
        r < 0 ? -1 : r, err);
  return {true, r < 0 ? fail(err) : r};
}

routed v_read(int fd, void *buf, std::size_t n, const off_t *at) {
  return v_transfer<false>(fd, buf, n, at);
}

routed v_write(int fd, const void *buf, std::size_t n, const off_t *at) {
  return v_transfer<true>(fd, buf, n, at);
}

routed v_close(int fd) {
  if (!maybe_virtual(fd)) return {false, 0};
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (!d) return {false, 0};
  const int r = real_close(fd);
  const int err = r < 0 ? errno : 0;
  b.fds[static_cast<std::size_t>(fd)].reset();
  virtual_fds.fetch_sub(1, std::memory_order_relaxed);
  release(std::move(d), r, err);
  return {true, r < 0 ? fail(err) : r};
}

routed v_seek(int fd, off_t off, int whence) {
  if (!maybe_virtual(fd)) return {false, 0};
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (!d) return {false, 0};
  struct stat st {};
  d->f->stat(st);
  off_t base = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = d->offset;
      break;
    case SEEK_END:
      base = st.st_size;
      break;
    default:
      return {true, fail(EINVAL)};
  }
  if ((off > 0 && base > std::numeric_limits<off_t>::max() - off) || base + off < 0) {
    return {true, fail(EINVAL)};
  }
  d->offset = base + off;
  trace(VBOARD_OP_SEEK, d->path.c_str(), static_cast<unsigned long>(whence), 0, nullptr, 0,
        d->offset, 0);
  return {true, d->offset};
}

routed v_ioctl(int fd, unsigned long request, void *arg) {
  if (!maybe_virtual(fd)) return {false, 0};
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (!d) return {false, 0};
  trace_note note;
  int r = 0;
  for (const auto &rf : b.request_faults) {
    if (rf.request == request && normalise(rf.path.c_str()) == d->path) r = -rf.err;
  }
  if (r == 0) r = d->f->ioctl(request, arg, note);
  const int err = r < 0 ? -r : 0;
  trace(VBOARD_OP_IOCTL, d->path.c_str(), request, note.bytes, note.data, note.data_len,
        r < 0 ? -1 : r, err);
  return {true, r < 0 ? fail(err) : r};
}

// After a real dup of `oldfd` onto `newfd`: the new descriptor shares the
// virtual file (or, if `oldfd` is real, stops being virtual).
void after_dup(int oldfd, int newfd) {
  if (newfd < 0 || oldfd == newfd) return;
  board &b = state();
  auto d = lookup(b, oldfd);
  bind(b, newfd, d);
}

template <typename Stat>
void copy_stat(const struct stat &in, Stat &out) {
  std::memset(&out, 0, sizeof out);
  out.st_dev = in.st_dev;
  out.st_ino = in.st_ino;
  out.st_mode = in.st_mode;
  out.st_nlink = in.st_nlink;
  out.st_uid = in.st_uid;
  out.st_gid = in.st_gid;
  out.st_size = in.st_size;
  out.st_blksize = in.st_blksize;
  out.st_blocks = in.st_blocks;
}

// Returns 1 when not virtual, else 0 or -1 with errno.
template <typename Stat>
int v_stat_path(int dirfd, const char *path, Stat *out) {
  if (dirfd != AT_FDCWD && (path == nullptr || path[0] != '/')) return 1;
  std::string norm;
  const provider *prov = find_provider(path, norm);
  if (prov == nullptr) return 1;
  std::lock_guard lock(board_mutex);
  board &b = state();
  if (is_missing(b, norm)) return fail(ENOENT);
  struct stat st {};
  const int r = prov->stat(norm.c_str(), st);
  if (r == 1) return 1;
  if (r < 0) return fail(-r);
  copy_stat(st, *out);
  return 0;
}

template <typename Stat>
int v_stat_fd(int fd, Stat *out) {
  if (!maybe_virtual(fd)) return 1;
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (!d) return 1;
  struct stat st {};
  d->f->stat(st);
  copy_stat(st, *out);
  return 0;
}

int v_access(int dirfd, const char *path, int mode) {
  struct stat st {};
  const int r = v_stat_path(dirfd, path, &st);
  if (r != 0) return r;
  if (mode == F_OK) return 0;
  // The owner's bits decide, as for a user in the board's gpio group.
  if (((mode & R_OK) && !(st.st_mode & S_IRUSR)) || ((mode & W_OK) && !(st.st_mode & S_IWUSR)) ||
      ((mode & X_OK) && !(st.st_mode & S_IXUSR))) {
    return fail(EACCES);
  }
  return 0;
}

// ----- stdio over virtual descriptors

ssize_t cookie_read(void *c, char *buf, size_t n) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
  return read(fd, buf, n);
}
ssize_t cookie_write(void *c, const char *buf, size_t n) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
  const ssize_t r = write(fd, buf, n);
  return r < 0 ? -1 : r;
}
int cookie_seek(void *c, off64_t *pos, int whence) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
  const off_t r = lseek(fd, static_cast<off_t>(*pos), whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}
int cookie_close(void *c) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
  return close(fd);
}

// A program started with a virtual file as standard input or output (the
// shell's "cmd > /sys/class/gpio/export") uses it through stdio, which
// calls the kernel directly: give it streams that go through the board.
void adopt_std_streams(board &b) {
  static const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  FILE **const streams[] = {&stdin, &stdout, &stderr};
  for (int fd = 0; fd < 3; ++fd) {
    const auto d = lookup(b, fd);
    // Only libc's own stream for the descriptor is replaced, once.
    if (!d || *streams[fd] == nullptr || fileno(*streams[fd]) != fd) continue;
    const int acc = d->flags & O_ACCMODE;
    const char *mode = acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "r+";
    FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    if (fp == nullptr) continue;
    // Standard error stays unbuffered; the others keep stdio's buffering,
    // so a line is still one write, as it is on a real descriptor.
    if (fd == 2) setvbuf(fp, nullptr, _IONBF, 0);
    *streams[fd] = fp;
  }
}

// A shell that redirects its own standard output for a builtin (bash's
// echo) writes through stdio as well: while descriptor 0, 1 or 2 is
// virtual, the standard stream goes through the board, and the program's
// original stream comes back when the descriptor stops being virtual.
// Called without the board lock (flushing writes through the board).
FILE *saved_std[3];

int cookie_keep_open(void *) { return 0; }

void retarget_std_stream(int fd, bool is_virtual, int flags) {
  if (fd < 0 || fd > 2) return;
  FILE **const streams[] = {&stdin, &stdout, &stderr};
  FILE **s = streams[fd];
  if (is_virtual && saved_std[fd] == nullptr) {
    if (*s == nullptr || fileno(*s) != fd) return;  // not libc's own stream
    static const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_keep_open};
    const int acc = flags & O_ACCMODE;
    const char *mode = acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "r+";
    FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    if (fp == nullptr) return;
    if (fd == 2) setvbuf(fp, nullptr, _IONBF, 0);
    saved_std[fd] = *s;
    *s = fp;
  } else if (!is_virtual && saved_std[fd] != nullptr) {
    FILE *ours = *s;
    *s = saved_std[fd];
    saved_std[fd] = nullptr;
    fclose(ours);
  }
}

// dup2/dup3 with the standard streams kept in step.
int dup_onto(int oldfd, int newfd, int flags, bool three) {
  auto real = [&] {
    return three ? real_dup3_fn()(oldfd, newfd, flags) : real_dup2_fn()(oldfd, newfd);
  };
  if (!maybe_virtual(oldfd) && !maybe_virtual(newfd)) return real();
  const bool std_target = newfd >= 0 && newfd <= 2 && newfd != oldfd;
  // What the stream buffered belongs to the descriptor's old file.
  if (std_target) {
    FILE *const streams[] = {stdin, stdout, stderr};
    if (streams[newfd] != nullptr && newfd != 0) fflush(streams[newfd]);
  }
  int r = -1;
  bool now_virtual = false;
  int now_flags = 0;
  {
    std::lock_guard lock(board_mutex);
    r = real();
    const int err = errno;
    after_dup(oldfd, r);
    if (std_target && r >= 0) {
      if (auto d = lookup(state(), newfd)) {
        now_virtual = true;
        now_flags = d->flags;
      }
    }
    errno = err;
  }
  if (std_target && r >= 0) {
    const int err = errno;
    retarget_std_stream(newfd, now_virtual, now_flags);
    errno = err;
  }
  return r;
}

FILE *cookie_file(int fd, const char *mode) {
  const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
  if (fp == nullptr) {
    const int e = errno;
    close(fd);
    errno = e;
  }
  return fp;
}

// fopen's mode string as open flags; false for a mode fopen rejects.
bool mode_flags(const char *mode, int &flags) {
  if (mode == nullptr) return false;
  switch (mode[0]) {
    case 'r':
      flags = O_RDONLY;
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      break;
    default:
      return false;
  }
  for (const char *p = mode + 1; *p != '\0' && *p != ','; ++p) {
    if (*p == '+')
      flags = (flags & ~O_ACCMODE) | O_RDWR;
    else if (*p == 'e')
      flags |= O_CLOEXEC;
    else if (*p == 'x')
      flags |= O_EXCL;
  }
  return true;
}

FILE *fopen_any(const char *path, const char *mode, bool large) {
  std::string norm;
  const provider *prov = find_provider(path, norm);
  int flags = 0;
  if (prov != nullptr && mode_flags(mode, flags)) {
    const int fd = virtual_open(prov, norm, flags);
    if (fd >= 0) return cookie_file(fd, mode);
    if (fd == -1) return nullptr;
  }
  auto f = large ? real_fopen64_fn() : real_fopen_fn();
  if (f == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  return f(path, mode);
}

// ----- trace output

void append_escaped(std::string &out, const unsigned char *data, std::size_t n) {
  static constexpr char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = data[i];
    if (c == '\n')
      out += "\\n";
    else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f)
      out += static_cast<char>(c);
    else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

std::string format_event(const vboard_event &e) {
  char head[256];
  const char *errname = e.err != 0 ? strerrorname_np(e.err) : nullptr;
  char errbuf[16];
  if (e.err == 0) {
    std::snprintf(errbuf, sizeof errbuf, "0");
  } else if (errname == nullptr) {
    std::snprintf(errbuf, sizeof errbuf, "%d", e.err);
  }
  std::snprintf(head, sizeof head, "seq=%" PRIu64 " t=%" PRIu64 " pid=%d op=%s file=", e.seq,
                e.time_ns, e.pid, vboard_op_name(e.op));
  std::string line(head);
  const std::size_t flen = strnlen(e.file, sizeof e.file);
  append_escaped(line, reinterpret_cast<const unsigned char *>(e.file), flen);
  std::snprintf(head, sizeof head, " req=0x%lx bytes=%" PRIu64 " res=%" PRId64 " err=%s data=\"",
                e.request, e.bytes, e.result, errname != nullptr ? errname : errbuf);
  line += head;
  append_escaped(line, e.data, e.data_len < sizeof e.data ? e.data_len : sizeof e.data);
  line += "\"\n";
  return line;
}

}  // namespace

void complain(const char *var, const char *value) {
  char line[512];
  const int n = std::snprintf(line, sizeof line,
                              "vboard: ignoring %s=%s (malformed; see the board's documentation)\n",
                              var, value);
  if (n > 0) {
    const auto len =
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    (void)!real_write(2, line, len);
  }
}

// ---------------------------------------------------------------------------
// Shared services for providers

bool add_provider(const provider &p) {
  std::lock_guard lock(board_mutex);
  auto &t = providers();
  if (t.count < kMaxProviders) t.items[t.count++] = p;
  // Constructors run in no fixed order: a provider registering after the
  // board adopted its inherited descriptors gets its own ones adopted now.
  if (!adoption_pending) adopt_inherited(state());
  return true;
}

mcp3008_model &chip() { return state().model; }

std::uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec) - load_time_ns();
}

void trace(int op, const char *file, unsigned long request, std::uint64_t bytes, const void *data,
           std::size_t data_len, std::int64_t result, int err) {
  board &b = state();
  vboard_event e{};
  e.seq = b.seq++;
  e.time_ns = now_ns();
  e.op = op;
  e.pid = static_cast<int>(getpid());
  std::snprintf(e.file, sizeof e.file, "%s", file != nullptr ? file : "");
  e.request = request;
  e.bytes = bytes;
  e.result = result;
  e.err = err;
  e.data_len = static_cast<std::uint32_t>(data_len < sizeof e.data ? data_len : sizeof e.data);
  if (e.data_len != 0 && data != nullptr) std::memcpy(e.data, data, e.data_len);
  if (b.events.size() < b.trace_limit) {
    b.events.push_back(e);
  } else {
    ++b.dropped;
  }
  if (b.trace_fd >= 0) {
    const std::string line = format_event(e);
    // One write per line: with O_APPEND, lines of several processes sharing
    // the file never interleave.
    (void)!real_write(b.trace_fd, line.data(), line.size());
  }
}

bool take_transfer_fault(int &result, int &err) {
  board &b = state();
  if (b.transfer_fault_count <= 0) return false;
  --b.transfer_fault_count;
  result = b.transfer_fault_result;
  err = b.transfer_fault_err;
  return true;
}

const pin_wiring &wiring() { return state().pins; }

bool empty_value_fault(int pin) {
  for (int p : state().empty_pins) {
    if (p == pin) return true;
  }
  return false;
}

}  // namespace vboard

// ---------------------------------------------------------------------------
// Interposed libc calls

using namespace vboard;

namespace {
mode_t mode_arg(int flags, va_list ap) {
  // The mode is only passed when the call can create a file.
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(ap, unsigned int));
  }
  return 0;
}
}  // namespace

extern "C" {

static void before_fork() { board_mutex.lock(); }
static void after_fork() { board_mutex.unlock(); }

// Configures the board and adopts inherited descriptors before main, so a
// program that only uses stdio on them (echo) finds them ready.
__attribute__((constructor)) static void vboard_load() {
  std::lock_guard lock(board_mutex);
  (void)state();
  pthread_atfork(before_fork, after_fork, after_fork);
}

// vfork's child would share the board's tables with its parent and leave
// its own descriptors behind in them; a real fork keeps them apart.
pid_t vfork(void) noexcept { return fork(); }

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(AT_FDCWD, path, flags, mode, false, false);
}
int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(AT_FDCWD, path, flags, mode, false, true);
}
int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(dirfd, path, flags, mode, true, false);
}
int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(dirfd, path, flags, mode, true, true);
}
int __open_2(const char *path, int flags) {
  return open_any(AT_FDCWD, path, flags, 0, false, false);
}
int __open64_2(const char *path, int flags) {
  return open_any(AT_FDCWD, path, flags, 0, false, true);
}
int __openat_2(int dirfd, const char *path, int flags) {
  return open_any(dirfd, path, flags, 0, true, false);
}
int __openat64_2(int dirfd, const char *path, int flags) {
  return open_any(dirfd, path, flags, 0, true, true);
}
int creat(const char *path, mode_t mode) {
  return open_any(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false, false);
}
int creat64(const char *path, mode_t mode) {
  return open_any(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false, true);
}

ssize_t read(int fd, void *buf, size_t n) {
  const auto r = v_read(fd, buf, n, nullptr);
  return r.handled ? r.result : real_read(fd, buf, n);
}
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
  if (n > buflen) __chk_fail();
  return read(fd, buf, n);
}
ssize_t write(int fd, const void *buf, size_t n) {
  const auto r = v_write(fd, buf, n, nullptr);
  return r.handled ? r.result : real_write(fd, buf, n);
}
ssize_t pread(int fd, void *buf, size_t n, off_t off) {
  const auto r = v_read(fd, buf, n, &off);
  return r.handled ? r.result : real_pread_fn()(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
  const auto r = v_write(fd, buf, n, &off);
  return r.handled ? r.result : real_pwrite_fn()(fd, buf, n, off);
}
ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_read(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_pread64_fn()(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_write(fd, buf, n, &o);
    if (r.handled) return r.result;
  }
  return real_pwrite64_fn()(fd, buf, n, off);
}

int close(int fd) {
  const auto r = v_close(fd);
  if (r.handled && fd <= 2) {
    const int err = errno;
    retarget_std_stream(fd, false, 0);
    errno = err;
  }
  return r.handled ? static_cast<int>(r.result) : real_close(fd);
}

off_t lseek(int fd, off_t off, int whence) noexcept {
  const auto r = v_seek(fd, off, whence);
  return r.handled ? static_cast<off_t>(r.result) : real_lseek_fn()(fd, off, whence);
}
off64_t lseek64(int fd, off64_t off, int whence) noexcept {
  const off_t o = static_cast<off_t>(off);
  if (maybe_virtual(fd) && o == off) {
    const auto r = v_seek(fd, o, whence);
    if (r.handled) return r.result;
  }
  return real_lseek64_fn()(fd, off, whence);
}

int dup(int fd) noexcept {
  if (!maybe_virtual(fd)) return real_dup_fn()(fd);
  std::lock_guard lock(board_mutex);
  const int r = real_dup_fn()(fd);
  after_dup(fd, r);
  return r;
}
int dup2(int oldfd, int newfd) noexcept { return dup_onto(oldfd, newfd, 0, false); }
int dup3(int oldfd, int newfd, int flags) noexcept { return dup_onto(oldfd, newfd, flags, true); }

static int fcntl_any(bool large, int fd, int cmd, void *arg) {
  auto real = large ? real_fcntl64_fn() : real_fcntl_fn();
  if (real == nullptr) real = real_fcntl_fn();
  if (!maybe_virtual(fd)) return real(fd, cmd, arg);
  std::lock_guard lock(board_mutex);
  board &b = state();
  auto d = lookup(b, fd);
  if (d && cmd == F_GETFL) {
    // The stand-in descriptor is opened read-write; report the file's mode.
    return d->flags & (O_ACCMODE | O_APPEND | O_NONBLOCK);
  }
  const int r = real(fd, cmd, arg);
  if (d && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) after_dup(fd, r);
  return r;
}
int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_any(false, fd, cmd, arg);
}
int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_any(true, fd, cmd, arg);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  const auto r = v_ioctl(fd, request, arg);
  return r.handled ? static_cast<int>(r.result) : real_ioctl_fn()(fd, request, arg);
}

int stat(const char *path, struct stat *st) noexcept {
  const int r = v_stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_stat_fn()(path, st);
}
int stat64(const char *path, struct stat64 *st) noexcept {
  const int r = v_stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_stat64_fn()(path, st);
}
int lstat(const char *path, struct stat *st) noexcept {
  const int r = v_stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_lstat_fn()(path, st);
}
int lstat64(const char *path, struct stat64 *st) noexcept {
  const int r = v_stat_path(AT_FDCWD, path, st);
  return r != 1 ? r : real_lstat64_fn()(path, st);
}
int fstat(int fd, struct stat *st) noexcept {
  const int r = v_stat_fd(fd, st);
  return r != 1 ? r : real_fstat_fn()(fd, st);
}
int fstat64(int fd, struct stat64 *st) noexcept {
  const int r = v_stat_fd(fd, st);
  return r != 1 ? r : real_fstat64_fn()(fd, st);
}
int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = v_stat_fd(dirfd, st);
  else
    r = v_stat_path(dirfd, path, st);
  return r != 1 ? r : real_fstatat_fn()(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
  int r = 1;
  if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0')
    r = v_stat_fd(dirfd, st);
  else
    r = v_stat_path(dirfd, path, st);
  return r != 1 ? r : real_fstatat64_fn()(dirfd, path, st, flags);
}
int access(const char *path, int mode) noexcept {
  const int r = v_access(AT_FDCWD, path, mode);
  return r != 1 ? r : real_access_fn()(path, mode);
}
int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
  const int r = v_access(dirfd, path, mode);
  return r != 1 ? r : real_faccessat_fn()(dirfd, path, mode, flags);
}

// Scatter/gather on a virtual file: one store or one read, as the kernel
// makes a single call of it for sysfs.
ssize_t readv(int fd, const struct iovec *iov, int count) {
  if (maybe_virtual(fd) && count >= 0) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    std::vector<char> buf(total);
    const auto r = v_read(fd, buf.data(), total, nullptr);
    if (r.handled) {
      std::size_t left = r.result > 0 ? static_cast<std::size_t>(r.result) : 0, at = 0;
      for (int i = 0; i < count && left > 0; ++i) {
        const std::size_t k = iov[i].iov_len < left ? iov[i].iov_len : left;
        std::memcpy(iov[i].iov_base, buf.data() + at, k);
        at += k;
        left -= k;
      }
      return r.result;
    }
  }
  return real_readv_fn()(fd, iov, count);
}
ssize_t writev(int fd, const struct iovec *iov, int count) {
  if (maybe_virtual(fd) && count >= 0) {
    std::vector<char> buf;
    for (int i = 0; i < count; ++i) {
      const char *p = static_cast<const char *>(iov[i].iov_base);
      buf.insert(buf.end(), p, p + iov[i].iov_len);
    }
    const auto r = v_write(fd, buf.data(), buf.size(), nullptr);
    if (r.handled) return r.result;
  }
  return real_writev_fn()(fd, iov, count);
}

// Descriptors closed in bulk stop being virtual, or a later real file
// given the same number would be taken for one.
static void forget_range(unsigned int first, unsigned int last) {
  std::lock_guard lock(board_mutex);
  board &b = state();
  const std::size_t end = std::min<std::size_t>(b.fds.size(), static_cast<std::size_t>(last) + 1);
  for (std::size_t i = first; i < end; ++i) {
    if (b.fds[i]) {
      auto d = std::move(b.fds[i]);
      virtual_fds.fetch_sub(1, std::memory_order_relaxed);
      release(std::move(d), 0, 0);
    }
  }
}
int close_range(unsigned int first, unsigned int last, int flags) noexcept {
  const int r = real_close_range_fn()(first, last, flags);
  if (r == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0 && first <= last) forget_range(first, last);
  return r;
}
void closefrom(int lowfd) noexcept {
  real_closefrom_fn()(lowfd);
  if (lowfd >= 0) forget_range(static_cast<unsigned int>(lowfd), ~0U);
}

ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t n,
                        unsigned int flags) {
  if (maybe_virtual(in) || maybe_virtual(out)) {
    std::unique_lock lock(board_mutex);
    board &b = state();
    if (lookup(b, in) || lookup(b, out)) {
      // Like a kernel file system without this support: callers fall back
      // to read and write, which the board serves.
      return fail(EINVAL);
    }
  }
  return real_copy_file_range_fn()(in, in_off, out, out_off, n, flags);
}

FILE *fopen(const char *path, const char *mode) { return fopen_any(path, mode, false); }
FILE *fopen64(const char *path, const char *mode) { return fopen_any(path, mode, true); }
FILE *fdopen(int fd, const char *mode) noexcept {
  if (maybe_virtual(fd)) {
    bool virt = false;
    {
      std::lock_guard lock(board_mutex);
      virt = lookup(state(), fd) != nullptr;
    }
    // libc's own streams would read the stand-in descriptor directly.
    if (virt) {
      const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
      return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    }
  }
  return real_fdopen_fn()(fd, mode);
}

// ---------------------------------------------------------------------------
// Control interface

int vboard_reset(void) {
  bool ok = false;
  {
    std::lock_guard lock(board_mutex);
    board &b = state();
    ok = configure(b);
    gpio_configure(true);
    b.events.clear();
    b.dropped = 0;
  }
  // The spidev devices go back to power-on too; outside the board lock,
  // since the spidev side takes its own.
  const bool spi_ok = vboard_spidev_reset() == 0;
  return ok && spi_ok ? 0 : fail(EINVAL);
}

static int bad_channel(int channel) { return channel < 0 || channel >= VBOARD_CHANNELS; }

int vboard_set_code(int channel, int code) {
  if (bad_channel(channel) || code < 0 || code > 1023) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  input in;
  in.fixed = {static_cast<double>(code), false};
  state().inputs[channel] = in;
  return 0;
}

int vboard_set_voltage(int channel, double volts) {
  if (bad_channel(channel) || !std::isfinite(volts)) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  input in;
  in.fixed = {volts, true};
  state().inputs[channel] = in;
  return 0;
}

int vboard_set_sine(int channel, double amplitude_volts, double offset_volts, double freq_hz,
                    double phase_deg) {
  if (bad_channel(channel) || !std::isfinite(amplitude_volts) || !std::isfinite(offset_volts) ||
      !std::isfinite(freq_hz) || freq_hz < 0 || !std::isfinite(phase_deg)) {
    return fail(EINVAL);
  }
  std::lock_guard lock(board_mutex);
  input in;
  in.kind = input::sine;
  in.amp = {amplitude_volts, true};
  in.offset = {offset_volts, true};
  in.freq = freq_hz;
  in.phase_deg = phase_deg;
  state().inputs[channel] = in;
  return 0;
}

int vboard_set_ramp(int channel, double from_volts, double to_volts, double period_s) {
  if (bad_channel(channel) || !std::isfinite(from_volts) || !std::isfinite(to_volts) ||
      !std::isfinite(period_s) || !(period_s > 0)) {
    return fail(EINVAL);
  }
  std::lock_guard lock(board_mutex);
  input in;
  in.kind = input::ramp;
  in.from = {from_volts, true};
  in.to = {to_volts, true};
  in.period = period_s;
  state().inputs[channel] = in;
  return 0;
}

int vboard_set_reference(double volts) {
  if (!std::isfinite(volts) || !(volts > 0)) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  state().reference = volts;
  return 0;
}

int vboard_set_pins(int clock, int dout, int din, int cs) {
  for (int p : {clock, dout, din, cs}) {
    if (p < 0 || p >= 1024) return fail(EINVAL);
  }
  std::lock_guard lock(board_mutex);
  board &b = state();
  b.pins = {clock, dout, din, cs};
  b.model.reset();
  return 0;
}

int vboard_set_dout_idle(int level) {
  if (level != 0 && level != 1) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  board &b = state();
  b.dout_idle = level != 0;
  b.model.set_idle_level(b.dout_idle);
  return 0;
}

int vboard_pin_exported(int pin) {
  std::lock_guard lock(board_mutex);
  (void)state();
  return gpio_pin_query(pin, false);
}

int vboard_pin_level(int pin) {
  std::lock_guard lock(board_mutex);
  (void)state();
  return gpio_pin_query(pin, true);
}

int vboard_channel_code(int channel) {
  if (bad_channel(channel)) return -1;
  std::lock_guard lock(board_mutex);
  return state().model.convert(true, static_cast<unsigned>(channel));
}

static int set_path_fault(const char *path, int err) {
  if (path == nullptr || path[0] != '/' || err < 0) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  auto &faults = state().open_faults;
  const std::string norm = normalise(path);
  std::erase_if(faults, [&](const open_fault &f) { return normalise(f.path.c_str()) == norm; });
  if (err != 0) faults.push_back({norm, err});
  return 0;
}

static int set_missing(const char *path, int missing) {
  if (path == nullptr || path[0] != '/') return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  auto &list = state().missing;
  const std::string norm = normalise(path);
  std::erase_if(list, [&](const std::string &m) { return normalise(m.c_str()) == norm; });
  if (missing != 0) list.push_back(norm);
  return 0;
}

int vboard_fault_open(const char *path, int err) { return set_path_fault(path, err); }
int vboard_fault_missing(const char *path, int missing) { return set_missing(path, missing); }
int vboard_fault_export_missing(int missing) {
  return set_missing("/sys/class/gpio/export", missing);
}
int vboard_fault_empty_value(int pin, int empty) {
  if (pin < 0 || pin >= 1024) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  auto &pins = state().empty_pins;
  std::erase(pins, pin);
  if (empty != 0) pins.push_back(pin);
  return 0;
}
int vboard_spidev_missing(const char *device, int missing) { return set_missing(device, missing); }
int vboard_spidev_fail_open(const char *device, int err) { return set_path_fault(device, err); }
int vboard_spidev_fail_request(const char *device, unsigned long request, int err) {
  if (device == nullptr || device[0] != '/' || err < 0) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  auto &faults = state().request_faults;
  const std::string norm = normalise(device);
  std::erase_if(faults, [&](const request_fault &f) {
    return f.request == request && normalise(f.path.c_str()) == norm;
  });
  if (err != 0) faults.push_back({norm, request, err});
  return 0;
}
int vboard_spidev_fail_transfers(int count, int result, int err) {
  if (count < 0 || (result < 0 && err <= 0)) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  board &b = state();
  b.transfer_fault_count = count;
  b.transfer_fault_result = result;
  b.transfer_fault_err = result < 0 ? err : 0;
  return 0;
}
void vboard_clear_faults(void) {
  std::lock_guard lock(board_mutex);
  board &b = state();
  b.open_faults.clear();
  b.missing.clear();
  b.empty_pins.clear();
  b.request_faults.clear();
  b.transfer_fault_count = 0;
}

size_t vboard_trace_count(void) {
  std::lock_guard lock(board_mutex);
  return state().events.size();
}
int vboard_trace_get(size_t index, struct vboard_event *event) {
  if (event == nullptr) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  const auto &ev = state().events;
  if (index >= ev.size()) return fail(EINVAL);
  *event = ev[index];
  return 0;
}
size_t vboard_trace_dropped(void) {
  std::lock_guard lock(board_mutex);
  return state().dropped;
}
void vboard_trace_clear(void) {
  std::lock_guard lock(board_mutex);
  state().events.clear();
  state().dropped = 0;
}
int vboard_trace_write(const char *path) {
  if (path == nullptr) return fail(EINVAL);
  std::lock_guard lock(board_mutex);
  const int fd = real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  for (const auto &e : state().events) {
    const std::string line = format_event(e);
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t w = real_write(fd, line.data() + done, line.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        const int err = w < 0 ? errno : EIO;
        real_close(fd);
        return fail(err);
      }
      done += static_cast<std::size_t>(w);
    }
  }
  if (real_close(fd) != 0) return -1;
  return 0;
}
int vboard_trace_format(const struct vboard_event *event, char *buf, size_t size) {
  if (event == nullptr) return fail(EINVAL);
  const std::string line = format_event(*event);
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "%s", line.c_str());
  return static_cast<int>(line.size());
}
const char *vboard_op_name(int op) {
  static constexpr const char *names[] = {"open", "read", "write", "close", "ioctl", "seek"};
  return op >= 0 && op < static_cast<int>(std::size(names)) ? names[op] : "unknown";
}

}  // extern "C"
