// The GPIO character device: /dev/gpiochip0 for the SoC's controller, the
// same lines the sysfs tree drives, with both of the kernel's user
// interfaces: the first (line handles and line events, which Debian 12's
// libgpiod 1.6, its tools and its Python binding use) and the second (line
// requests with per-line configuration, which newer libgpiod and the
// kernel's own tools use), with line info watches for both; and
// /sys/bus/gpio, where libgpiod checks that the device node is a GPIO chip.
//
// One controller, two interfaces: a line held by a request is busy for a
// sysfs export and an exported line is busy for a request; levels,
// directions and active_low are the shared_pin records of the sysfs side,
// so the chip answers a conversion bit-banged through a request as it does
// through sysfs. Every request keeps its lines' flags in the second
// interface's terms, whichever interface made it, so either one's line
// info shows any request. The requests are the chardev part of the board
// object, checked when found and listed by `vboard show`.
//
// Who holds a request: the kernel lets go of a request's lines when the
// last descriptor of it closes, in whichever process, and when that process
// ends however it ends. The request's record lives in the shared board
// object; beside it each request holds an open-file-description lock on a
// byte of its record, through a description of the board object of its
// own. The kernel drops that lock when the process ends (a child of fork
// shares the description, so the lock lasts while either keeps it), and a
// record whose lock nobody holds is let go by the next process that looks.
//
// Lines are named "GPIO<n>" after their offset, as the BCM2835's pins are
// named on its data sheet and on the board's header; the chip is
// "gpiochip0" with the sysfs chip's label, whatever base the sysfs
// numbering starts at, as on the target.
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

// The kernel's structures, as its header gives them: the sizes every
// build of the board must agree with (gpioevent_data's tail padding is
// there on 64-bit and ARM builds alike).
static_assert(sizeof(gpiochip_info) == 68);
static_assert(sizeof(gpioline_info) == 72);
static_assert(sizeof(gpiohandle_request) == 364);
static_assert(sizeof(gpiohandle_config) == 84);
static_assert(sizeof(gpiohandle_data) == 64);
static_assert(sizeof(gpioevent_request) == 48);
static_assert(sizeof(gpioevent_data) == 16);
static_assert(sizeof(gpio_v2_line_attribute) == 16);
static_assert(sizeof(gpio_v2_line_config) == 272);
static_assert(sizeof(gpio_v2_line_request) == 592);
static_assert(sizeof(gpio_v2_line_info) == 256);
static_assert(sizeof(gpio_v2_line_values) == 16);
static_assert(sizeof(gpio_v2_line_event) == 48);
static_assert(vboard::kRequestLines == GPIO_V2_LINES_MAX && GPIOHANDLES_MAX == GPIO_V2_LINES_MAX);

