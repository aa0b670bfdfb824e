// The sysfs GPIO tree, with the kernel's answers: /sys/class/gpio with
// export, unexport and the gpiochipN and gpioN links, and the directories
// they point to under the SoC's GPIO controller in /sys/devices (a pin's
// direction, value, edge and active_low; the chip's base, label, ngpio).
//
// Pin state lives in the shared board object (the gpio part), so a shell and
// the programs it starts see one board, and pins stay exported from one
// run to the next as they do on a real board. Pins are kept by their line
// on the controller; the kernel's GPIO number is the chip's base plus the
// line (base 0 by default, 512 in the strict profile as on newer kernels).
// The gpio part sets, checks and shows them; vboard_pin_exported and
// vboard_pin_level answer from them.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
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

constexpr char kClass[] = "/sys/class/gpio";
constexpr char kSoc[] = "/sys/devices/platform/soc";
constexpr char kDev[] = "/sys/devices/platform/soc/20200000.gpio";
constexpr char kDevName[] = "20200000.gpio";
constexpr char kLabel[] = "pinctrl-bcm2835";
constexpr int kDefaultPins = 54;  // the SoC's bank: lines 0-53

std::size_t gpio_at = 0;  // the pins' slice of the board object

constexpr int kStrictBase = 512;
// Bit of gpio_slice::reserved: lines 7 and 8 are spi0's chip selects,
// claimed by its driver, as on the target.
constexpr std::uint32_t kSpiCsClaimed = 1;

// Pins whose value file reads empty (VBOARD_EMPTY_VALUE, a fault), by
// kernel GPIO number.
std::vector<int> &empty_pins() {
  static std::vector<int> &pins = *new std::vector<int>();
  return pins;
}

bool empty_value_fault(int number) {
  for (int p : empty_pins()) {
    if (p == number) return true;
  }
  return false;
}

bool is_line(long line) { return line >= 0 && line < pin_count(board()); }
int number_of(int line) { return pin_base(board()) + line; }

bool claimed(int line) {
  return (gpio_state().reserved & kSpiCsClaimed) != 0 && (line == 7 || line == 8);
}

// A pin as export and unexport leave it: an input, not driven, its jumper
// (board wiring, not pin state) kept.
shared_pin released(long line, bool exported) {
  shared_pin p{};
  p.exported = exported ? 1 : 0;
  p.jumper = gpio_state().pins[line].jumper;
  return p;
}

// The line's level: its own for an output; an input wired to the chip's
// DOUT reads the chip, one jumpered to an exported output reads that
// output; other inputs are pulled low.
bool line_level(int line) {
  const shared_board &b = board();
  const shared_pin &r = gpio_state(b).pins[line];
  if (r.out != 0) return r.level != 0;
  if (line == wiring().dout) return chip().dout();
  const int jumper = shared_read(r.jumper);
  if (jumper >= 0 && jumper < pin_count(b)) {
    const shared_pin &other = gpio_state(b).pins[jumper];
    return (other.exported != 0 || chardev_line_held(jumper)) && other.out != 0 &&
           other.level != 0;
  }
  return false;
}

// What the value file reads: the level with active_low applied.
bool value_of(int line) { return line_level(line) != (gpio_state().pins[line].active_low != 0); }

// An output changed level: the chip sees the lines it is wired to.
void drive(int line, bool level) {
  shared_pin &r = gpio_state().pins[line];
  r.out = 1;
  r.level = level ? 1 : 0;
  const pin_wiring w = wiring();
  if (line == w.din) chip().set_din(level);
  if (line == w.cs) chip().set_cs(level);
  if (line == w.clock) chip().set_clk(level);
  pins_changed();
}

