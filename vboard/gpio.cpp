// The sysfs GPIO tree under /sys/class/gpio, with the kernel's answers.
//
// Pin state lives in the shared board object (state.cpp), so a shell and
// the programs it starts see one board, and pins stay exported from one
// run to the next as they do on a real board.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vboard {
namespace {

constexpr char kRoot[] = "/sys/class/gpio";
// Pins whose value file reads empty (VBOARD_EMPTY_VALUE, a fault).
std::vector<int> &empty_pins() {
  static std::vector<int> pins;
  return pins;
}

bool empty_value_fault(int pin) {
  for (int p : empty_pins()) {
    if (p == pin) return true;
  }
  return false;
}

bool is_pin(long n) { return n >= 0 && n < board().ngpio; }

// A pin as export and unexport leave it: an input, not driven, its jumper
// (board wiring, not pin state) kept.
shared_pin released(long pin, bool exported) {
  shared_pin p{};
  p.exported = exported ? 1 : 0;
  p.jumper = board().pins[pin].jumper;
  return p;
}

// The level a pin reads: its own for an output; an input wired to the
// chip's DOUT reads the chip; other inputs read low.
bool pin_level(int pin) {
  const shared_pin &r = board().pins[pin];
  if (r.out != 0) return r.level != 0;
  return pin == wiring().dout && chip().dout();
}

// An output changed level: the chip sees the lines it is wired to.
void drive(int pin, bool level) {
  shared_pin &r = board().pins[pin];
  r.out = 1;
  r.level = level ? 1 : 0;
  const pin_wiring w = wiring();
  if (pin == w.din) chip().set_din(level);
  if (pin == w.cs) chip().set_cs(level);
  if (pin == w.clock) chip().set_clk(level);
  pins_changed();
}

// kstrtouint/kstrtol as sysfs uses them: base prefix allowed, optional sign
// (for signed), one trailing newline allowed, nothing else.
bool parse_number(std::string_view s, bool is_signed, long &out) {
  if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  if (s.empty() || s.size() > 30) return false;
  if (!is_signed && s[0] == '-') return false;
  char buf[32];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  if (buf[0] == ' ' || buf[0] == '\t') return false;
  char *end = nullptr;
  errno = 0;
  out = std::strtol(buf, &end, 0);
  return errno == 0 && end == buf + s.size();
}

// sysfs_streq: equal, allowing one trailing newline on the written side.
bool streq(std::string_view written, std::string_view word) {
  if (!written.empty() && written.back() == '\n') written.remove_suffix(1);
  return written == word;
}

enum class node { root, export_file, unexport_file, pin_dir, direction, value, none };

struct where {
  node kind = node::none;
  int pin = -1;
};

// Resolves a normalised path below the root; pin nodes exist only while
// the pin is exported.
where resolve(std::string_view path) {
  path.remove_prefix(sizeof kRoot - 1);
  if (path.empty()) return {node::root, -1};
  path.remove_prefix(1);  // '/'
  if (path == "export") return {node::export_file, -1};
  if (path == "unexport") return {node::unexport_file, -1};
  if (!path.starts_with("gpio")) return {};
  path.remove_prefix(4);
  const auto slash = path.find('/');
  const std::string_view num = path.substr(0, slash);
  // The kernel names the directory with %d: no sign, no leading zeros.
  if (num.empty() || num.size() > 4 || (num.size() > 1 && num[0] == '0')) return {};
  int pin = 0;
  for (char c : num) {
    if (c < '0' || c > '9') return {};
    pin = pin * 10 + (c - '0');
  }
  if (!is_pin(pin) || board().pins[pin].exported == 0) return {};
  if (slash == std::string_view::npos) return {node::pin_dir, pin};
  const std::string_view leaf = path.substr(slash + 1);
  if (leaf == "direction") return {node::direction, pin};
  if (leaf == "value") return {node::value, pin};
  return {};
}

mode_t mode_of(node k) {
  switch (k) {
    case node::root:
    case node::pin_dir:
      return S_IFDIR | 0755;
    case node::export_file:
    case node::unexport_file:
      return S_IFREG | 0200;
    default:
      return S_IFREG | 0644;
  }
}

class gpio_file final : public file {
 public:
  gpio_file(std::string path, where w) : path_(std::move(path)), at_(w) {}

  ssize_t read(void *buf, std::size_t n, off_t &offset) override {
    if (at_.kind == node::root || at_.kind == node::pin_dir) return -EISDIR;
    if (!still_there()) return -ENODEV;
    if (offset == 0 || shown_.empty()) {
      shown_ = show();
    }
    if (offset < 0 || static_cast<std::size_t>(offset) >= shown_.size()) return 0;
    const std::size_t left = shown_.size() - static_cast<std::size_t>(offset);
    const std::size_t k = n < left ? n : left;
    std::memcpy(buf, shown_.data() + offset, k);
    offset += static_cast<off_t>(k);
    return static_cast<ssize_t>(k);
  }

  ssize_t write(const void *buf, std::size_t n, off_t &offset) override {
    if (at_.kind == node::root || at_.kind == node::pin_dir) return -EISDIR;
    if (!still_there()) return -ENODEV;
    if (n == 0) return 0;
    // Like sysfs: every write is one store of the whole buffer, whatever
    // the offset; a store longer than a page is cut to the page.
    const std::size_t take = n < 4096 ? n : 4095;
    const int r = store(std::string_view(static_cast<const char *>(buf), take));
    if (r < 0) return r;
    offset += static_cast<off_t>(take);
    return static_cast<ssize_t>(take);
  }

  void stat(struct stat &st) const override { fill_stat(st, path_.c_str(), mode_of(at_.kind)); }