namespace vboard {
namespace {

std::size_t chardev_at = 0;  // the requests' slice of the board object

constexpr char kChipPrefix[] = "/dev/gpiochip";
constexpr char kChipPath[] = "/dev/gpiochip0";
constexpr char kChipName[] = "gpiochip0";
constexpr char kBus[] = "/sys/bus/gpio";
// The character devices' major number as the target's kernel gives it to
// its first GPIO chip; /sys/bus/gpio/devices/gpiochip0/dev says the same.
constexpr unsigned kMajor = 254;
constexpr char kDevNumber[] = "254:0\n";

constexpr std::uint32_t kHandle = 1, kEvent = 2, kLine = 3;
// The first interface's queue; the second's is 16 a line (see take_slot).
constexpr std::uint32_t kV1Events = 16;

constexpr std::uint32_t kBias = GPIOHANDLE_REQUEST_BIAS_PULL_UP |
                                GPIOHANDLE_REQUEST_BIAS_PULL_DOWN | GPIOHANDLE_REQUEST_BIAS_DISABLE;
constexpr std::uint32_t kHandleFlags =
    GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_ACTIVE_LOW |
    GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE | kBias;
constexpr std::uint32_t kEventFlags = GPIOEVENT_REQUEST_BOTH_EDGES;

constexpr std::uint64_t kIn = GPIO_V2_LINE_FLAG_INPUT, kOut = GPIO_V2_LINE_FLAG_OUTPUT,
                        kLow = GPIO_V2_LINE_FLAG_ACTIVE_LOW,
                        kRising = GPIO_V2_LINE_FLAG_EDGE_RISING,
                        kFalling = GPIO_V2_LINE_FLAG_EDGE_FALLING,
                        kDrain = GPIO_V2_LINE_FLAG_OPEN_DRAIN,
                        kSource = GPIO_V2_LINE_FLAG_OPEN_SOURCE,
                        kRealtime = GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME,
                        kHte = GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
constexpr std::uint64_t kBias2 = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                                 GPIO_V2_LINE_FLAG_BIAS_DISABLED;
constexpr std::uint64_t kValid2 =
    kLow | kIn | kOut | kRising | kFalling | kDrain | kSource | kBias2 | kRealtime | kHte;

// The kernel copies a request's consumer with its last byte cut.
template <std::size_t N>
void copy_label(char (&to)[N], const char *from, std::size_t from_size) {
  std::size_t n = 0;
  while (n + 1 < N && n + 1 < from_size && from[n] != '\0') ++n;
  std::memcpy(to, from, n);
  std::memset(to + n, 0, N - n);
}

bool all_zero(const void *p, std::size_t n) {
  const auto *b = static_cast<const unsigned char *>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// The first interface's request flags in the second's terms.
std::uint64_t from_v1(std::uint32_t f) {
  std::uint64_t out = 0;
  if ((f & GPIOHANDLE_REQUEST_INPUT) != 0) out |= kIn;
  if ((f & GPIOHANDLE_REQUEST_OUTPUT) != 0) out |= kOut;
  if ((f & GPIOHANDLE_REQUEST_ACTIVE_LOW) != 0) out |= kLow;
  if ((f & GPIOHANDLE_REQUEST_OPEN_DRAIN) != 0) out |= kDrain;
  if ((f & GPIOHANDLE_REQUEST_OPEN_SOURCE) != 0) out |= kSource;
  if ((f & GPIOHANDLE_REQUEST_BIAS_PULL_UP) != 0) out |= GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
  if ((f & GPIOHANDLE_REQUEST_BIAS_PULL_DOWN) != 0) out |= GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;
  if ((f & GPIOHANDLE_REQUEST_BIAS_DISABLE) != 0) out |= GPIO_V2_LINE_FLAG_BIAS_DISABLED;
  return out;
}

// ----- who holds a request (see the note at the top)

off_t lock_offset(int slot) {
  const auto *base = reinterpret_cast<const unsigned char *>(&board());
  const auto *at = reinterpret_cast<const unsigned char *>(&chardev_state().requests[slot].pid);
  return static_cast<off_t>(at - base);
}

bool owner_alive(int slot) {
  const int fd = looking_fd();
  if (fd < 0) return true;  // the private board: only this process
  return ofd_lock_byte(fd, lock_offset(slot), F_WRLCK, F_OFD_GETLK) != F_UNLCK;
}

// A program that ends leaves its requests to the kernel's close of its
// descriptors (the lock goes); files the descriptor table destroys after
// this leave the board alone.
bool exiting = false;
void chip_at_exit() { exiting = true; }

// ----- the requests on the board
//
// A request's record is shared with every process on the board, any of
// which may write it: its counts and lines are bounded where they are
// used, so a record written wrongly gives wrong answers, never a fault.

std::uint32_t lines_in(const shared_line_request &r) {
  return std::min<std::uint32_t>(shared_read(r.num_lines), kRequestLines);
}
int line_of(const shared_line_request &r, std::uint32_t i) {
  const std::uint32_t v = shared_read(r.offsets[i]);
  return v < static_cast<std::uint32_t>(kMaxPins) ? static_cast<int>(v) : 0;
}
// The queue's room, and where its oldest event and its count are.
struct queue_place {
  std::uint32_t cap, first, count;
};
queue_place place_of(const shared_line_request &r) {
  const std::uint32_t cap = std::min<std::uint32_t>(shared_read(r.capacity), kLineEvents);
  if (cap == 0) return {0, 0, 0};
  return {cap, shared_read(r.first) % cap, std::min(shared_read(r.count), cap)};
}

// Tells the chip descriptors watching `line` that its info changed.
void info_changed(int line, std::uint32_t type) {
  chardev_slice &b = chardev_state();
  const std::uint32_t seq = ++b.info_seq;
  b.info_changes[seq % kInfoChanges] = {monotonic_ns(), seq, static_cast<std::uint32_t>(line), type,
                                        0};
  notify_edges();
}

// Lets go of the request in `slot`: its lines go back to inputs, not
// driven, as an unexported pin does.
void release(int slot) {
  shared_board &b = board();
  for (int line = 0; line < kMaxPins; ++line) {
    if (chardev_state(b).line_request[line] != slot + 1) continue;
    chardev_state(b).line_request[line] = 0;
    shared_pin &p = gpio_state(b).pins[line];
    const std::int16_t jumper = p.jumper;
    p = shared_pin{};
    p.jumper = jumper;
    info_changed(line, GPIO_V2_LINE_CHANGED_RELEASED);
  }
  chardev_state(b).requests[slot] = shared_line_request{};
  pins_changed();
}

// Lets go of the requests whose owners are gone.
void sweep() {
  for (int slot = 0; slot < kLineRequests; ++slot) {
    if (chardev_state().requests[slot].kind != 0 && !owner_alive(slot)) release(slot);
  }
}

// The live request holding `line`, or -1.
int holder(int line) {
  const int s = chardev_state().line_request[line] - 1;
  if (s < 0 || s >= kLineRequests || chardev_state().requests[s].kind == 0) return -1;
  return s;
}

// Where `line` is in the request of `slot`.
std::uint32_t index_in(const shared_line_request &r, int line) {
  for (std::uint32_t i = 0, n = lines_in(r); i < n; ++i) {
    if (line_of(r, i) == line) return i;
  }
  return 0;
}

bool is_line(std::uint32_t line) { return line < static_cast<std::uint32_t>(pin_count(board())); }

// Why `line` cannot be requested: -EBUSY when a request, the sysfs tree or
// a kernel driver holds it; 0 when free.
int busy(int line) {
  const gpio_slice &b = gpio_state();
  if (holder(line) >= 0 || b.pins[line].exported != 0 || gpio_claimed_by(line) != nullptr) {
    return -EBUSY;
  }
  return 0;
}

// The flags of a line handle request the kernel refuses.
bool bad_handle_flags(std::uint32_t f) {
  if ((f & ~kHandleFlags) != 0) return true;
  const bool in = (f & GPIOHANDLE_REQUEST_INPUT) != 0;
  const bool out = (f & GPIOHANDLE_REQUEST_OUTPUT) != 0;
  const bool drain = (f & GPIOHANDLE_REQUEST_OPEN_DRAIN) != 0;
  const bool source = (f & GPIOHANDLE_REQUEST_OPEN_SOURCE) != 0;
  const std::uint32_t bias = f & kBias;
  if (in && out) return true;
  if (drain && source) return true;
  if ((drain || source) && !out) return true;
  if (bias != 0 && !in && !out) return true;  // bias only with a direction
  return std::popcount(bias) > 1;
}

// The same for one line's flags of the second interface.
bool bad_line_flags(std::uint64_t f) {
  if ((f & ~kValid2) != 0) return true;
  const bool in = (f & kIn) != 0, out = (f & kOut) != 0;
  if (in && out) return true;
  if ((f & (kRising | kFalling)) != 0 && !in) return true;  // edges need an explicit input
  if ((f & kRealtime) != 0 && (f & kHte) != 0) return true;
  if ((f & kDrain) != 0 && (f & kSource) != 0) return true;
  if ((f & (kDrain | kSource)) != 0 && !out) return true;
  if ((f & kBias2) != 0 && !in && !out) return true;
  return std::popcount(f & kBias2) > 1;
}

// What a line configuration of the second interface gives line `i`: the
// first attribute whose mask has the line decides, else the default.
std::uint64_t config_flags(const gpio_v2_line_config &c, std::uint32_t i) {
  for (std::uint32_t k = 0; k < c.num_attrs && k < GPIO_V2_LINE_NUM_ATTRS_MAX; ++k) {
    const auto &a = c.attrs[k];
    if (a.attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && ((a.mask >> i) & 1) != 0) return a.attr.flags;
  }
  return c.flags;
}
bool config_value(const gpio_v2_line_config &c, std::uint32_t i) {
  for (std::uint32_t k = 0; k < c.num_attrs && k < GPIO_V2_LINE_NUM_ATTRS_MAX; ++k) {
    const auto &a = c.attrs[k];
    if (a.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES && ((a.mask >> i) & 1) != 0) {
      return ((a.attr.values >> i) & 1) != 0;
    }
  }
  return false;
}
std::uint32_t config_debounce(const gpio_v2_line_config &c, std::uint32_t i) {
  for (std::uint32_t k = 0; k < c.num_attrs && k < GPIO_V2_LINE_NUM_ATTRS_MAX; ++k) {
    const auto &a = c.attrs[k];
    if (a.attr.id == GPIO_V2_LINE_ATTR_ID_DEBOUNCE && ((a.mask >> i) & 1) != 0) {
      return a.attr.debounce_period_us;
    }
  }
  return 0;
}

// -EINVAL when the kernel refuses configuration `c` for `n` lines; a
// hardware timestamp engine, which the board has none of, is -EOPNOTSUPP.
int check_config(const gpio_v2_line_config &c, std::uint32_t n) {
  if (c.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !all_zero(c.padding, sizeof c.padding)) {
    return -EINVAL;
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    if (bad_line_flags(config_flags(c, i))) return -EINVAL;
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    if ((config_flags(c, i) & kHte) != 0) return -EOPNOTSUPP;
  }
  return 0;
}

// Line `i` of the request in `slot` as `flags` ask: active_low, then the
// direction (an output at logical `value`); neither direction leaves it
// as it is. The caller calls pins_changed() after the last line.
void configure_line(shared_line_request &r, std::uint32_t i, std::uint64_t flags, bool value,
                    std::uint32_t debounce_us) {
  const int line = line_of(r, i);
  shared_pin &p = gpio_state().pins[line];
  r.flags[i] = flags;
  r.debounce_us[i] = debounce_us;
  p.active_low = (flags & kLow) != 0 ? 1 : 0;
  if ((flags & kOut) != 0) {
    gpio_drive(line, value != ((flags & kLow) != 0));
  } else if ((flags & kIn) != 0) {
    p.out = 0;
  }
  const std::uint64_t bit = std::uint64_t{1} << i;
  r.seen = gpio_line_level(line) ? r.seen | bit : r.seen & ~bit;
}

// The logical value of `line` as a request reads it.
bool chip_line_value(int line) {
  return gpio_line_level(line) != (gpio_state().pins[line].active_low != 0);
}

// A line's flags and consumer as the second interface shows them; the
// first shows the same through line_info_v1.
struct line_state {
  std::uint64_t flags = 0;
  std::uint32_t debounce_us = 0;
  const char *consumer = nullptr;
};

line_state state_of(int line) {
  const shared_board &b = board();
  const shared_pin &p = gpio_state(b).pins[line];
  line_state s;
  s.flags = p.out != 0 ? kOut : kIn;
  if (p.active_low != 0) s.flags |= kLow;
  if (const int h = holder(line); h >= 0) {
    const shared_line_request &r = chardev_state(b).requests[h];
    const std::uint32_t i = index_in(r, line);
    s.flags |= r.flags[i] & (kRising | kFalling | kDrain | kSource | kBias2 | kRealtime);
    s.debounce_us = r.debounce_us[i];
    s.consumer = r.consumer[0] != '\0' ? r.consumer : "?";
  } else if (p.exported != 0) {
    s.consumer = "sysfs";
  } else if (const char *driver = gpio_claimed_by(line)) {
    // A chip select the SPI driver drives, active low.
    s.flags = kOut | kLow;
    s.consumer = driver;
  }
  if (s.consumer != nullptr) s.flags |= GPIO_V2_LINE_FLAG_USED;
  return s;
}

gpio_v2_line_info line_info_v2(int line) {
  const line_state s = state_of(line);
  gpio_v2_line_info info{};
  info.offset = static_cast<std::uint32_t>(line);
  std::snprintf(info.name, sizeof info.name, "GPIO%d", line);
  if (s.consumer != nullptr) std::snprintf(info.consumer, sizeof info.consumer, "%.31s", s.consumer);
  info.flags = s.flags;
  if (s.debounce_us != 0) {
    info.num_attrs = 1;
    info.attrs[0].id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
    info.attrs[0].debounce_period_us = s.debounce_us;
  }
  return info;
}

// The first interface's terms for the same: its flags are the second's,
// named otherwise.
gpioline_info line_info_v1(int line) {
  const gpio_v2_line_info v2 = line_info_v2(line);
  gpioline_info info{};
  info.line_offset = v2.offset;
  std::memcpy(info.name, v2.name, sizeof info.name);
  std::memcpy(info.consumer, v2.consumer, sizeof info.consumer);
  const std::pair<std::uint64_t, std::uint32_t> map[] = {
      {GPIO_V2_LINE_FLAG_USED, GPIOLINE_FLAG_KERNEL},
      {kOut, GPIOLINE_FLAG_IS_OUT},
      {kLow, GPIOLINE_FLAG_ACTIVE_LOW},
      {kDrain, GPIOLINE_FLAG_OPEN_DRAIN},
      {kSource, GPIOLINE_FLAG_OPEN_SOURCE},
      {GPIO_V2_LINE_FLAG_BIAS_PULL_UP, GPIOLINE_FLAG_BIAS_PULL_UP},
      {GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN, GPIOLINE_FLAG_BIAS_PULL_DOWN},
      {GPIO_V2_LINE_FLAG_BIAS_DISABLED, GPIOLINE_FLAG_BIAS_DISABLE},
  };
  for (const auto &[flag2, flag1] : map) {
    if ((v2.flags & flag2) != 0) info.flags |= flag1;
  }
  return info;
}

// Queues an edge of line `i` of `r`. The first interface's full queue
// keeps what it has; the second's drops its oldest event, as the kernel's
// do (a reader tells from the sequence numbers).
bool queue_event(shared_line_request &r, std::uint32_t i, bool rose) {
  ++r.seqno;
  ++r.line_seqno[i];
  queue_place q = place_of(r);
  if (q.cap == 0) return false;
  if (q.count >= q.cap) {
    ++r.dropped;
    if (r.kind != kLine) return false;
    q.first = (q.first + 1) % q.cap;
    --q.count;
  }
  shared_line_event &e = r.queue[(q.first + q.count) % q.cap];
  if ((r.flags[i] & kRealtime) != 0) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    e.timestamp_ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000U +
                     static_cast<std::uint64_t>(ts.tv_nsec);
  } else {
    e.timestamp_ns = monotonic_ns();
  }
  e.id = rose ? GPIO_V2_LINE_EVENT_RISING_EDGE : GPIO_V2_LINE_EVENT_FALLING_EDGE;
  e.offset = static_cast<std::uint32_t>(line_of(r, i));
  e.seqno = r.seqno;
  e.line_seqno = r.line_seqno[i];
  r.first = q.first;
  r.count = q.count + 1;
  return true;
}

// Fills `st` for a file a request made: the kernel's anonymous inodes
// have no file type, only the owner's read and write bits.
void anon_stat(struct stat &st, const char *name) { fill_stat(st, name, S_IRUSR | S_IWUSR, 0); }

// ----- the descriptors a request returns

const char *anon_name(std::uint32_t kind) {
  return kind == kHandle  ? "anon_inode:gpio-linehandle"
         : kind == kEvent ? "anon_inode:gpio-event"
                          : "anon_inode:gpio-line";
}

class request_file final : public file {
 public:
  request_file(int slot, int lock_fd)
      : slot_(slot),
        lock_fd_(lock_fd),
        on_(&board()),
        kind_(chardev_state().requests[slot].kind),
        serial_(chardev_state().requests[slot].serial) {
    if (lock_fd_ >= 0) keep_fd(lock_fd_);
  }
  // The lines go with the last descriptor of the request, in whichever
  // process holds it: a copy inherited through fork or exec shares the
  // open of the board object whose lock marks the request as held.
  ~request_file() override {
    if (exiting) return;  // the kernel closes the rest, and the lock goes
    const bool shared = lock_fd_ >= 0;
    close_kept(lock_fd_);
    if (live() && (!shared || !owner_alive(slot_))) release(slot_);
  }
  request_file(const request_file &) = delete;
  request_file &operator=(const request_file &) = delete;