// The text a store parses: the kernel hands a store the bytes written as a
// C string, so its parsers stop at the first NUL ("22\0" is "22").
std::string_view as_c_string(std::string_view s) {
  const auto nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

// kstrtol as the GPIO attributes use it (export, unexport, value,
// active_low), with a 64-bit kernel's long: a base prefix ("0x" before a hex
// digit: 16; "0": 8), a leading '+' or '-', one trailing newline, nothing
// else. 0, -ERANGE when the number does not fit, -EINVAL for anything else.
int parse_number(std::string_view s, long long &out) {
  s = as_c_string(s);
  std::size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (negative || (!s.empty() && s[0] == '+')) i = 1;
  unsigned base = 10;
  if (i < s.size() && s[i] == '0') {
    const bool hex = i + 2 < s.size() && (s[i + 1] | 0x20) == 'x' &&
                     std::isxdigit(static_cast<unsigned char>(s[i + 2])) != 0;
    base = hex ? 16 : 8;
    if (hex) i += 2;
  }
  unsigned long long value = 0;
  bool overflow = false;
  std::size_t digits = 0;
  for (; i < s.size(); ++i, ++digits) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned d = 16;
    if (c >= '0' && c <= '9') d = c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') d = (c | 0x20) - 'a' + 10;
    if (d >= base) break;
    if (value > (~0ULL - d) / base) overflow = true;
    value = value * base + d;  // wraps once overflowed; only the flag counts then
  }
  if (overflow) return -ERANGE;
  if (digits == 0) return -EINVAL;
  if (i < s.size() && s[i] == '\n') ++i;
  if (i != s.size()) return -EINVAL;
  constexpr unsigned long long kMax = 0x7fffffffffffffffULL;
  if (negative ? value > kMax + 1 : value > kMax) return -ERANGE;
  out = negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
  return 0;
}

// sysfs_streq: equal, allowing one trailing newline on the written side.
bool streq(std::string_view written, std::string_view word) {
  written = as_c_string(written);
  if (!written.empty() && written.back() == '\n') written.remove_suffix(1);
  return written == word;
}

// ----- the tree

enum class node {
  none,
  class_root,       // /sys/class/gpio
  export_file,      // .../export
  unexport_file,    // .../unexport
  class_chip,       // .../gpiochipB -> the chip's directory (link)
  class_pin,        // .../gpioN -> the pin's directory (link)
  soc,              // /sys/devices/platform/soc
  controller,       // .../20200000.gpio
  controller_gpio,  // .../20200000.gpio/gpio
  chip_dir,         // .../gpio/gpiochipB
  chip_base,
  chip_label,
  chip_ngpio,
  chip_device,  // .../gpiochipB/device -> the controller (link)
  gdev,         // .../20200000.gpio/gpiochip0
  gdev_gpio,    // .../gpiochip0/gpio
  pin_dir,      // .../gpiochip0/gpio/gpioN
  direction,
  value,
  edge,
  active_low,
  pin_device,  // .../gpioN/device -> gpiochip0 (link)
};

struct where {
  node kind = node::none;
  int line = -1;
};

bool is_dir(node k) {
  switch (k) {
    case node::class_root:
    case node::soc:
    case node::controller:
    case node::controller_gpio:
    case node::chip_dir:
    case node::gdev:
    case node::gdev_gpio:
    case node::pin_dir:
      return true;
    default:
      return false;
  }
}

bool is_link(node k) {
  return k == node::class_chip || k == node::class_pin || k == node::chip_device ||
         k == node::pin_device;
}

mode_t mode_of(node k) {
  if (is_dir(k)) return S_IFDIR | 0755;
  if (is_link(k)) return S_IFLNK | 0777;
  switch (k) {
    case node::export_file:
    case node::unexport_file:
      return S_IFREG | 0200;
    case node::chip_base:
    case node::chip_label:
    case node::chip_ngpio:
      return S_IFREG | 0444;
    default:
      return S_IFREG | 0644;
  }
}