 private:
  // The attribute of a pin that was unexported while open is gone.
  bool still_there() const {
    if (at_.pin < 0) return true;
    return board().pins[at_.pin].exported != 0;
  }

  std::string show() const {
    switch (at_.kind) {
      case node::direction:
        return board().pins[at_.pin].out != 0 ? "out\n" : "in\n";
      case node::value:
        if (empty_value_fault(at_.pin)) return {};
        return pin_level(at_.pin) ? "1\n" : "0\n";
      default:
        return {};
    }
  }

  int store(std::string_view s) {
    long n = 0;
    switch (at_.kind) {
      case node::export_file:
        if (!parse_number(s, false, n) || !is_pin(n)) return -EINVAL;
        if (board().pins[n].exported != 0) return -EBUSY;
        board().pins[n] = released(n, true);
        return 0;
      case node::unexport_file:
        if (!parse_number(s, false, n) || !is_pin(n)) return -EINVAL;
        if (board().pins[n].exported == 0) return -EINVAL;
        board().pins[n] = released(n, false);
        return 0;
      case node::direction:
        if (streq(s, "in")) {
          board().pins[at_.pin].out = 0;
        } else if (streq(s, "out") || streq(s, "low")) {
          drive(at_.pin, false);
        } else if (streq(s, "high")) {
          drive(at_.pin, true);
        } else {
          return -EINVAL;
        }
        return 0;
      case node::value:
        if (board().pins[at_.pin].out == 0) return -EPERM;
        if (!parse_number(s, true, n)) return -EINVAL;
        drive(at_.pin, n != 0);
        return 0;
      default:
        return -EINVAL;
    }
  }

  std::string path_;
  where at_;
  std::string shown_;
};

int gpio_open(const char *path, int flags, std::unique_ptr<file> &out) {
  const std::string_view p(path);
  if (p.size() > sizeof kRoot - 1 && p[sizeof kRoot - 1] != '/') return 1;  // e.g. gpiochip
  const where w = resolve(p);
  if (w.kind == node::none) {
    // sysfs has no room for new files.
    return (flags & O_CREAT) != 0 && p.rfind('/') == sizeof kRoot - 1 ? -EACCES : -ENOENT;
  }
  const int acc = flags & O_ACCMODE;
  const mode_t mode = mode_of(w.kind);
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) return -EEXIST;
  if (S_ISDIR(mode)) {
    if (acc != O_RDONLY) return -EISDIR;
  } else {
    if ((flags & O_DIRECTORY) != 0) return -ENOTDIR;
    if (acc != O_WRONLY && (mode & S_IRUSR) == 0) return -EACCES;
    if (acc != O_RDONLY && (mode & S_IWUSR) == 0) return -EACCES;
  }
  out = std::make_unique<gpio_file>(std::string(path), w);
  return 0;
}

int gpio_stat(const char *path, struct stat &st) {
  const std::string_view p(path);
  if (p.size() > sizeof kRoot - 1 && p[sizeof kRoot - 1] != '/') return 1;
  const where w = resolve(p);
  if (w.kind == node::none) return -ENOENT;
  fill_stat(st, path, mode_of(w.kind));
  return 0;
}

bool gpio_configure(bool restore) {
  config::reader r(restore);
  if (r.restore()) board().ngpio = 54;
  if (const char *v = r.get("VBOARD_NGPIO")) {
    long n = 0;
    if (config::parse_long(v, n) && n > 0 && n <= kMaxPins) {
      board().ngpio = static_cast<int>(n);
    } else {
      r.bad("VBOARD_NGPIO", v, "a number of pins, 1 to 1024");
    }
  }
  empty_pins().clear();
  if (const char *v = r.get("VBOARD_EMPTY_VALUE")) {
    for (auto item : config::split(v, ',')) {
      long n = 0;
      if (!config::parse_long(item, n) || n < 0 || n >= kMaxPins) {
        r.bad("VBOARD_EMPTY_VALUE", v, "GPIO numbers, 0 to 1023");
        break;
      }
      empty_pins().push_back(static_cast<int>(n));
    }
  }
  return r.ok();
}

// Power-off: every pin released (also in a shared state file).
void gpio_reset() {
  for (long n = 0; n < kMaxPins; ++n) board().pins[n] = released(n, false);
}

void gpio_clear_faults() { empty_pins().clear(); }

const bool registered =
    add_provider({kRoot, gpio_open, gpio_stat, gpio_configure, gpio_reset, gpio_clear_faults});

}  // namespace

void pins_changed() {
  shared_board &b = board();
  bool notified = false;
  for (int p = 0; p < b.ngpio; ++p) {
    shared_pin &r = b.pins[p];
    if (r.exported == 0 || r.out != 0) continue;
    const std::uint8_t now = pin_level(p) ? 1 : 0;
    if (now == r.seen) continue;
    r.seen = now;
    // Edges are those of the value the file reads, active_low applied.
    const bool value_rose = (now != 0) != (r.active_low != 0);
    if (r.edge == edge_both || (r.edge == edge_rising && value_rose) ||
        (r.edge == edge_falling && !value_rose)) {
      ++r.events;
      notified = true;
    }
  }
  if (notified) notify_edges();
}

int gpio_pin_query(int pin, bool level) {
  (void)registered;
  if (!is_pin(pin)) return -1;
  if (board().pins[pin].exported == 0) return level ? -1 : 0;
  return level ? (pin_level(pin) ? 1 : 0) : 1;
}

}  // namespace vboard

extern "C" int vboard_fault_empty_value(int pin, int empty) {
  if (pin < 0 || pin >= vboard::kMaxPins) return vboard::fail(EINVAL);
  vboard::board_lock lock;
  vboard::ensure_ready();
  auto &pins = vboard::empty_pins();
  std::erase(pins, pin);
  if (empty != 0) pins.push_back(pin);
  return 0;
}