  int ioctl(unsigned long request, void *arg, trace_note &note) override {
    if (!live()) return -ENODEV;
    if (kind_ == kLine) return ioctl_v2(request, arg, note);
    if (request == GPIOHANDLE_GET_LINE_VALUES_IOCTL) {
      if (bad_address(arg)) return -EFAULT;
      gpiohandle_data d{};
      const shared_line_request &r = record();
      for (std::uint32_t i = 0, n = lines_in(r); i < n; ++i) {
        d.values[i] = chip_line_value(line_of(r, i)) ? 1 : 0;
      }
      std::memcpy(arg, &d, sizeof d);
      return 0;
    }
    if (kind_ != kHandle) return -EINVAL;
    switch (request) {
      case GPIOHANDLE_SET_LINE_VALUES_IOCTL: {
        if (bad_address(arg)) return -EFAULT;
        const shared_line_request &r = record();
        // Only outputs take values: the first line tells for all.
        if (gpio_state().pins[line_of(r, 0)].out == 0) return -EPERM;
        gpiohandle_data d{};
        std::memcpy(&d, arg, sizeof d);
        // The trace shows the values set, one byte a line.
        const std::uint32_t n = lines_in(r);
        note.bytes = n;
        note.keep(d.values, n);
        for (std::uint32_t i = 0; i < n; ++i) {
          const int line = line_of(r, i);
          gpio_drive(line, (d.values[i] != 0) != (gpio_state().pins[line].active_low != 0));
        }
        return 0;
      }
      case GPIOHANDLE_SET_CONFIG_IOCTL: {
        if (bad_address(arg)) return -EFAULT;
        gpiohandle_config c{};
        std::memcpy(&c, arg, sizeof c);
        if (bad_handle_flags(c.flags)) return -EINVAL;
        shared_line_request &r = record();
        for (std::uint32_t i = 0, n = lines_in(r); i < n; ++i) {
          configure_line(r, i, from_v1(c.flags), c.default_values[i] != 0, 0);
          info_changed(line_of(r, i), GPIO_V2_LINE_CHANGED_CONFIG);
        }
        pins_changed();
        return 0;
      }
      default:
        return -EINVAL;
    }
  }