// "gpio17" with `stem` "gpio": the kernel names with %d, so no sign and no
// leading zeros. Returns the number, or -1.
long named_number(std::string_view name, std::string_view stem) {
  if (!name.starts_with(stem)) return -1;
  name.remove_prefix(stem.size());
  if (name.empty() || name.size() > 5 || (name.size() > 1 && name[0] == '0')) return -1;
  long n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The exported line a "gpioN" name stands for, or -1.
int exported_line(std::string_view name) {
  const long n = named_number(name, "gpio");
  if (n < 0) return -1;
  const long line = n - pin_base(board());
  if (!is_line(line) || gpio_state().pins[line].exported == 0) return -1;
  return static_cast<int>(line);
}

// Classifies a path free of links (canonical), without following any.
// The non-empty parts of a path, without allocating: every open walks
// its path part by part. Deeper paths than any node of the tree are
// marked too deep.
template <std::size_t N>
class path_parts {
 public:
  explicit path_parts(std::string_view path, bool keep_empty = false) {
    while (true) {
      const auto slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      if (!part.empty() || keep_empty) {
        if (n_ == N) {
          too_deep_ = true;
          return;
        }
        parts_[n_++] = part;
      }
      if (slash == std::string_view::npos) return;
      path.remove_prefix(slash + 1);
    }
  }
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  bool too_deep() const { return too_deep_; }
  std::string_view operator[](std::size_t i) const { return parts_[i]; }

 private:
  std::string_view parts_[N];
  std::size_t n_ = 0;
  bool too_deep_ = false;
};

where classify(std::string_view path) {
  if (path.starts_with(kClass) &&
      (path.size() == sizeof kClass - 1 || path[sizeof kClass - 1] == '/')) {
    const path_parts<4> parts(path.substr(sizeof kClass - 1));
    if (parts.too_deep()) return {};
    if (parts.empty()) return {node::class_root};
    if (parts.size() != 1) return {};
    if (parts[0] == "export") return {node::export_file};
    if (parts[0] == "unexport") return {node::unexport_file};
    if (named_number(parts[0], "gpiochip") == pin_base(board())) return {node::class_chip};
    const int line = exported_line(parts[0]);
    if (line >= 0) return {node::class_pin, line};
    return {};
  }
  if (!path.starts_with(kSoc) || (path.size() > sizeof kSoc - 1 && path[sizeof kSoc - 1] != '/')) {
    return {};
  }
  const path_parts<8> parts(path.substr(sizeof kSoc - 1));
  if (parts.too_deep()) return {};
  if (parts.empty()) return {node::soc};
  if (parts[0] != kDevName) return {};
  if (parts.size() == 1) return {node::controller};
  if (parts[1] == "gpio") {
    if (parts.size() == 2) return {node::controller_gpio};
    if (named_number(parts[2], "gpiochip") != pin_base(board())) return {};
    if (parts.size() == 3) return {node::chip_dir};
    if (parts.size() != 4) return {};
    if (parts[3] == "base") return {node::chip_base};
    if (parts[3] == "label") return {node::chip_label};
    if (parts[3] == "ngpio") return {node::chip_ngpio};
    if (parts[3] == "device") return {node::chip_device};
    return {};
  }
  if (parts[1] != "gpiochip0") return {};
  if (parts.size() == 2) return {node::gdev};
  if (parts[2] != "gpio") return {};
  if (parts.size() == 3) return {node::gdev_gpio};
  const int line = exported_line(parts[3]);
  if (line < 0) return {};
  if (parts.size() == 4) return {node::pin_dir, line};
  if (parts.size() != 5) return {};
  const std::string_view leaf = parts[4];
  if (leaf == "direction") return {node::direction, line};
  if (leaf == "value") return {node::value, line};
  if (leaf == "edge") return {node::edge, line};
  if (leaf == "active_low") return {node::active_low, line};
  if (leaf == "device") return {node::pin_device, line};
  return {};
}

// Where a link points, relative to the directory holding it.
std::string link_target(const where &w) {
  const std::string chip = "gpiochip" + std::to_string(pin_base(board()));
  switch (w.kind) {
    case node::class_chip:
      return std::string("../../devices/platform/soc/") + kDevName + "/gpio/" + chip;
    case node::class_pin:
      return std::string("../../devices/platform/soc/") + kDevName + "/gpiochip0/gpio/gpio" +
             std::to_string(number_of(w.line));
    case node::chip_device:
      return std::string("../../../") + kDevName;
    case node::pin_device:
      return "../../../gpiochip0";
    default:
      return {};
  }
}

// Resolves `path` (normalised) as the kernel's path walk would: links
// in the middle are followed, the last one only with `follow`. Fills
// `canonical` with the path free of links. Returns the node or none.
where resolve_walk(const std::string &path, bool follow, std::string &canonical) {
  std::string at = path;
  for (int hops = 0; hops < 8; ++hops) {
    // Find the first link on the way (the prefix roots hold none).
    std::string walked;
    walked.reserve(at.size());
    const path_parts<32> parts(at, true);
    if (parts.too_deep()) return {};
    bool relinked = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
      walked += '/';
      walked += parts[i];
      if (!walked.starts_with(kClass) && !walked.starts_with(kSoc)) continue;
      const where w = classify(walked);
      if (w.kind == node::none) return {};
      const bool last = i + 1 == parts.size();
      if (!is_link(w.kind) || (last && !follow)) {
        if (!last && !is_dir(w.kind) && !is_link(w.kind)) return {};  // ENOTDIR, as absent
        continue;
      }
      const auto slash = walked.rfind('/');
      std::string next = walked.substr(0, slash) + "/" + link_target(w);
      for (std::size_t k = i + 1; k < parts.size(); ++k) {
        next += '/';
        next += parts[k];
      }
      at = normalise(next.c_str());
      relinked = true;
      break;
    }
    if (!relinked) {
      canonical = at;
      return classify(at);
    }
  }
  return {};
}

// The paths a program opens again and again (a value file in a loop), as
// resolved last: an entry holds while the board, its numbering and the
// export of the entry's line are as they were. Lock held.
struct resolved {
  std::string path, canonical;
  bool follow = false;
  where at;
  const shared_board *on = nullptr;
  int base = 0, count = 0;
};
constexpr std::size_t kResolvedKept = 8;
resolved resolved_paths[kResolvedKept];
std::size_t resolved_next = 0;

bool still_holds(const resolved &r) {
  const shared_board &b = board();
  return r.on == &b && r.base == pin_base(b) && r.count == pin_count(b) &&
         (r.at.line < 0 || (is_line(r.at.line) && gpio_state(b).pins[r.at.line].exported != 0));
}

where resolve(const std::string &path, bool follow, std::string &canonical) {
  for (const resolved &r : resolved_paths) {
    if (r.on != nullptr && r.follow == follow && r.path == path && still_holds(r)) {
      canonical = r.canonical;
      return r.at;
    }
  }
  const where w = resolve_walk(path, follow, canonical);
  if (w.kind != node::none) {
    resolved &r = resolved_paths[resolved_next++ % kResolvedKept];
    r = {path, canonical, follow, w, &board(), pin_base(board()), pin_count(board())};
  }
  return w;
}

std::string show(const where &w) {
  const shared_board &b = board();
  switch (w.kind) {
    case node::direction:
      return gpio_state(b).pins[w.line].out != 0 ? "out\n" : "in\n";
    case node::value:
      if (empty_value_fault(number_of(w.line))) return {};
      return value_of(w.line) ? "1\n" : "0\n";
    case node::edge:
      return std::string(edge_name(gpio_state(b).pins[w.line].edge & 3U)) + "\n";
    case node::active_low:
      return gpio_state(b).pins[w.line].active_low != 0 ? "1\n" : "0\n";
    case node::chip_base:
      return std::to_string(pin_base(b)) + "\n";
    case node::chip_label:
      return std::string(kLabel) + "\n";
    case node::chip_ngpio:
      return std::to_string(pin_count(b)) + "\n";
    default:
      return {};
  }
}