  // A full queue fits the page the core lends a large read (file::reach).
  static_assert(kLineEvents * sizeof(gpio_v2_line_event) <= kPage);

  // Whole records only, oldest first; an empty queue answers EAGAIN (on a
  // blocking descriptor the core waits for an event first). A line handle
  // has nothing to read.
  ssize_t read(void *buf, std::size_t n, off_t &) override {
    if (!live()) return -ENODEV;
    if (kind_ == kHandle) return -EINVAL;
    const std::size_t size = kind_ == kEvent ? sizeof(gpioevent_data) : sizeof(gpio_v2_line_event);
    if (n < size) return -EINVAL;
    shared_line_request &r = record();
    queue_place q = place_of(r);
    if (q.count == 0) return -EAGAIN;
    std::size_t done = 0;
    auto *out = static_cast<unsigned char *>(buf);
    while (q.count != 0 && n - done >= size) {
      const shared_line_event &e = r.queue[q.first];
      if (kind_ == kEvent) {
        gpioevent_data d{};
        d.timestamp = e.timestamp_ns;
        d.id = e.id;
        std::memcpy(out + done, &d, sizeof d);
      } else {
        gpio_v2_line_event d{};
        d.timestamp_ns = e.timestamp_ns;
        d.id = e.id;
        d.offset = e.offset;
        d.seqno = e.seqno;
        d.line_seqno = e.line_seqno;
        std::memcpy(out + done, &d, sizeof d);
      }
      done += size;
      q.first = (q.first + 1) % q.cap;
      --q.count;
    }
    r.first = q.first;
    r.count = q.count;
    return static_cast<ssize_t>(done);
  }

  bool read_waits() const override { return kind_ != kHandle; }

  // A line handle has no poll routine: always ready, as the kernel says.
  int poll_mask() const override {
    if (kind_ == kHandle) return file::poll_mask();
    if (!live()) return POLLERR;
    return place_of(record()).count != 0 ? POLLIN | POLLRDNORM : 0;
  }

  void stat(struct stat &st) const override { anon_stat(st, anon_name(kind_)); }

  // Survives exec when the board is shared: the open of the board object
  // that holds the request's lock goes with it (see adopt_request).
  int exec_token(char *buf, std::size_t n) override {
    const int lock = lock_fd_;
    if (lock < 0 || !live() || raw_fcntl(lock, F_SETFD, 0) != 0) return 0;
    const int len = std::snprintf(buf, n, "%d.%u.%d", slot_, serial_, lock);
    return len > 0 && static_cast<std::size_t>(len) < n ? len : 0;
  }
  void exec_failed() override {
    if (const int lock = lock_fd_; lock >= 0) (void)raw_fcntl(lock, F_SETFD, FD_CLOEXEC);
  }