int store(const where &w, std::string_view s) {
  shared_board &b = board();
  long long n = 0;
  switch (w.kind) {
    case node::export_file:
    case node::unexport_file: {
      if (const int r = parse_number(s, n); r != 0) return r;
      // No GPIO of that number (negative ones included): the kernel's
      // gpio_to_desc finds none.
      if (n < 0 || n > 4096) return -EINVAL;
      const long line = static_cast<long>(n) - pin_base(b);
      if (!is_line(line)) return -EINVAL;
      shared_pin &r = gpio_state(b).pins[line];
      if (w.kind == node::export_file) {
        if (r.exported != 0 || claimed(static_cast<int>(line)) ||
            chardev_line_requested(static_cast<int>(line))) {
          return -EBUSY;
        }
        r = released(line, true);
        r.seen = line_level(static_cast<int>(line)) ? 1 : 0;
      } else {
        if (r.exported == 0) return -EINVAL;
        r = released(line, false);
      }
      chardev_sysfs_changed(static_cast<int>(line), w.kind == node::export_file);
      pins_changed();  // a jumpered input may follow this pin
      return 0;
    }
    case node::direction: {
      shared_pin &r = gpio_state(b).pins[w.line];
      const bool to_out = streq(s, "out") || streq(s, "low") || streq(s, "high");
      if (!to_out && !streq(s, "in")) return -EINVAL;
      // A line that notifies edges is an interrupt: it cannot drive.
      if (to_out && r.edge != edge_none) return -EIO;
      if (!to_out) {
        r.out = 0;
        r.seen = line_level(w.line) ? 1 : 0;
        pins_changed();
      } else {
        drive(w.line, streq(s, "high"));  // high and low are line levels
      }
      return 0;
    }
    case node::value: {
      const shared_pin &r = gpio_state(b).pins[w.line];
      if (r.out == 0) return -EPERM;
      if (const int r = parse_number(s, n); r != 0) return r;
      drive(w.line, (n != 0) != (r.active_low != 0));
      return 0;
    }
    case node::edge: {
      shared_pin &r = gpio_state(b).pins[w.line];
      int kind = -1;
      for (int k = 0; k < 4; ++k) {
        if (streq(s, kEdgeNames[k])) kind = k;
      }
      if (kind < 0) return -EINVAL;
      if (kind != edge_none && r.out != 0) return -EIO;  // outputs raise no interrupt
      r.edge = static_cast<std::uint8_t>(kind);
      r.seen = line_level(w.line) ? 1 : 0;
      return 0;
    }
    case node::active_low: {
      if (const int r = parse_number(s, n); r != 0) return r;
      shared_pin &r = gpio_state(b).pins[w.line];
      // The line keeps its level; what value reads (and which way its edges
      // go) turns over.
      r.active_low = n != 0 ? 1 : 0;
      return 0;
    }
    default:
      return -EIO;
  }
}

class gpio_file final : public file {
 public:
  gpio_file(std::string canonical, where w) : path_(std::move(canonical)), at_(w) {
    if (at_.kind == node::value) events_ = gpio_state().pins[at_.line].events;
  }

  ssize_t read(void *buf, std::size_t n, off_t &offset) override {
    if (is_dir(at_.kind)) return -EISDIR;
    if (!still_there()) return -ENODEV;
    if ((offset == 0 || shown_.empty()) && at_.kind == node::value) {
      // The file programs read most: its two bytes put in place, as show()
      // gives them, with no text built and moved.
      // Reading takes note of the edges so far, as sysfs does.
      if (empty_value_fault(number_of(at_.line))) {
        shown_.clear();
      } else {
        const char text[2] = {value_of(at_.line) ? '1' : '0', '\n'};
        shown_.assign(text, sizeof text);
      }
      unread_ = false;
      events_ = gpio_state().pins[at_.line].events;
    } else if (offset == 0 || shown_.empty()) {
      shown_ = show(at_);
      unread_ = false;
    }
    if (offset < 0 || static_cast<std::size_t>(offset) >= shown_.size()) return 0;
    const std::size_t left = shown_.size() - static_cast<std::size_t>(offset);
    const std::size_t k = n < left ? n : left;
    std::memcpy(buf, shown_.data() + offset, k);
    offset += static_cast<off_t>(k);
    return static_cast<ssize_t>(k);
  }

  ssize_t write(const void *buf, std::size_t n, off_t &offset) override {
    if (is_dir(at_.kind)) return -EISDIR;
    if (!still_there()) return -ENODEV;
    if (n == 0) return 0;
    // Like sysfs: every write is one store of the whole buffer, whatever
    // the offset; a store longer than a page is cut to the page.
    const std::size_t take = n < kPage ? n : kPage - 1;
    const int r = store(at_, std::string_view(static_cast<const char *>(buf), take));
    if (r < 0) return r;
    offset += static_cast<off_t>(take);
    return static_cast<ssize_t>(take);
  }

  void stat(struct stat &st) const override { fill_stat(st, path_.c_str(), mode_of(at_.kind)); }

  // As sysfs reports for any attribute: POLLPRI and POLLERR until the file
  // is first read, after each edge of a value since it was last read, and
  // once the attribute is gone (its pin unexported), so that a waiter
  // wakes. A program must read the value once before it waits.
  int poll_mask() const override {
    int mask = file::poll_mask();
    if (is_dir(at_.kind)) return mask;
    if (!still_there() || unread_ ||
        (at_.kind == node::value && gpio_state().pins[at_.line].events != events_)) {
      mask |= POLLPRI | POLLERR;
    }
    return mask;
  }