 private:
  int ioctl_v2(unsigned long request, void *arg, trace_note &note) {
    shared_line_request &r = record();
    const std::uint32_t lines = lines_in(r);
    const std::uint64_t all = lines >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lines) - 1;
    switch (request) {
      case GPIO_V2_LINE_GET_VALUES_IOCTL: {
        if (bad_address(arg)) return -EFAULT;
        gpio_v2_line_values v{};
        std::memcpy(&v, arg, sizeof v);
        const std::uint64_t mask = v.mask & all;
        if (mask == 0) return -EINVAL;
        v.bits = 0;
        for (std::uint32_t i = 0; i < lines; ++i) {
          if (((mask >> i) & 1) != 0 && chip_line_value(line_of(r, i))) {
            v.bits |= std::uint64_t{1} << i;
          }
        }
        std::memcpy(arg, &v, sizeof v);
        return 0;
      }
      case GPIO_V2_LINE_SET_VALUES_IOCTL: {
        if (bad_address(arg)) return -EFAULT;
        gpio_v2_line_values v{};
        std::memcpy(&v, arg, sizeof v);
        const std::uint64_t mask = v.mask & all;
        // The trace shows the values set: bits, then mask.
        note.bytes = sizeof v;
        note.keep(&v, sizeof v);
        if (mask == 0) return -EINVAL;
        for (std::uint32_t i = 0; i < lines; ++i) {
          if (((mask >> i) & 1) != 0 && gpio_state().pins[line_of(r, i)].out == 0) return -EPERM;
        }
        for (std::uint32_t i = 0; i < lines; ++i) {
          if (((mask >> i) & 1) == 0) continue;
          const int line = line_of(r, i);
          gpio_drive(line, (((v.bits >> i) & 1) != 0) != (gpio_state().pins[line].active_low != 0));
        }
        return 0;
      }
      case GPIO_V2_LINE_SET_CONFIG_IOCTL: {
        if (bad_address(arg)) return -EFAULT;
        gpio_v2_line_config c{};
        std::memcpy(&c, arg, sizeof c);
        if (const int e = check_config(c, lines)) return e;
        for (std::uint32_t i = 0; i < lines; ++i) {
          configure_line(r, i, config_flags(c, i), config_value(c, i), config_debounce(c, i));
          info_changed(line_of(r, i), GPIO_V2_LINE_CHANGED_CONFIG);
        }
        pins_changed();
        return 0;
      }
      default:
        return -EINVAL;
    }
  }

  // False once the board was powered off under the request.
  bool live() const {
    const shared_line_request &r = chardev_state().requests[slot_];
    return on_ == &board() && r.kind != 0 && r.serial == serial_;
  }
  shared_line_request &record() const { return chardev_state().requests[slot_]; }

  int slot_;
  std::atomic<int> lock_fd_;
  const shared_board *on_;
  std::uint32_t kind_;
  std::uint32_t serial_;
};

// Takes a slot for a request of `n` lines and holds it. Returns the slot
// and sets `lock_fd`, or -errno.
int take_slot(const std::uint32_t *lines, std::uint32_t n, std::uint32_t kind, const char *consumer,
              std::size_t consumer_size, int &lock_fd) {
  chardev_slice &b = chardev_state();
  sweep();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (!is_line(lines[i])) return -EINVAL;
    if (const int e = busy(static_cast<int>(lines[i]))) return e;
    for (std::uint32_t k = 0; k < i; ++k) {
      if (lines[k] == lines[i]) return -EBUSY;  // asked twice: the second finds it taken
    }
  }
  int slot = -1;
  for (int s = 0; s < kLineRequests && slot < 0; ++s) {
    if (b.requests[s].kind == 0) slot = s;
  }
  if (slot < 0) return -ENOMEM;
  lock_fd = board_object_fd();
  if (lock_fd >= 0 && ofd_lock_byte(lock_fd, lock_offset(slot), F_WRLCK, F_OFD_SETLK) != 0) {
    const int err = errno;
    real_close(lock_fd);
    return -err;
  }
  static bool hooked = false;
  if (!hooked) hooked = std::atexit(chip_at_exit) == 0;
  shared_line_request &r = b.requests[slot];
  r = shared_line_request{};
  r.kind = kind;
  r.pid = static_cast<std::uint32_t>(own_pid());
  r.serial = static_cast<std::uint32_t>(monotonic_ns()) ^ r.pid;
  r.num_lines = n;
  r.capacity = kV1Events;
  copy_label(r.consumer, consumer, consumer_size);
  for (std::uint32_t i = 0; i < n; ++i) {
    r.offsets[i] = lines[i];
    b.line_request[lines[i]] = static_cast<std::int16_t>(slot + 1);
    info_changed(static_cast<int>(lines[i]), GPIO_V2_LINE_CHANGED_REQUESTED);
  }
  return slot;
}

// A request's descriptor a program kept across exec (see
// request_file::exec_token): "SLOT.SERIAL.LOCKFD".
int adopt_request(std::string_view token, std::unique_ptr<file> &out) {
  char text[64];
  if (token.size() >= sizeof text) return 1;
  std::memcpy(text, token.data(), token.size());
  text[token.size()] = '\0';
  int slot = -1, lock = -1, used = 0;
  unsigned serial = 0;
  if (std::sscanf(text, "%d.%u.%d%n", &slot, &serial, &lock, &used) != 3 ||
      static_cast<std::size_t>(used) != token.size() || !is_board_object(lock))
    return 1;
  if (slot < 0 || slot >= kLineRequests || chardev_state().requests[slot].kind == 0 ||
      chardev_state().requests[slot].serial != serial) {
    real_close(lock);  // the request is gone: its lock must not linger here
    return 1;
  }
  (void)raw_fcntl(lock, F_SETFD, FD_CLOEXEC);
  out = std::make_unique<request_file>(slot, lock);
  return 0;
}

// The descriptor for the request in `slot`, written to `fd_field` of the
// caller's structure `arg` (`size` bytes, copied in as `copy`).
int hand_out(int slot, int lock_fd, void *arg, void *copy, std::size_t size, int &fd_field) {
  auto f = std::make_unique<request_file>(slot, lock_fd);
  const int fd = add_descriptor(std::move(f), anon_name(chardev_state().requests[slot].kind),
                                O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fd;  // the file is gone, and the request with it
  fd_field = fd;
  std::memcpy(arg, copy, size);
  return 0;
}

// A line handle: GPIO_GET_LINEHANDLE_IOCTL.
int request_handle(void *arg) {
  if (bad_address(arg)) return -EFAULT;
  gpiohandle_request req{};
  std::memcpy(&req, arg, sizeof req);
  if (req.lines == 0 || req.lines > GPIOHANDLES_MAX) return -EINVAL;
  if (bad_handle_flags(req.flags)) return -EINVAL;
  int lock_fd = -1;
  const int slot = take_slot(req.lineoffsets, req.lines, kHandle, req.consumer_label,
                             sizeof req.consumer_label, lock_fd);
  if (slot < 0) return slot;
  shared_line_request &r = chardev_state().requests[slot];
  for (std::uint32_t i = 0; i < req.lines; ++i) {
    configure_line(r, i, from_v1(req.flags), req.default_values[i] != 0, 0);
  }
  pins_changed();
  return hand_out(slot, lock_fd, arg, &req, sizeof req, req.fd);
}

// A line event: GPIO_GET_LINEEVENT_IOCTL.
int request_event(void *arg) {
  if (bad_address(arg)) return -EFAULT;
  gpioevent_request req{};
  std::memcpy(&req, arg, sizeof req);
  if (!is_line(req.lineoffset)) return -EINVAL;
  const std::uint32_t f = req.handleflags;
  if ((f & ~kHandleFlags) != 0 || (req.eventflags & ~kEventFlags) != 0) return -EINVAL;
  // Edges are looked for on inputs only.
  if ((f & (GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_OPEN_DRAIN |
            GPIOHANDLE_REQUEST_OPEN_SOURCE)) != 0) {
    return -EINVAL;
  }
  if (std::popcount(f & kBias) > 1) return -EINVAL;
  int lock_fd = -1;
  const int slot =
      take_slot(&req.lineoffset, 1, kEvent, req.consumer_label, sizeof req.consumer_label, lock_fd);
  if (slot < 0) return slot;
  std::uint64_t flags = from_v1(f) | kIn;
  if ((req.eventflags & GPIOEVENT_REQUEST_RISING_EDGE) != 0) flags |= kRising;
  if ((req.eventflags & GPIOEVENT_REQUEST_FALLING_EDGE) != 0) flags |= kFalling;
  configure_line(chardev_state().requests[slot], 0, flags, false, 0);
  pins_changed();
  return hand_out(slot, lock_fd, arg, &req, sizeof req, req.fd);
}

// A line request of the second interface: GPIO_V2_GET_LINE_IOCTL.
int request_lines(void *arg) {
  if (bad_address(arg)) return -EFAULT;
  gpio_v2_line_request req{};
  std::memcpy(&req, arg, sizeof req);
  if (req.num_lines == 0 || req.num_lines > GPIO_V2_LINES_MAX ||
      !all_zero(req.padding, sizeof req.padding)) {
    return -EINVAL;
  }
  if (const int e = check_config(req.config, req.num_lines)) return e;
  int lock_fd = -1;
  const int slot =
      take_slot(req.offsets, req.num_lines, kLine, req.consumer, sizeof req.consumer, lock_fd);
  if (slot < 0) return slot;
  shared_line_request &r = chardev_state().requests[slot];
  // The kernel's queue: 16 events a line unless the request says, at most
  // 16 for each line a request may have; the board keeps fewer.
  const std::uint32_t asked =
      req.event_buffer_size != 0 ? req.event_buffer_size : 16 * req.num_lines;
  r.capacity = std::min<std::uint32_t>(asked, kLineEvents);
  for (std::uint32_t i = 0; i < req.num_lines; ++i) {
    configure_line(r, i, config_flags(req.config, i), config_value(req.config, i),
                   config_debounce(req.config, i));
  }
  pins_changed();
  return hand_out(slot, lock_fd, arg, &req, sizeof req, req.fd);
}

// The chip's descriptor: info, requests, and watches of line info. A
// watch is this descriptor's own; the changes it reports come from the
// board's log, whichever process made them, with the line's info as it is
// when read.
class chip_file final : public file {
 public:
  chip_file() : next_(chardev_state().info_seq) {}

  int ioctl(unsigned long request, void *arg, trace_note &) override {
    if (arg == nullptr) return known(request) ? -EFAULT : -EINVAL;
    switch (request) {
      case GPIO_GET_CHIPINFO_IOCTL: {
        gpiochip_info info{};
        std::snprintf(info.name, sizeof info.name, "%s", kChipName);
        std::snprintf(info.label, sizeof info.label, "%s", gpio_chip_label());
        info.lines = static_cast<std::uint32_t>(gpio_state().ngpio);
        std::memcpy(arg, &info, sizeof info);
        return 0;
      }
      case GPIO_GET_LINEINFO_IOCTL:
      case GPIO_GET_LINEINFO_WATCH_IOCTL: {
        gpioline_info info{};
        std::memcpy(&info, arg, sizeof info);
        if (const int e = look(info.line_offset, request == GPIO_GET_LINEINFO_WATCH_IOCTL, 1)) {
          return e;
        }
        info = line_info_v1(static_cast<int>(info.line_offset));
        std::memcpy(arg, &info, sizeof info);
        return 0;
      }
      case GPIO_V2_GET_LINEINFO_IOCTL:
      case GPIO_V2_GET_LINEINFO_WATCH_IOCTL: {
        gpio_v2_line_info info{};
        std::memcpy(&info, arg, sizeof info);
        if (!all_zero(info.padding, sizeof info.padding)) return -EINVAL;
        if (const int e = look(info.offset, request == GPIO_V2_GET_LINEINFO_WATCH_IOCTL, 2)) {
          return e;
        }
        info = line_info_v2(static_cast<int>(info.offset));
        std::memcpy(arg, &info, sizeof info);
        return 0;
      }
      case GPIO_GET_LINEINFO_UNWATCH_IOCTL: {
        std::uint32_t line = 0;
        std::memcpy(&line, arg, sizeof line);
        if (!is_line(line)) return -EINVAL;
        if (watched_.erase(static_cast<int>(line)) == 0) return -EBUSY;
        return 0;
      }
      case GPIO_GET_LINEHANDLE_IOCTL:
        return request_handle(arg);
      case GPIO_GET_LINEEVENT_IOCTL:
        return request_event(arg);
      case GPIO_V2_GET_LINE_IOCTL:
        return request_lines(arg);
      default:
        return -EINVAL;
    }
  }

  // The changes of watched lines, as whole records of the interface that
  // watched (gpioline_info_changed or gpio_v2_line_info_changed).
  ssize_t read(void *buf, std::size_t n, off_t &) override {
    const std::size_t size =
        abi_ == 1 ? sizeof(gpioline_info_changed) : sizeof(gpio_v2_line_info_changed);
    if (n < size) return -EINVAL;
    std::size_t done = 0;
    auto *out = static_cast<unsigned char *>(buf);
    const chardev_slice &b = chardev_state();
    for (std::uint32_t s = first_pending(); s != b.info_seq + 1; ++s) {
      const shared_info_change &c = b.info_changes[s % kInfoChanges];
      if (c.seq == s && wanted(c)) {
        if (n - done < size) break;
        const int line = static_cast<int>(c.line);
        if (abi_ == 1) {
          gpioline_info_changed r{};
          r.info = line_info_v1(line);
          r.timestamp = c.timestamp_ns;
          r.event_type = c.type;
          std::memcpy(out + done, &r, sizeof r);
        } else {
          gpio_v2_line_info_changed r{};
          r.info = line_info_v2(line);
          r.timestamp_ns = c.timestamp_ns;
          r.event_type = c.type;
          std::memcpy(out + done, &r, sizeof r);
        }
        done += size;
      }
      next_ = s;
    }
    return done == 0 ? -EAGAIN : static_cast<ssize_t>(done);
  }

  // Whole records of the changes waiting now.
  std::size_t reach(std::size_t n) const override {
    const std::size_t size =
        abi_ == 1 ? sizeof(gpioline_info_changed) : sizeof(gpio_v2_line_info_changed);
    return std::min(n - n % size, waiting() * size);
  }

  bool read_waits() const override { return true; }

  // Readable while a watched line's change waits.
  int poll_mask() const override { return waiting() != 0 ? POLLIN | POLLRDNORM : 0; }

  void stat(struct stat &st) const override {
    fill_stat(st, kChipPath, S_IFCHR | 0660, 0);
    st.st_rdev = makedev(kMajor, 0);
  }

 private:
  static bool known(unsigned long request) {
    for (unsigned long r :
         {GPIO_GET_CHIPINFO_IOCTL, GPIO_GET_LINEINFO_IOCTL, GPIO_GET_LINEINFO_WATCH_IOCTL,
          GPIO_V2_GET_LINEINFO_IOCTL, GPIO_V2_GET_LINEINFO_WATCH_IOCTL,
          GPIO_GET_LINEINFO_UNWATCH_IOCTL, GPIO_GET_LINEHANDLE_IOCTL, GPIO_GET_LINEEVENT_IOCTL,
          GPIO_V2_GET_LINE_IOCTL}) {
      if (r == request) return true;
    }
    return false;
  }

  // Checks a line info request (and makes the watch): 0 or -errno. One
  // descriptor watches through one interface only (EPERM for the other).
  int look(std::uint32_t line, bool watch, int abi) {
    if (watch && abi_ != 0 && abi_ != abi) return -EPERM;
    if (!is_line(line)) return -EINVAL;
    sweep();
    if (!watch) return 0;
    abi_ = abi;
    if (!watched_.emplace(static_cast<int>(line), chardev_state().info_seq).second) return -EBUSY;
    return 0;
  }

  // The first change not looked at yet; the board keeps the last
  // kInfoChanges only, and a board powered off starts again.
  std::uint32_t first_pending() const {
    const std::uint32_t now = chardev_state().info_seq;
    if (next_ > now) next_ = now;  // the board was powered off: its log began again
    if (now - next_ > kInfoChanges) return now - kInfoChanges + 1;
    return next_ + 1;
  }

  bool wanted(const shared_info_change &c) const {
    const auto it = watched_.find(static_cast<int>(c.line));
    return it != watched_.end() && c.seq > it->second;
  }

  // The changes of watched lines not read yet, as read() would give them.
  std::size_t waiting() const {
    const chardev_slice &b = chardev_state();
    std::size_t count = 0;
    for (std::uint32_t s = first_pending(); s != b.info_seq + 1; ++s) {
      const shared_info_change &c = b.info_changes[s % kInfoChanges];
      if (c.seq == s && wanted(c)) ++count;
    }
    return count;
  }

  int abi_ = 0;                           // interface of the watches, 0 before the first
  std::map<int, std::uint32_t> watched_;  // line: info_seq when the watch began
  mutable std::uint32_t next_;            // changes up to this one were looked at
};

int chip_open(const char *path, int, std::unique_ptr<file> &out) {
  // The board has one controller: no other gpiochip is there.
  if (std::string_view(path) != kChipPath) return -ENOENT;
  out = std::make_unique<chip_file>();
  return 0;
}

int chip_stat(const char *path, struct stat &st, bool) {
  if (std::string_view(path) != kChipPath) return -ENOENT;
  chip_file().stat(st);
  return 0;
}

int chip_list(const char *path, std::vector<dir_entry> &out) {
  if (std::string_view(path) != "/dev") return 1;
  out.push_back({kChipName, DT_CHR});
  return 2;
}

// Power-off: every request is gone.
void chip_reset() {
  chardev_slice &b = chardev_state();
  for (auto &r : b.requests) r = shared_line_request{};
  for (auto &l : b.line_request) l = 0;
}

// ----- /sys/bus/gpio: the bus's device, whose dev attribute libgpiod
// compares with the device node's numbers.

enum class bus_node { none, root, devices, chip, dev };

bus_node bus_classify(std::string_view p) {
  if (p == kBus) return bus_node::root;
  if (p == "/sys/bus/gpio/devices") return bus_node::devices;
  if (p == "/sys/bus/gpio/devices/gpiochip0") return bus_node::chip;
  if (p == "/sys/bus/gpio/devices/gpiochip0/dev") return bus_node::dev;
  return bus_node::none;
}

class bus_file final : public file {
 public:
  bus_file(std::string path, bus_node n) : path_(std::move(path)), node_(n) {}
  ssize_t read(void *buf, std::size_t n, off_t &offset) override {
    if (node_ != bus_node::dev) return -EISDIR;
    const std::string_view text(kDevNumber);
    if (offset < 0 || static_cast<std::size_t>(offset) >= text.size()) return 0;
    const std::size_t k = std::min(n, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, text.data() + offset, k);
    offset += static_cast<off_t>(k);
    return static_cast<ssize_t>(k);
  }
  void stat(struct stat &st) const override {
    fill_stat(st, path_.c_str(), node_ == bus_node::dev ? S_IFREG | 0444 : S_IFDIR | 0755);
  }

 private:
  std::string path_;
  bus_node node_;
};

int bus_open(const char *path, int flags, std::unique_ptr<file> &out) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return -ENOENT;
  if ((flags & O_ACCMODE) != O_RDONLY) return n == bus_node::dev ? -EACCES : -EISDIR;
  if (n == bus_node::dev && (flags & O_DIRECTORY) != 0) return -ENOTDIR;
  out = std::make_unique<bus_file>(path, n);
  return 0;
}