 private:
  // The attribute of a pin that was unexported while open is gone.
  bool still_there() const {
    if (at_.line < 0) return true;
    return gpio_state().pins[at_.line].exported != 0;
  }

  std::string path_;
  where at_;
  std::string shown_;
  std::uint32_t events_ = 0;  // edges of the pin when the value was last read
  bool unread_ = true;        // not read since it was opened
};

// Only the paths under the two roots belong here (not "/sys/class/gpiox").
bool ours(std::string_view p) {
  for (std::string_view root : {std::string_view(kClass), std::string_view(kSoc)}) {
    if (p.starts_with(root) && (p.size() == root.size() || p[root.size()] == '/')) return true;
  }
  return false;
}

int gpio_open(const char *path, int flags, std::unique_ptr<file> &out) {
  if (!ours(path)) return 1;
  std::string canonical;
  const where w = resolve(path, (flags & O_NOFOLLOW) == 0, canonical);
  if (w.kind == node::none) {
    // sysfs has no room for new files: creating one in any of its folders
    // is refused; a name in a folder that does not exist is not there.
    if ((flags & O_CREAT) == 0) return -ENOENT;
    const std::string_view p(path);
    const std::string parent(p.substr(0, p.rfind('/')));
    std::string ignored;
    return is_dir(resolve(parent, true, ignored).kind) ? -EACCES : -ENOENT;
  }
  if (is_link(w.kind)) return -ELOOP;  // O_NOFOLLOW on a link
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
  out = std::make_unique<gpio_file>(canonical, w);
  return 0;
}

int gpio_stat(const char *path, struct stat &st, bool follow) {
  if (!ours(path)) return 1;
  std::string canonical;
  const where w = resolve(path, follow, canonical);
  if (w.kind == node::none) return -ENOENT;
  // sysfs gives its links no length (readlink still gives the target).
  fill_stat(st, canonical.c_str(), mode_of(w.kind), is_link(w.kind) ? 0 : 4096);
  return 0;
}

int gpio_readlink(const char *path, std::string &target) {
  if (!ours(path)) return 1;
  std::string canonical;
  const where w = resolve(path, false, canonical);
  if (w.kind == node::none) return -ENOENT;
  if (!is_link(w.kind)) return -EINVAL;
  target = link_target(w);
  return 0;
}

int gpio_list(const char *path, std::vector<dir_entry> &out) {
  const std::string_view p(path);
  if (p == "/sys/class") {
    out.push_back({"gpio", DT_DIR});
    return 2;
  }
  if (p == "/sys/devices/platform") {
    out.push_back({"soc", DT_DIR});
    return 2;
  }
  if (!ours(p)) return 1;
  std::string canonical;
  const where w = resolve(path, true, canonical);
  if (w.kind == node::none) return -ENOENT;
  if (!is_dir(w.kind)) return -ENOTDIR;
  out.push_back({".", DT_DIR});
  out.push_back({"..", DT_DIR});
  const shared_board &b = board();
  auto exported = [&](unsigned char type) {
    const int count = pin_count(b);
    for (int line = 0; line < count; ++line) {
      if (gpio_state(b).pins[line].exported != 0)
        out.push_back({"gpio" + std::to_string(number_of(line)), type});
    }
  };
  switch (w.kind) {
    case node::class_root:
      out.push_back({"export", DT_REG});
      out.push_back({"gpiochip" + std::to_string(pin_base(b)), DT_LNK});
      exported(DT_LNK);
      out.push_back({"unexport", DT_REG});
      break;
    case node::soc:
      out.push_back({kDevName, DT_DIR});
      break;
    case node::controller:
      out.push_back({"gpio", DT_DIR});
      out.push_back({"gpiochip0", DT_DIR});
      break;
    case node::controller_gpio:
      out.push_back({"gpiochip" + std::to_string(pin_base(b)), DT_DIR});
      break;
    case node::chip_dir:
      for (const char *name : {"base", "label", "ngpio"}) out.push_back({name, DT_REG});
      out.push_back({"device", DT_LNK});
      break;
    case node::gdev:
      out.push_back({"gpio", DT_DIR});
      break;
    case node::gdev_gpio:
      exported(DT_DIR);
      break;
    case node::pin_dir:
      for (const char *name : {"active_low", "direction", "edge", "value"}) {
        out.push_back({name, DT_REG});
      }
      out.push_back({"device", DT_LNK});
      break;
    default:
      break;
  }
  return 0;
}