int bus_stat(const char *path, struct stat &st, bool) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return -ENOENT;
  bus_file(path, n).stat(st);
  return 0;
}

int bus_list(const char *path, std::vector<dir_entry> &out) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return 1;
  if (n == bus_node::dev) return -ENOTDIR;
  out.push_back({".", DT_DIR});
  out.push_back({"..", DT_DIR});
  if (n == bus_node::root) out.push_back({"devices", DT_DIR});
  if (n == bus_node::devices) out.push_back({"gpiochip0", DT_DIR});
  if (n == bus_node::chip) out.push_back({"dev", DT_REG});
  return 0;
}

// Before the board lock: every request of the chip and of its line
// requests copies its whole structure in, out or both, as _IOC_SIZE and
// _IOC_DIR say.
void chip_probe(unsigned long request, void *arg) {
  touch(arg, _IOC_SIZE(request), (_IOC_DIR(request) & _IOC_READ) != 0);
}

// Registered before the board's first use (see part.h), whatever order
// the board's files are linked in: the first use takes up the descriptors
// a program inherited, and a request's needs its adopter.
bool gpiochip_registered = false;
[[gnu::constructor(kRegisterPriority)]] void add_chip_handlers() {
  gpiochip_registered =
      add_adopter(adopt_request) &&
      add_ioctl_probe(_IOC_TYPE(GPIO_GET_CHIPINFO_IOCTL), chip_probe) &&
      add_provider(
          {kChipPrefix, chip_open, chip_stat, nullptr, chip_list, nullptr, chip_reset, nullptr}) &&
      add_provider({kBus, bus_open, bus_stat, nullptr, bus_list, nullptr, nullptr, nullptr});
}

}  // namespace