bool gpio_configure(bool restore) {
  config::reader r(restore);
  shared_board &b = board();
  gpio_slice &g = gpio_state(b);
  const bool strict = config::strict(r);
  if (restore) {
    g.ngpio = kDefaultPins;
    g.base = 0;
    g.reserved &= ~kSpiCsClaimed;
    for (auto &p : g.pins) p.jumper = -1;
  }
  if (const char *v = r.get("VBOARD_NGPIO")) {
    long n = 0;
    if (config::parse_long(v, n) && n > 0 && n <= kMaxPins) {
      g.ngpio = static_cast<int>(n);
    } else {
      r.bad("VBOARD_NGPIO", v, "a number of pins, 1 to 1024");
    }
  }
  if (strict) {
    g.base = kStrictBase;
    g.reserved |= kSpiCsClaimed;
  }
  if (const char *v = r.get("VBOARD_GPIO_BASE")) {
    long n = 0;
    if (config::parse_long(v, n) && n >= 0 && n <= 4096 - pin_count(b)) {
      g.base = static_cast<int>(n);
    } else {
      r.bad("VBOARD_GPIO_BASE", v, "the number of the first pin, 0 to 4096 - VBOARD_NGPIO");
    }
  }
  if (const char *v = r.get("VBOARD_JUMPERS")) {
    std::vector<std::pair<int, int>> pairs;
    for (auto item : config::split(v, ',')) {
      const auto f = config::split(item, ':');
      long a = 0, z = 0;
      if (f.size() != 2 || !config::parse_long(f[0], a) || !config::parse_long(f[1], z) || a < 0 ||
          z < 0 || a >= kMaxPins || z >= kMaxPins || a == z) {
        pairs.clear();
        r.bad("VBOARD_JUMPERS", v, "LINE:LINE[,...], two different lines each");
        break;
      }
      pairs.emplace_back(static_cast<int>(a), static_cast<int>(z));
    }
    for (const auto &[a, z] : pairs) {
      g.pins[a].jumper = static_cast<std::int16_t>(z);
      g.pins[z].jumper = static_cast<std::int16_t>(a);
    }
  }
  empty_pins().clear();
  if (const char *v = r.get("VBOARD_EMPTY_VALUE")) {
    for (auto item : config::split(v, ',')) {
      long n = 0;
      if (!config::parse_long(item, n) || n < 0 || n >= 4096) {
        r.bad("VBOARD_EMPTY_VALUE", v, "GPIO numbers");
        break;
      }
      empty_pins().push_back(static_cast<int>(n));
    }
  }
  return r.ok();
}

// Power-off: every pin released.
void gpio_reset() {
  for (long n = 0; n < kMaxPins; ++n) gpio_state().pins[n] = released(n, false);
}

void gpio_clear_faults() { empty_pins().clear(); }

// Registered before the board's first use (see part.h), whatever order
// the board's files are linked in.
bool gpio_registered = false;
[[gnu::constructor(kRegisterPriority)]] void add_gpio_handlers() {
  gpio_registered =
      add_provider({kClass, gpio_open, gpio_stat, gpio_readlink, gpio_list, gpio_configure,
                    gpio_reset, gpio_clear_faults}) &&
      add_provider({kSoc, gpio_open, gpio_stat, gpio_readlink, gpio_list, nullptr, nullptr, nullptr});
}

}  // namespace