bool chardev_line_requested(int line) {
  (void)gpiochip_registered;
  if (line < 0 || line >= kMaxPins) return false;
  if (chardev_state().line_request[line] == 0) return false;
  sweep();
  return holder(line) >= 0;
}

void chardev_sysfs_changed(int line, bool requested) {
  info_changed(line, requested ? GPIO_V2_LINE_CHANGED_REQUESTED : GPIO_V2_LINE_CHANGED_RELEASED);
}

bool chardev_line_held(int line) { return line >= 0 && line < kMaxPins && holder(line) >= 0; }

bool chardev_pins_changed() {
  bool queued = false;
  for (auto &r : chardev_state().requests) {
    if (r.kind == 0) continue;
    for (std::uint32_t i = 0, n = lines_in(r); i < n; ++i) {
      const int line = line_of(r, i);
      if ((r.flags[i] & (kRising | kFalling)) == 0 || !is_line(static_cast<std::uint32_t>(line)))
        continue;
      const std::uint64_t bit = std::uint64_t{1} << i;
      const bool now = gpio_line_level(line);
      if (now == ((r.seen & bit) != 0)) continue;
      r.seen ^= bit;
      // Edges of the logical value: active low turns them over.
      const bool rose = now != ((r.flags[i] & kLow) != 0);
      if ((r.flags[i] & (rose ? kRising : kFalling)) == 0) continue;
      if (queue_event(r, i, rose)) queued = true;
    }
  }
  return queued;
}

namespace {

// The line requests' part of the board object: nothing to set at power-on
// (no request, no change), checked when found, listed by `vboard show`.
const char *chardev_damage(const shared_board &b) {
  const chardev_slice &c = chardev_state(b);
  for (const std::int16_t l : c.line_request) {
    if (l < 0 || l > kLineRequests) return "a line request is invalid";
  }
  for (const auto &r : c.requests) {
    if (r.kind > kLine || r.num_lines > kRequestLines || r.capacity > kLineEvents ||
        r.first >= kLineEvents || r.count > kLineEvents ||
        r.consumer[sizeof r.consumer - 1] != '\0') {
      return "a line request is invalid";
    }
    for (std::uint32_t i = 0; i < kRequestLines; ++i) {
      if ((i < r.num_lines && r.offsets[i] >= kMaxPins) || (r.flags[i] & ~kValid2) != 0) {
        return "a line request is invalid";
      }
    }
    for (const auto &e : r.queue) {
      if (e.id > GPIO_V2_LINE_EVENT_FALLING_EDGE) return "a line request is invalid";
    }
  }
  for (const auto &c : c.info_changes) {
    if (c.line >= kMaxPins || c.type > GPIO_V2_LINE_CHANGED_CONFIG) {
      return "a line info change is invalid";
    }
  }
  return nullptr;
}

void chardev_show(const shared_board &b, std::string &out_all) {
  sweep();
  std::string out;
  for (const auto &r : chardev_state(b).requests) {
    const std::uint32_t kind = shared_read(r.kind);
    if (kind == 0 || kind > kLine) continue;
    std::string lines;
    for (std::uint32_t i = 0, n = lines_in(r); i < n; ++i) {
      if (!lines.empty()) lines += ',';
      lines += std::to_string(line_of(r, i));
    }
    static constexpr const char *kinds[] = {"", "handle", "event", "request"};
    char text[400];
    std::snprintf(text, sizeof text, "  %s lines %s, consumer \"%.31s\", pid %u\n", kinds[kind],
                  lines.c_str(), r.consumer, r.pid);
    out += text;
  }
  if (out.empty()) out = "  no line requested\n";
  out_all += std::string(kChipName) + ": requests through the character device\n" + out;
}

[[gnu::constructor(kRegisterPriority)]] void add_chardev_part() {
  add_part({"chardev", 20, nullptr, chardev_damage, chardev_show, nullptr, nullptr,
            sizeof(chardev_slice), alignof(chardev_slice), 50, &chardev_at, nullptr, 0});
}

}  // namespace

static_assert(offsetof(chardev_slice, requests) % 8 == 0);
static_assert(sizeof(chardev_slice) ==
              2 * kMaxPins + sizeof(shared_line_request) * kLineRequests + 8 + 24 * kInfoChanges);

chardev_slice &chardev_state(shared_board &b) {
  return *static_cast<chardev_slice *>(board_slice(b, chardev_at));
}
const chardev_slice &chardev_state(const shared_board &b) {
  return *static_cast<const chardev_slice *>(board_slice(b, chardev_at));
}
chardev_slice &chardev_state() { return chardev_state(board()); }

}  // namespace vboard