void pins_changed() {
  shared_board &b = board();
  bool notified = false;
  const int count = pin_count(b);
  for (int line = 0; line < count; ++line) {
    shared_pin &r = gpio_state(b).pins[line];
    if (r.exported == 0 || r.out != 0) continue;
    const std::uint8_t now = line_level(line) ? 1 : 0;
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
  if (chardev_pins_changed()) notified = true;
  if (notified) notify_edges();
  capture_lines();
}

bool gpio_line_level(int line) { return line_level(line); }
void gpio_drive(int line, bool level) { drive(line, level); }
const char *gpio_claimed_by(int line) {
  if (!claimed(line)) return nullptr;
  return line == 8 ? "spi0 CS0" : "spi0 CS1";
}
const char *gpio_chip_label() { return kLabel; }

namespace {

// With `level` false, 1 when `pin` is exported, 0 when not; with `level`
// true, the level its value file reads, -1 when not exported. -1 for a
// number that is no pin. Lock held.
int pin_query(int number, bool level) {
  (void)gpio_registered;
  const long line = static_cast<long>(number) - pin_base(board());
  if (!is_line(line)) return -1;
  if (gpio_state().pins[line].exported == 0) return level ? -1 : 0;
  return level ? (value_of(static_cast<int>(line)) ? 1 : 0) : 1;
}

// The pins' part of the board object.
void gpio_power_on(shared_board &b) {
  gpio_slice &g = gpio_state(b);
  g.ngpio = kDefaultPins;
  g.base = 0;
  for (auto &p : g.pins) p.jumper = -1;
}

const char *gpio_damage(const shared_board &b) {
  const gpio_slice &g = gpio_state(b);
  auto bit = [](std::uint8_t v) { return v <= 1; };
  if (g.ngpio < 1 || g.ngpio > kMaxPins || g.base < 0 || g.base + g.ngpio > 4096) {
    return "its pin count is invalid";
  }
  for (const auto &p : g.pins) {
    if (!bit(p.exported) || !bit(p.out) || !bit(p.level) || !bit(p.active_low) || !bit(p.seen) ||
        p.edge > edge_both || p.jumper < -1 || p.jumper >= kMaxPins) {
      return "a pin's state is invalid";
    }
  }
  return nullptr;
}

void gpio_show(const shared_board &b, std::string &out) {
  const int base = pin_base(b), count = pin_count(b);
  show_line(out, "gpio: GPIO %d-%d (gpiochip%d)\n", base, base + count - 1, base);
  int exported = 0;
  for (int p = 0; p < count; ++p) {
    const shared_pin &r = gpio_state(b).pins[p];
    if (r.exported == 0) continue;
    if (exported++ == 0)
      show_line(out, "  %-6s %-9s %-5s %-10s %s\n", "pin", "direction", "value", "active_low",
                "edge");
    show_line(out, "  %-6d %-9s %-5d %-10d %s\n", base + p, r.out != 0 ? "out" : "in",
              pin_query(base + p, true), r.active_low, edge_name(shared_read(r.edge)));
  }
  if (exported == 0) out += "  no pin exported\n";
}

[[gnu::constructor(kRegisterPriority)]] void add_gpio_part() {
  // After a power cycle the lines are looked at afresh (a capture starts
  // from them).
  add_part({"gpio", 10, gpio_power_on, gpio_damage, gpio_show, nullptr, pins_changed,
            sizeof(gpio_slice), alignof(gpio_slice), 30, &gpio_at, nullptr, 0});
}

}  // namespace

static_assert(sizeof(gpio_slice) == 16 + 12 * kMaxPins);

gpio_slice &gpio_state(shared_board &b) {
  return *static_cast<gpio_slice *>(board_slice(b, gpio_at));
}
const gpio_slice &gpio_state(const shared_board &b) {
  return *static_cast<const gpio_slice *>(board_slice(b, gpio_at));
}
gpio_slice &gpio_state() { return gpio_state(board()); }

}  // namespace vboard

extern "C" int vboard_pin_exported(int pin) {
  vboard::board_lock lock;
  vboard::ensure_ready();
  return vboard::pin_query(pin, false);
}

extern "C" int vboard_pin_level(int pin) {
  vboard::board_lock lock;
  vboard::ensure_ready();
  return vboard::pin_query(pin, true);
}

extern "C" int vboard_fault_empty_value(int pin, int empty) {
  if (pin < 0 || pin >= 4096) return vboard::fail(EINVAL);
  vboard::board_lock lock;
  vboard::ensure_ready();
  auto &pins = vboard::empty_pins();
  std::erase(pins, pin);
  if (empty != 0) pins.push_back(pin);
  return 0;
}
